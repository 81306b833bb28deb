; Tarlek resident monitor for the 8051, in as31 syntax.
;
; This file holds the body only, without an origin: the build assembles it
; once at 0000h and once at 0100h and compares the two images to find the
; bytes that hold the high byte of an address inside the resident. Tarlek
; adds the page number to those bytes when it lays the resident into a
; program, so every absolute address here (LJMP, LCALL, MOV DPTR,#label,
; label/256) moves with it. Never use AJMP or ACALL, label/16 or any other
; use of an address that does not simply move by one per page: the build
; refuses them.
;
; Layout, fixed because the include file relies on it:
;   +0  LJMP init    reached at reset through the LCALL at 0000h
;   +3  LJMP serial  reached through the LJMP at the serial vector 0023h
;
; The serial protocol is described in resident/README.md.
;
; Internal RAM: the monitor uses none of its own. The serial interrupt
; saves ACC, PSW, B, DPL, DPH and R0 of the interrupted program on the
; program's stack and restores them before RETI; with the return address of
; the interrupt and its own calls it takes at most 13 bytes of that stack.

base:   ljmp    init
        ljmp    serial

; Serial port: mode 1 (8 data bits), 9600 baud from timer 1 in mode 2 at
; 11.0592 MHz, receiver on, serial interrupt enabled. Touches no register
; of the program other than the SFRs it sets up.
init:   anl     tmod, #0Fh
        orl     tmod, #20h
        mov     th1, #0FDh
        mov     tl1, #0FDh
        anl     pcon, #7Fh
        mov     scon, #50h
        setb    tr1
        setb    es
        setb    ea
        ret

serial: push    acc
        push    psw
        push    b
        push    dpl
        push    dph
        mov     a, r0
        push    acc
        jbc     ri, command
        clr     ti              ; nothing else sends, but never loop on TI
        ljmp    leave

command:
        mov     a, sbuf
        cjne    a, #'I', not_i
        ljmp    identify
not_i:  cjne    a, #'C', not_c
        ljmp    read_code
not_c:  cjne    a, #'R', not_r
        ljmp    read_iram
not_r:  cjne    a, #'X', not_x
        ljmp    read_xram
not_x:  cjne    a, #'W', not_w
        ljmp    write_iram
not_w:  cjne    a, #'Y', not_y
        ljmp    write_xram
not_y:  mov     a, #'?'
        lcall   putc
        ljmp    leave

; I: "Tarlek 1.0 at PP00h", CR, LF, PP being the page the resident runs at.
identify:
        mov     dptr, #id_text
        lcall   puts
        mov     a, #(base/256)
        lcall   puthex
        mov     dptr, #id_tail
        lcall   puts
        ljmp    leave

; C hi lo n: n bytes of code memory from hi:lo (n = 0 means 256).
read_code:
        lcall   get_dptr
rc_next:
        clr     a
        movc    a, @a+dptr
        lcall   putc
        inc     dptr
        djnz    b, rc_next
        ljmp    leave

; X hi lo n: n bytes of external RAM from hi:lo.
read_xram:
        lcall   get_dptr
rx_next:
        movx    a, @dptr
        lcall   putc
        inc     dptr
        djnz    b, rx_next
        ljmp    leave

; Y hi lo n data...: writes n bytes of external RAM, answers K.
write_xram:
        lcall   get_dptr
wx_next:
        lcall   getc
        movx    @dptr, a
        inc     dptr
        djnz    b, wx_next
        ljmp    done

; R addr n: n bytes of internal RAM (indirect, so 80h..FFh is the upper RAM
; of an 8052, not the SFRs).
read_iram:
        lcall   getc
        mov     r0, a
        lcall   getc
        mov     b, a
ri_next:
        mov     a, @r0
        lcall   putc
        inc     r0
        djnz    b, ri_next
        ljmp    leave

; W addr n data...: writes n bytes of internal RAM, answers K.
write_iram:
        lcall   getc
        mov     r0, a
        lcall   getc
        mov     b, a
wi_next:
        lcall   getc
        mov     @r0, a
        inc     r0
        djnz    b, wi_next
done:   mov     a, #'K'
        lcall   putc

leave:  pop     acc
        mov     r0, a
        pop     dph
        pop     dpl
        pop     b
        pop     psw
        pop     acc
        reti

; Reads an address (high byte first) into DPTR and a count into B.
get_dptr:
        lcall   getc
        mov     dph, a
        lcall   getc
        mov     dpl, a
        lcall   getc
        mov     b, a
        ret

; Waits for the next received byte and returns it in A.
getc:   jnb     ri, getc
        clr     ri
        mov     a, sbuf
        ret

; Sends A and waits until it has gone out.
putc:   mov     sbuf, a
putc_wait:
        jnb     ti, putc_wait
        clr     ti
        ret

; Sends A as two upper-case hexadecimal digits.
puthex: push    acc
        swap    a
        lcall   hexdigit
        pop     acc
hexdigit:
        anl     a, #0Fh
        add     a, #90h
        da      a
        addc    a, #40h
        da      a
        ljmp    putc

; Sends the zero-terminated text at DPTR.
puts:   clr     a
        movc    a, @a+dptr
        jz      puts_end
        lcall   putc
        inc     dptr
        sjmp    puts
puts_end:
        ret

id_text:
        .db     "Tarlek 1.0 at ", 0
id_tail:
        .db     "00h", 13, 10, 0

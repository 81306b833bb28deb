; Tarlek resident monitor for the 8051, in as31 syntax: serial protocol 2.
;
; This file holds the body only, without an origin. The build writes a
; wrapper per origin that sets the build's values (.equ lines: clock, baud,
; time-out, Tarlek version), sets the origin, includes this file and then the
; baud generator's init (baud_timer1.asm or baud_timer2.asm). It assembles
; the body at 0000h and at 0100h and compares the two images to find the
; bytes that hold the high byte of an address inside the resident. Tarlek
; adds the page number to those bytes when it lays the resident into a
; program, so every absolute address here (LJMP, LCALL, MOV DPTR,#label,
; label/256) moves with it. Never use AJMP or ACALL, label/16 or any other
; use of an address that does not simply move by one per page: the build
; refuses them.
;
; Layout, fixed because the include file and programs rely on it:
;   +0  LJMP init    reached at reset through the LCALL at 0000h
;   +3  LJMP serial  reached through the LJMP at the serial vector 0023h
;   +6  putchar      the program's character output (character in A)
;
; The protocol, the registers the resident borrows, its stack and its time
; in the interrupt are described in resident/README.md.
;
; Registers while a request is handled (all saved on the program's stack,
; in the program's register bank, which the resident never switches):
;   A   the byte at hand          B    running sum of the frame
;   R0  the request's command     R1   pointer, time-out count (low)
;   R2  bytes left to move        R3   data byte, time-out count (high)
;   DPTR  code/xram address; DPL is the iram or SFR address
; Stack above the program's SP (SP0): +1,+2 return address, +3 ACC, +4 PSW,
; +5 B, +6 DPL, +7 DPH, +8 R0, +9 R1, +10 R2, +11 R3, +12,+13 one call,
; +14,+15 a second call (head and sfr_at only). At most 15 bytes.

        .equ    MAX_PAYLOAD, 255        ; largest payload taken and sent
        .equ    SLOT_R0, 8              ; offset of the saved R0 from SP0
        .equ    DEPTH, 13               ; SP - SP0 inside a call from a handler

base:   ljmp    init
        ljmp    serial

; +6: sends A on the serial line for the program and returns when it has
; gone out. Changes no register and no flag; leaves ES set. The serial
; interrupt is off only while this character is in the transmitter, so an
; answer frame is never split and characters keep their order.
;
; A request byte that comes in meanwhile is taken here at once rather than
; when the interrupt could next run, which would be too late at high rates:
; at 115200 baud from 11.0592 MHz a bit lasts 8 machine cycles, and the
; byte after it would be lost. For A5h the request is handled right here,
; after this character has gone out, by the same code as in the interrupt;
; it ends in `leave`, which sees ES clear and returns to the program's
; caller with RET (not RETI) and ES set again.
putchar:
        clr     es
        mov     sbuf, a
pc_wait:
        jbc     ri, pc_byte
        jnb     ti, pc_wait
        clr     ti
        setb    es
        ret
pc_byte:
        push    acc
        mov     a, sbuf
        xrl     a, #0A5h        ; XRL changes no flag but P, which follows A
        jz      pc_frame
        pop     acc             ; not a frame: keep waiting for our character
        sjmp    pc_wait
pc_frame:
        jnb     ti, pc_frame    ; our character goes out before any answer
        clr     ti
        ljmp    sr_frame        ; the stack is as in the interrupt: return, ACC

; The serial interrupt. A byte other than A5h costs a few cycles and is
; dropped; TI alone is not ours (putchar clears its own) and is left alone.
serial: jbc     ri, sr_byte
        reti
sr_byte:
        push    acc
        mov     a, sbuf
        xrl     a, #0A5h        ; XRL changes no flag but P, which follows A
        jz      sr_frame
        pop     acc
        reti
sr_frame:
        push    psw
        push    b
        push    dpl
        push    dph
        mov     a, r0
        push    acc
        mov     a, r1
        push    acc
        mov     a, r2
        push    acc
        mov     a, r3
        push    acc
        mov     b, #0
        lcall   getc            ; CMD
        mov     r0, a
        lcall   getc            ; LEN
        mov     r2, a
        cjne    r0, #01h, sr_2
        ljmp    identify
sr_2:   cjne    r0, #02h, sr_3
        ljmp    read_mem
sr_3:   cjne    r0, #03h, sr_4
        ljmp    read_mem
sr_4:   cjne    r0, #04h, sr_5
        ljmp    write_xram
sr_5:   cjne    r0, #05h, sr_6
        ljmp    read_iram
sr_6:   cjne    r0, #06h, sr_7
        ljmp    write_iram
sr_7:   cjne    r0, #07h, sr_8
        ljmp    read_sfr
sr_8:   cjne    r0, #08h, sr_none
        ljmp    write_sfr
sr_none:
        ljmp    leave

; Restores the program's registers and returns from the interrupt, or from
; putchar when the request came in there (ES is clear only then: a write to
; IE from the line keeps ES set). Every request that is dropped ends here
; too, without an answer.
leave:  pop     acc
        mov     r3, a
        pop     acc
        mov     r2, a
        pop     acc
        mov     r1, a
        pop     acc
        mov     r0, a
        pop     dph
        pop     dpl
        pop     b
        pop     psw
        pop     acc
        jnb     es, leave_putchar
        reti
leave_putchar:                  ; a request taken in putchar: back to its caller
        setb    es
        ret

; Waits for the next byte of the request and returns it in A, added to the
; sum in B. When none comes within the time-out (about four character
; times, set by the build), the request is dropped: getc is only ever
; called straight from a handler, so two bytes off the stack take it back
; to the handler's level. One pass of the wait loop is 4 machine cycles.
getc:   mov     r1, #TARLEK_WAIT_LO
        mov     r3, #TARLEK_WAIT_HI
gc_wait:
        jbc     ri, gc_byte
        djnz    r1, gc_wait
        djnz    r3, gc_wait
        dec     sp
        dec     sp
        ljmp    leave
gc_byte:
        mov     a, sbuf
        xch     a, b
        add     a, b
        xch     a, b
        ret

; Sends A, adds it to the sum in B, and waits until it has gone out.
send:   mov     sbuf, a
        xch     a, b
        add     a, b
        xch     a, b
sd_wait:
        jnb     ti, sd_wait
        clr     ti
        ret

; Starts an answer: the marker, the request's code with bit 7 set (from
; R0) and the length in R2; the sum in B starts from there.
head:   mov     b, #0
        mov     sbuf, #0A5h     ; the marker is not summed
hd_wait:
        jnb     ti, hd_wait
        clr     ti
        mov     a, r0
        orl     a, #80h
        lcall   send
        mov     a, r2
        ljmp    send

; Ends an answer with its sum and returns from the interrupt.
tail:   clr     a
        clr     c
        subb    a, b
        lcall   send
        ljmp    leave

; 01h identify: no payload. Answers the 16 bytes at id_table.
identify:
        cjne    r2, #0, id_drop
        lcall   getc            ; SUM
        mov     a, b
        jnz     id_drop
        mov     dptr, #id_table
        mov     r2, #16
        ljmp    rm_answer
id_drop:
        ljmp    leave

; 02h read code, 03h read xram: AH AL N. Answers N bytes from AH:AL.
read_mem:
        cjne    r2, #3, rm_drop
        lcall   getc            ; AH
        mov     dph, a
        lcall   getc            ; AL
        mov     dpl, a
        lcall   getc            ; N, 1..MAX_PAYLOAD
        mov     r2, a
        jz      rm_drop
        add     a, #(255-MAX_PAYLOAD)
        jc      rm_drop
        lcall   getc            ; SUM
        mov     a, b
        jnz     rm_drop
rm_answer:
        lcall   head
rm_next:
        cjne    r0, #03h, rm_code
        movx    a, @dptr
        sjmp    rm_send
rm_code:
        clr     a
        movc    a, @a+dptr
rm_send:
        lcall   send
        inc     dptr
        djnz    r2, rm_next
        ljmp    tail
rm_drop:
        ljmp    leave

; 04h write xram: AH AL ACHK D1..Dn, n = LEN - 3 >= 1. Each byte is written
; as it comes, once the address has passed its check.
write_xram:
        mov     a, r2
        clr     c
        subb    a, #4
        jc      wx_drop         ; LEN < 4
        mov     a, r2
        add     a, #(255-MAX_PAYLOAD)
        jc      wx_drop
        lcall   getc            ; AH
        mov     dph, a
        lcall   getc            ; AL
        mov     dpl, a
        lcall   getc            ; ACHK
        mov     a, b
        jnz     wx_drop
        mov     a, r2
        add     a, #(256-3)
        mov     r2, a
wx_next:
        lcall   getc
        movx    @dptr, a
        inc     dptr
        djnz    r2, wx_next
        ljmp    written
wx_drop:
        ljmp    leave

; The end of every write: the SUM, then the empty answer (R2 is 0 here).
written:
        lcall   getc            ; SUM
        mov     a, b
        jnz     wx_drop
        lcall   head
        ljmp    tail

; 05h read iram: A N. Answers N bytes of internal RAM from A, indirect.
read_iram:
        cjne    r2, #2, ri_drop
        lcall   getc            ; A
        mov     dpl, a
        lcall   getc            ; N
        mov     r2, a
        jz      ri_drop
        add     a, #(255-MAX_PAYLOAD)
        jc      ri_drop
        lcall   getc            ; SUM
        mov     a, b
        jnz     ri_drop
        lcall   head
ri_next:
        lcall   iram_at
        mov     a, @r1
        lcall   send
        inc     dpl
        djnz    r2, ri_next
        ljmp    tail
ri_drop:
        ljmp    leave

; 06h write iram: A ACHK D1..Dn, n = LEN - 2 >= 1.
write_iram:
        lcall   data_length
        jc      ri_drop
        lcall   getc            ; A
        mov     dpl, a
        lcall   getc            ; ACHK
        mov     a, b
        jnz     ri_drop
wi_next:
        lcall   getc
        mov     r3, a
        lcall   iram_at
        jc      wi_skip         ; the resident's own stack bytes
        mov     a, r3
        mov     @r1, a
wi_skip:
        inc     dpl
        djnz    r2, wi_next
        ljmp    written

; 07h read sfr: A N, A >= 80h, A + N - 1 <= FFh. Each SFR by direct
; addressing, through the table sfr_read.
read_sfr:
        cjne    r2, #2, rs_drop
        lcall   getc            ; A
        mov     dpl, a
        jnb     acc.7, rs_drop  ; below 80h is no SFR
        lcall   getc            ; N
        mov     r2, a
        jz      rs_drop
        add     a, #(255-MAX_PAYLOAD)
        jc      rs_drop
        lcall   sfr_fits
        jc      rs_drop
        lcall   getc            ; SUM
        mov     a, b
        jnz     rs_drop
        lcall   head
rs_next:
        mov     r1, #0          ; the read table
        lcall   sfr_at
        lcall   send
        inc     dpl
        djnz    r2, rs_next
        ljmp    tail
rs_drop:
        ljmp    leave

; 08h write sfr: A ACHK D1..Dn, A >= 80h, A + n - 1 <= FFh.
write_sfr:
        lcall   data_length
        jc      rs_drop
        lcall   getc            ; A
        mov     dpl, a
        jnb     acc.7, rs_drop
        lcall   getc            ; ACHK
        mov     a, b
        jnz     rs_drop
        lcall   sfr_fits
        jc      rs_drop
ws_next:
        lcall   getc
        mov     r3, a
        mov     r1, #2          ; the write table, 512 bytes after the read table
        lcall   sfr_at
        inc     dpl
        djnz    r2, ws_next
        ljmp    written

; For 06h and 08h: R2 = n = LEN - 2. C = 1 when LEN is below 3 or above
; MAX_PAYLOAD.
data_length:
        mov     a, r2
        add     a, #(255-MAX_PAYLOAD)
        jc      dl_end
        mov     a, r2
        clr     c
        subb    a, #3
        jc      dl_end
        inc     a
        mov     r2, a
dl_end: ret

; C = 1 when R2 SFRs from DPL run past FFh.
sfr_fits:
        mov     a, r2
        add     a, dpl
        jnc     sf_end
        jz      sf_ok           ; ends at FFh exactly
        setb    c
        ret
sf_ok:  clr     c
sf_end: ret

; Where the byte of internal RAM at DPL is for the host: returns R1
; pointing at it, and C = 1 when a write must be skipped.
;  - The program's R0..R3 (of its current bank) are the saved copies on the
;    stack, so reads and writes reach the program's own values.
;  - SP0+1..SP0+16 is the resident's own stack while it runs: read as it
;    is, never written.
iram_at:
        mov     a, psw
        anl     a, #18h         ; the program's bank
        xrl     a, dpl
        anl     a, #0FCh
        jnz     ia_other
        mov     a, dpl
        anl     a, #03h
        add     a, sp
        add     a, #(256-DEPTH+SLOT_R0)
        mov     r1, a
        clr     c
        ret
ia_other:
        mov     a, dpl
        mov     r1, a
        clr     c
        subb    a, sp
        add     a, #(DEPTH-1)   ; DPL - SP0 - 1: 0..15 in the resident's stack
        add     a, #(256-16)
        cpl     c
        ret

; Runs the entry of SFR DPL in the table that R1 selects (0: sfr_read,
; 2: sfr_write): entries are 4 bytes, (DPL - 80h) * 4 from the table start.
; The entry is entered through RET, so its own RET comes back to our caller.
sfr_at: mov     a, dpl
        anl     a, #3Fh
        rl      a
        rl      a
        add     a, #(sfr_read & 0FFh)
        push    acc
        mov     a, dpl
        rl      a
        rl      a
        anl     a, #01h         ; bit 6 of the address: the second 256 bytes
        addc    a, r1
        add     a, #(sfr_read/256)
        push    acc
        ret

; The SFRs that the resident holds for the program while it runs: ACC, PSW,
; B, DPL and DPH are read and written in their saved copies; SP reads as the
; program's SP. Entered from a table entry at SP = SP0 + DEPTH.
rd_acc: mov     a, #3
        sjmp    rd_slot
rd_psw: mov     a, #4
        sjmp    rd_slot
rd_b:   mov     a, #5
        sjmp    rd_slot
rd_dpl: mov     a, #6
        sjmp    rd_slot
rd_dph: mov     a, #7
rd_slot:
        add     a, sp
        add     a, #(256-DEPTH)
        mov     r1, a
        mov     a, @r1
        ret
rd_sp:  mov     a, sp
        add     a, #(256-DEPTH)
        ret
wr_ie:  mov     a, r3
        orl     a, #10h
        mov     ie, a
        ret
wr_acc: mov     a, #3
        sjmp    wr_slot
wr_psw: mov     a, #4
        sjmp    wr_slot
wr_b:   mov     a, #5
        sjmp    wr_slot
wr_dpl: mov     a, #6
        sjmp    wr_slot
wr_dph: mov     a, #7
wr_slot:
        add     a, sp
        add     a, #(256-DEPTH)
        mov     r1, a
        mov     a, r3
        mov     @r1, a
        ret

; The answer to identify: protocol version, Tarlek version, page, clock and
; baud rate (big-endian), largest payload, the commands offered (01h..08h).
id_table:
        .db     2
        .db     TARLEK_VERSION_MAJOR, TARLEK_VERSION_MINOR, TARLEK_VERSION_PATCH
        .db     base/256
        .db     TARLEK_CLOCK_3, TARLEK_CLOCK_2, TARLEK_CLOCK_1, TARLEK_CLOCK_0
        .db     TARLEK_BAUD_3, TARLEK_BAUD_2, TARLEK_BAUD_1, TARLEK_BAUD_0
        .db     MAX_PAYLOAD
        .db     01h, 0FEh

; Direct access to the SFRs, 4 bytes per address from 80h: MOV A,dir / RET
; to read, MOV dir,R3 / RET to write. Writes to SP and SBUF are skipped (the
; resident's stack, and a byte in the middle of its answer); IE keeps ES.
sfr_read:
        .db     0E5h, 080h, 22h, 0   ; 80h  P0: mov a,80h / ret
        ljmp    rd_sp           ; 81h  SP, the program's own
        nop
        ljmp    rd_dpl          ; 82h  DPL, the program's own
        nop
        ljmp    rd_dph          ; 83h  DPH, the program's own
        nop
        .db     0E5h, 084h, 22h, 0   ; 84h: mov a,84h / ret
        .db     0E5h, 085h, 22h, 0   ; 85h: mov a,85h / ret
        .db     0E5h, 086h, 22h, 0   ; 86h: mov a,86h / ret
        .db     0E5h, 087h, 22h, 0   ; 87h  PCON: mov a,87h / ret
        .db     0E5h, 088h, 22h, 0   ; 88h  TCON: mov a,88h / ret
        .db     0E5h, 089h, 22h, 0   ; 89h  TMOD: mov a,89h / ret
        .db     0E5h, 08Ah, 22h, 0   ; 8Ah  TL0: mov a,8Ah / ret
        .db     0E5h, 08Bh, 22h, 0   ; 8Bh  TL1: mov a,8Bh / ret
        .db     0E5h, 08Ch, 22h, 0   ; 8Ch  TH0: mov a,8Ch / ret
        .db     0E5h, 08Dh, 22h, 0   ; 8Dh  TH1: mov a,8Dh / ret
        .db     0E5h, 08Eh, 22h, 0   ; 8Eh: mov a,8Eh / ret
        .db     0E5h, 08Fh, 22h, 0   ; 8Fh: mov a,8Fh / ret
        .db     0E5h, 090h, 22h, 0   ; 90h  P1: mov a,90h / ret
        .db     0E5h, 091h, 22h, 0   ; 91h: mov a,91h / ret
        .db     0E5h, 092h, 22h, 0   ; 92h: mov a,92h / ret
        .db     0E5h, 093h, 22h, 0   ; 93h: mov a,93h / ret
        .db     0E5h, 094h, 22h, 0   ; 94h: mov a,94h / ret
        .db     0E5h, 095h, 22h, 0   ; 95h: mov a,95h / ret
        .db     0E5h, 096h, 22h, 0   ; 96h: mov a,96h / ret
        .db     0E5h, 097h, 22h, 0   ; 97h: mov a,97h / ret
        .db     0E5h, 098h, 22h, 0   ; 98h  SCON: mov a,98h / ret
        .db     0E5h, 099h, 22h, 0   ; 99h  SBUF: mov a,99h / ret
        .db     0E5h, 09Ah, 22h, 0   ; 9Ah: mov a,9Ah / ret
        .db     0E5h, 09Bh, 22h, 0   ; 9Bh: mov a,9Bh / ret
        .db     0E5h, 09Ch, 22h, 0   ; 9Ch: mov a,9Ch / ret
        .db     0E5h, 09Dh, 22h, 0   ; 9Dh: mov a,9Dh / ret
        .db     0E5h, 09Eh, 22h, 0   ; 9Eh: mov a,9Eh / ret
        .db     0E5h, 09Fh, 22h, 0   ; 9Fh: mov a,9Fh / ret
        .db     0E5h, 0A0h, 22h, 0   ; A0h  P2: mov a,A0h / ret
        .db     0E5h, 0A1h, 22h, 0   ; A1h: mov a,A1h / ret
        .db     0E5h, 0A2h, 22h, 0   ; A2h: mov a,A2h / ret
        .db     0E5h, 0A3h, 22h, 0   ; A3h: mov a,A3h / ret
        .db     0E5h, 0A4h, 22h, 0   ; A4h: mov a,A4h / ret
        .db     0E5h, 0A5h, 22h, 0   ; A5h: mov a,A5h / ret
        .db     0E5h, 0A6h, 22h, 0   ; A6h: mov a,A6h / ret
        .db     0E5h, 0A7h, 22h, 0   ; A7h: mov a,A7h / ret
        .db     0E5h, 0A8h, 22h, 0   ; A8h  IE: mov a,A8h / ret
        .db     0E5h, 0A9h, 22h, 0   ; A9h: mov a,A9h / ret
        .db     0E5h, 0AAh, 22h, 0   ; AAh: mov a,AAh / ret
        .db     0E5h, 0ABh, 22h, 0   ; ABh: mov a,ABh / ret
        .db     0E5h, 0ACh, 22h, 0   ; ACh: mov a,ACh / ret
        .db     0E5h, 0ADh, 22h, 0   ; ADh: mov a,ADh / ret
        .db     0E5h, 0AEh, 22h, 0   ; AEh: mov a,AEh / ret
        .db     0E5h, 0AFh, 22h, 0   ; AFh: mov a,AFh / ret
        .db     0E5h, 0B0h, 22h, 0   ; B0h  P3: mov a,B0h / ret
        .db     0E5h, 0B1h, 22h, 0   ; B1h: mov a,B1h / ret
        .db     0E5h, 0B2h, 22h, 0   ; B2h: mov a,B2h / ret
        .db     0E5h, 0B3h, 22h, 0   ; B3h: mov a,B3h / ret
        .db     0E5h, 0B4h, 22h, 0   ; B4h: mov a,B4h / ret
        .db     0E5h, 0B5h, 22h, 0   ; B5h: mov a,B5h / ret
        .db     0E5h, 0B6h, 22h, 0   ; B6h: mov a,B6h / ret
        .db     0E5h, 0B7h, 22h, 0   ; B7h: mov a,B7h / ret
        .db     0E5h, 0B8h, 22h, 0   ; B8h  IP: mov a,B8h / ret
        .db     0E5h, 0B9h, 22h, 0   ; B9h: mov a,B9h / ret
        .db     0E5h, 0BAh, 22h, 0   ; BAh: mov a,BAh / ret
        .db     0E5h, 0BBh, 22h, 0   ; BBh: mov a,BBh / ret
        .db     0E5h, 0BCh, 22h, 0   ; BCh: mov a,BCh / ret
        .db     0E5h, 0BDh, 22h, 0   ; BDh: mov a,BDh / ret
        .db     0E5h, 0BEh, 22h, 0   ; BEh: mov a,BEh / ret
        .db     0E5h, 0BFh, 22h, 0   ; BFh: mov a,BFh / ret
        .db     0E5h, 0C0h, 22h, 0   ; C0h: mov a,C0h / ret
        .db     0E5h, 0C1h, 22h, 0   ; C1h: mov a,C1h / ret
        .db     0E5h, 0C2h, 22h, 0   ; C2h: mov a,C2h / ret
        .db     0E5h, 0C3h, 22h, 0   ; C3h: mov a,C3h / ret
        .db     0E5h, 0C4h, 22h, 0   ; C4h: mov a,C4h / ret
        .db     0E5h, 0C5h, 22h, 0   ; C5h: mov a,C5h / ret
        .db     0E5h, 0C6h, 22h, 0   ; C6h: mov a,C6h / ret
        .db     0E5h, 0C7h, 22h, 0   ; C7h: mov a,C7h / ret
        .db     0E5h, 0C8h, 22h, 0   ; C8h  T2CON: mov a,C8h / ret
        .db     0E5h, 0C9h, 22h, 0   ; C9h: mov a,C9h / ret
        .db     0E5h, 0CAh, 22h, 0   ; CAh  RCAP2L: mov a,CAh / ret
        .db     0E5h, 0CBh, 22h, 0   ; CBh  RCAP2H: mov a,CBh / ret
        .db     0E5h, 0CCh, 22h, 0   ; CCh  TL2: mov a,CCh / ret
        .db     0E5h, 0CDh, 22h, 0   ; CDh  TH2: mov a,CDh / ret
        .db     0E5h, 0CEh, 22h, 0   ; CEh: mov a,CEh / ret
        .db     0E5h, 0CFh, 22h, 0   ; CFh: mov a,CFh / ret
        ljmp    rd_psw          ; D0h  PSW, the program's own
        nop
        .db     0E5h, 0D1h, 22h, 0   ; D1h: mov a,D1h / ret
        .db     0E5h, 0D2h, 22h, 0   ; D2h: mov a,D2h / ret
        .db     0E5h, 0D3h, 22h, 0   ; D3h: mov a,D3h / ret
        .db     0E5h, 0D4h, 22h, 0   ; D4h: mov a,D4h / ret
        .db     0E5h, 0D5h, 22h, 0   ; D5h: mov a,D5h / ret
        .db     0E5h, 0D6h, 22h, 0   ; D6h: mov a,D6h / ret
        .db     0E5h, 0D7h, 22h, 0   ; D7h: mov a,D7h / ret
        .db     0E5h, 0D8h, 22h, 0   ; D8h: mov a,D8h / ret
        .db     0E5h, 0D9h, 22h, 0   ; D9h: mov a,D9h / ret
        .db     0E5h, 0DAh, 22h, 0   ; DAh: mov a,DAh / ret
        .db     0E5h, 0DBh, 22h, 0   ; DBh: mov a,DBh / ret
        .db     0E5h, 0DCh, 22h, 0   ; DCh: mov a,DCh / ret
        .db     0E5h, 0DDh, 22h, 0   ; DDh: mov a,DDh / ret
        .db     0E5h, 0DEh, 22h, 0   ; DEh: mov a,DEh / ret
        .db     0E5h, 0DFh, 22h, 0   ; DFh: mov a,DFh / ret
        ljmp    rd_acc          ; E0h  ACC, the program's own
        nop
        .db     0E5h, 0E1h, 22h, 0   ; E1h: mov a,E1h / ret
        .db     0E5h, 0E2h, 22h, 0   ; E2h: mov a,E2h / ret
        .db     0E5h, 0E3h, 22h, 0   ; E3h: mov a,E3h / ret
        .db     0E5h, 0E4h, 22h, 0   ; E4h: mov a,E4h / ret
        .db     0E5h, 0E5h, 22h, 0   ; E5h: mov a,E5h / ret
        .db     0E5h, 0E6h, 22h, 0   ; E6h: mov a,E6h / ret
        .db     0E5h, 0E7h, 22h, 0   ; E7h: mov a,E7h / ret
        .db     0E5h, 0E8h, 22h, 0   ; E8h: mov a,E8h / ret
        .db     0E5h, 0E9h, 22h, 0   ; E9h: mov a,E9h / ret
        .db     0E5h, 0EAh, 22h, 0   ; EAh: mov a,EAh / ret
        .db     0E5h, 0EBh, 22h, 0   ; EBh: mov a,EBh / ret
        .db     0E5h, 0ECh, 22h, 0   ; ECh: mov a,ECh / ret
        .db     0E5h, 0EDh, 22h, 0   ; EDh: mov a,EDh / ret
        .db     0E5h, 0EEh, 22h, 0   ; EEh: mov a,EEh / ret
        .db     0E5h, 0EFh, 22h, 0   ; EFh: mov a,EFh / ret
        ljmp    rd_b            ; F0h  B, the program's own
        nop
        .db     0E5h, 0F1h, 22h, 0   ; F1h: mov a,F1h / ret
        .db     0E5h, 0F2h, 22h, 0   ; F2h: mov a,F2h / ret
        .db     0E5h, 0F3h, 22h, 0   ; F3h: mov a,F3h / ret
        .db     0E5h, 0F4h, 22h, 0   ; F4h: mov a,F4h / ret
        .db     0E5h, 0F5h, 22h, 0   ; F5h: mov a,F5h / ret
        .db     0E5h, 0F6h, 22h, 0   ; F6h: mov a,F6h / ret
        .db     0E5h, 0F7h, 22h, 0   ; F7h: mov a,F7h / ret
        .db     0E5h, 0F8h, 22h, 0   ; F8h: mov a,F8h / ret
        .db     0E5h, 0F9h, 22h, 0   ; F9h: mov a,F9h / ret
        .db     0E5h, 0FAh, 22h, 0   ; FAh: mov a,FAh / ret
        .db     0E5h, 0FBh, 22h, 0   ; FBh: mov a,FBh / ret
        .db     0E5h, 0FCh, 22h, 0   ; FCh: mov a,FCh / ret
        .db     0E5h, 0FDh, 22h, 0   ; FDh: mov a,FDh / ret
        .db     0E5h, 0FEh, 22h, 0   ; FEh: mov a,FEh / ret
        .db     0E5h, 0FFh, 22h, 0   ; FFh: mov a,FFh / ret
sfr_write:
        .db     8Bh, 080h, 22h, 0   ; 80h  P0: mov 80h,r3 / ret
        .db     22h, 0, 0, 0         ; 81h  SP: skipped (ret)
        ljmp    wr_dpl          ; 82h  DPL, the program's own
        nop
        ljmp    wr_dph          ; 83h  DPH, the program's own
        nop
        .db     8Bh, 084h, 22h, 0   ; 84h: mov 84h,r3 / ret
        .db     8Bh, 085h, 22h, 0   ; 85h: mov 85h,r3 / ret
        .db     8Bh, 086h, 22h, 0   ; 86h: mov 86h,r3 / ret
        .db     8Bh, 087h, 22h, 0   ; 87h  PCON: mov 87h,r3 / ret
        .db     8Bh, 088h, 22h, 0   ; 88h  TCON: mov 88h,r3 / ret
        .db     8Bh, 089h, 22h, 0   ; 89h  TMOD: mov 89h,r3 / ret
        .db     8Bh, 08Ah, 22h, 0   ; 8Ah  TL0: mov 8Ah,r3 / ret
        .db     8Bh, 08Bh, 22h, 0   ; 8Bh  TL1: mov 8Bh,r3 / ret
        .db     8Bh, 08Ch, 22h, 0   ; 8Ch  TH0: mov 8Ch,r3 / ret
        .db     8Bh, 08Dh, 22h, 0   ; 8Dh  TH1: mov 8Dh,r3 / ret
        .db     8Bh, 08Eh, 22h, 0   ; 8Eh: mov 8Eh,r3 / ret
        .db     8Bh, 08Fh, 22h, 0   ; 8Fh: mov 8Fh,r3 / ret
        .db     8Bh, 090h, 22h, 0   ; 90h  P1: mov 90h,r3 / ret
        .db     8Bh, 091h, 22h, 0   ; 91h: mov 91h,r3 / ret
        .db     8Bh, 092h, 22h, 0   ; 92h: mov 92h,r3 / ret
        .db     8Bh, 093h, 22h, 0   ; 93h: mov 93h,r3 / ret
        .db     8Bh, 094h, 22h, 0   ; 94h: mov 94h,r3 / ret
        .db     8Bh, 095h, 22h, 0   ; 95h: mov 95h,r3 / ret
        .db     8Bh, 096h, 22h, 0   ; 96h: mov 96h,r3 / ret
        .db     8Bh, 097h, 22h, 0   ; 97h: mov 97h,r3 / ret
        .db     8Bh, 098h, 22h, 0   ; 98h  SCON: mov 98h,r3 / ret
        .db     22h, 0, 0, 0         ; 99h  SBUF: skipped (ret)
        .db     8Bh, 09Ah, 22h, 0   ; 9Ah: mov 9Ah,r3 / ret
        .db     8Bh, 09Bh, 22h, 0   ; 9Bh: mov 9Bh,r3 / ret
        .db     8Bh, 09Ch, 22h, 0   ; 9Ch: mov 9Ch,r3 / ret
        .db     8Bh, 09Dh, 22h, 0   ; 9Dh: mov 9Dh,r3 / ret
        .db     8Bh, 09Eh, 22h, 0   ; 9Eh: mov 9Eh,r3 / ret
        .db     8Bh, 09Fh, 22h, 0   ; 9Fh: mov 9Fh,r3 / ret
        .db     8Bh, 0A0h, 22h, 0   ; A0h  P2: mov A0h,r3 / ret
        .db     8Bh, 0A1h, 22h, 0   ; A1h: mov A1h,r3 / ret
        .db     8Bh, 0A2h, 22h, 0   ; A2h: mov A2h,r3 / ret
        .db     8Bh, 0A3h, 22h, 0   ; A3h: mov A3h,r3 / ret
        .db     8Bh, 0A4h, 22h, 0   ; A4h: mov A4h,r3 / ret
        .db     8Bh, 0A5h, 22h, 0   ; A5h: mov A5h,r3 / ret
        .db     8Bh, 0A6h, 22h, 0   ; A6h: mov A6h,r3 / ret
        .db     8Bh, 0A7h, 22h, 0   ; A7h: mov A7h,r3 / ret
        ljmp    wr_ie           ; A8h  IE, with ES kept set
        nop
        .db     8Bh, 0A9h, 22h, 0   ; A9h: mov A9h,r3 / ret
        .db     8Bh, 0AAh, 22h, 0   ; AAh: mov AAh,r3 / ret
        .db     8Bh, 0ABh, 22h, 0   ; ABh: mov ABh,r3 / ret
        .db     8Bh, 0ACh, 22h, 0   ; ACh: mov ACh,r3 / ret
        .db     8Bh, 0ADh, 22h, 0   ; ADh: mov ADh,r3 / ret
        .db     8Bh, 0AEh, 22h, 0   ; AEh: mov AEh,r3 / ret
        .db     8Bh, 0AFh, 22h, 0   ; AFh: mov AFh,r3 / ret
        .db     8Bh, 0B0h, 22h, 0   ; B0h  P3: mov B0h,r3 / ret
        .db     8Bh, 0B1h, 22h, 0   ; B1h: mov B1h,r3 / ret
        .db     8Bh, 0B2h, 22h, 0   ; B2h: mov B2h,r3 / ret
        .db     8Bh, 0B3h, 22h, 0   ; B3h: mov B3h,r3 / ret
        .db     8Bh, 0B4h, 22h, 0   ; B4h: mov B4h,r3 / ret
        .db     8Bh, 0B5h, 22h, 0   ; B5h: mov B5h,r3 / ret
        .db     8Bh, 0B6h, 22h, 0   ; B6h: mov B6h,r3 / ret
        .db     8Bh, 0B7h, 22h, 0   ; B7h: mov B7h,r3 / ret
        .db     8Bh, 0B8h, 22h, 0   ; B8h  IP: mov B8h,r3 / ret
        .db     8Bh, 0B9h, 22h, 0   ; B9h: mov B9h,r3 / ret
        .db     8Bh, 0BAh, 22h, 0   ; BAh: mov BAh,r3 / ret
        .db     8Bh, 0BBh, 22h, 0   ; BBh: mov BBh,r3 / ret
        .db     8Bh, 0BCh, 22h, 0   ; BCh: mov BCh,r3 / ret
        .db     8Bh, 0BDh, 22h, 0   ; BDh: mov BDh,r3 / ret
        .db     8Bh, 0BEh, 22h, 0   ; BEh: mov BEh,r3 / ret
        .db     8Bh, 0BFh, 22h, 0   ; BFh: mov BFh,r3 / ret
        .db     8Bh, 0C0h, 22h, 0   ; C0h: mov C0h,r3 / ret
        .db     8Bh, 0C1h, 22h, 0   ; C1h: mov C1h,r3 / ret
        .db     8Bh, 0C2h, 22h, 0   ; C2h: mov C2h,r3 / ret
        .db     8Bh, 0C3h, 22h, 0   ; C3h: mov C3h,r3 / ret
        .db     8Bh, 0C4h, 22h, 0   ; C4h: mov C4h,r3 / ret
        .db     8Bh, 0C5h, 22h, 0   ; C5h: mov C5h,r3 / ret
        .db     8Bh, 0C6h, 22h, 0   ; C6h: mov C6h,r3 / ret
        .db     8Bh, 0C7h, 22h, 0   ; C7h: mov C7h,r3 / ret
        .db     8Bh, 0C8h, 22h, 0   ; C8h  T2CON: mov C8h,r3 / ret
        .db     8Bh, 0C9h, 22h, 0   ; C9h: mov C9h,r3 / ret
        .db     8Bh, 0CAh, 22h, 0   ; CAh  RCAP2L: mov CAh,r3 / ret
        .db     8Bh, 0CBh, 22h, 0   ; CBh  RCAP2H: mov CBh,r3 / ret
        .db     8Bh, 0CCh, 22h, 0   ; CCh  TL2: mov CCh,r3 / ret
        .db     8Bh, 0CDh, 22h, 0   ; CDh  TH2: mov CDh,r3 / ret
        .db     8Bh, 0CEh, 22h, 0   ; CEh: mov CEh,r3 / ret
        .db     8Bh, 0CFh, 22h, 0   ; CFh: mov CFh,r3 / ret
        ljmp    wr_psw          ; D0h  PSW, the program's own
        nop
        .db     8Bh, 0D1h, 22h, 0   ; D1h: mov D1h,r3 / ret
        .db     8Bh, 0D2h, 22h, 0   ; D2h: mov D2h,r3 / ret
        .db     8Bh, 0D3h, 22h, 0   ; D3h: mov D3h,r3 / ret
        .db     8Bh, 0D4h, 22h, 0   ; D4h: mov D4h,r3 / ret
        .db     8Bh, 0D5h, 22h, 0   ; D5h: mov D5h,r3 / ret
        .db     8Bh, 0D6h, 22h, 0   ; D6h: mov D6h,r3 / ret
        .db     8Bh, 0D7h, 22h, 0   ; D7h: mov D7h,r3 / ret
        .db     8Bh, 0D8h, 22h, 0   ; D8h: mov D8h,r3 / ret
        .db     8Bh, 0D9h, 22h, 0   ; D9h: mov D9h,r3 / ret
        .db     8Bh, 0DAh, 22h, 0   ; DAh: mov DAh,r3 / ret
        .db     8Bh, 0DBh, 22h, 0   ; DBh: mov DBh,r3 / ret
        .db     8Bh, 0DCh, 22h, 0   ; DCh: mov DCh,r3 / ret
        .db     8Bh, 0DDh, 22h, 0   ; DDh: mov DDh,r3 / ret
        .db     8Bh, 0DEh, 22h, 0   ; DEh: mov DEh,r3 / ret
        .db     8Bh, 0DFh, 22h, 0   ; DFh: mov DFh,r3 / ret
        ljmp    wr_acc          ; E0h  ACC, the program's own
        nop
        .db     8Bh, 0E1h, 22h, 0   ; E1h: mov E1h,r3 / ret
        .db     8Bh, 0E2h, 22h, 0   ; E2h: mov E2h,r3 / ret
        .db     8Bh, 0E3h, 22h, 0   ; E3h: mov E3h,r3 / ret
        .db     8Bh, 0E4h, 22h, 0   ; E4h: mov E4h,r3 / ret
        .db     8Bh, 0E5h, 22h, 0   ; E5h: mov E5h,r3 / ret
        .db     8Bh, 0E6h, 22h, 0   ; E6h: mov E6h,r3 / ret
        .db     8Bh, 0E7h, 22h, 0   ; E7h: mov E7h,r3 / ret
        .db     8Bh, 0E8h, 22h, 0   ; E8h: mov E8h,r3 / ret
        .db     8Bh, 0E9h, 22h, 0   ; E9h: mov E9h,r3 / ret
        .db     8Bh, 0EAh, 22h, 0   ; EAh: mov EAh,r3 / ret
        .db     8Bh, 0EBh, 22h, 0   ; EBh: mov EBh,r3 / ret
        .db     8Bh, 0ECh, 22h, 0   ; ECh: mov ECh,r3 / ret
        .db     8Bh, 0EDh, 22h, 0   ; EDh: mov EDh,r3 / ret
        .db     8Bh, 0EEh, 22h, 0   ; EEh: mov EEh,r3 / ret
        .db     8Bh, 0EFh, 22h, 0   ; EFh: mov EFh,r3 / ret
        ljmp    wr_b            ; F0h  B, the program's own
        nop
        .db     8Bh, 0F1h, 22h, 0   ; F1h: mov F1h,r3 / ret
        .db     8Bh, 0F2h, 22h, 0   ; F2h: mov F2h,r3 / ret
        .db     8Bh, 0F3h, 22h, 0   ; F3h: mov F3h,r3 / ret
        .db     8Bh, 0F4h, 22h, 0   ; F4h: mov F4h,r3 / ret
        .db     8Bh, 0F5h, 22h, 0   ; F5h: mov F5h,r3 / ret
        .db     8Bh, 0F6h, 22h, 0   ; F6h: mov F6h,r3 / ret
        .db     8Bh, 0F7h, 22h, 0   ; F7h: mov F7h,r3 / ret
        .db     8Bh, 0F8h, 22h, 0   ; F8h: mov F8h,r3 / ret
        .db     8Bh, 0F9h, 22h, 0   ; F9h: mov F9h,r3 / ret
        .db     8Bh, 0FAh, 22h, 0   ; FAh: mov FAh,r3 / ret
        .db     8Bh, 0FBh, 22h, 0   ; FBh: mov FBh,r3 / ret
        .db     8Bh, 0FCh, 22h, 0   ; FCh: mov FCh,r3 / ret
        .db     8Bh, 0FDh, 22h, 0   ; FDh: mov FDh,r3 / ret
        .db     8Bh, 0FEh, 22h, 0   ; FEh: mov FEh,r3 / ret
        .db     8Bh, 0FFh, 22h, 0   ; FFh: mov FFh,r3 / ret

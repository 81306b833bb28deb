; Demo program for Tarlek, in as31 syntax. It carries the two hooks of the
; resident and then runs its own loop, printing a line through the
; resident's character output while the resident answers requests on the
; same serial line (9600 baud, 8N1, at 11.0592 MHz).
;
; Each pass prints "Tarlek demo NN" CR LF, NN being the pass count (41h) in
; hexadecimal, so a host sees whether the program's text comes whole and in
; order between the resident's answers. The printing uses A and DPTR only
; and changes no flag, so the loop keeps fixed values in B, PSW (register
; bank 1, carry set) and R0, and copies A, B, DPL, DPH, PSW, R0 and SP to
; internal RAM 48h..4Eh after every line: a host that reads 48h..4Eh sees
; whether the serial interrupt gave the program back its registers. 40h
; holds 5Ah once the program's own code runs.
;
; Assemble in a directory that holds a copy of the include file:
;       as31 demo.asm                   (demo.hex)
;       as31 -Fbin -Odemo.bin demo.asm  (demo.bin)
; and merge with tarlek.bin in the current directory:
;       tarlek demo.hex

        .equ    TARLEK_PAGE, 80h        ; the resident goes to 8000h
        .equ    TARLEK_RAM, 74h         ; its state: 74h..7Fh
        .inc    Tarlek.inc
        .equ    putchar, TARLEK_PAGE*256+6   ; the resident's output, A

        .org    0030h
tarlek_main:
        mov     sp, #5Fh        ; stack at 60h..73h
        mov     40h, #5Ah
        mov     41h, #0
        mov     psw, #88h       ; register bank 1, carry set
        mov     r0, #0A0h
        mov     b, #0C3h
loop:   mov     dptr, #text
        lcall   puts
        mov     dptr, #digits   ; the pass count, two hex digits
        mov     a, 41h
        swap    a
        anl     a, #0Fh
        movc    a, @a+dptr
        lcall   putchar
        mov     a, 41h
        anl     a, #0Fh
        movc    a, @a+dptr
        lcall   putchar
        mov     dptr, #line_end
        lcall   puts
        inc     41h
        mov     48h, a
        mov     49h, b
        mov     4Ah, dpl
        mov     4Bh, dph
        mov     4Ch, psw
        mov     4Dh, r0
        mov     4Eh, sp
        sjmp    loop

; Prints the zero-terminated text at DPTR; leaves A = 0, DPTR at the zero.
puts:   clr     a
        movc    a, @a+dptr
        jz      puts_end
        lcall   putchar
        inc     dptr
        sjmp    puts
puts_end:
        ret

text:   .db     "Tarlek demo ", 0
digits: .db     "0123456789ABCDEF"
line_end:
        .db     13, 10, 0
        .end

; Demo program for Tarlek, in as31 syntax. It carries the two hooks of the
; resident and then runs its own loop, while the resident answers commands
; on the serial line (9600 baud, 8N1, at 11.0592 MHz).
;
; The loop keeps fixed values in A, B, DPTR, PSW (register bank 1) and R0
; and copies them, with SP, to internal RAM 48h..4Eh on every pass, so a
; host that reads 48h..4Eh with the resident's R command sees whether the
; serial interrupt gave the program back its registers. 40h holds 5Ah once
; the program's own code runs, 41h counts the passes.
;
; Assemble in a directory that holds a copy of the include file:
;       as31 demo.asm                   (demo.hex)
;       as31 -Fbin -Odemo.bin demo.asm  (demo.bin)
; and merge with tarlek.bin in the current directory:
;       tarlek demo.hex

        .equ    TARLEK_PAGE, 80h        ; the resident goes to 8000h
        .inc    Tarlek.inc

        .org    0030h
tarlek_main:
        mov     sp, #5Fh        ; stack at 60h..7Fh
        mov     40h, #5Ah
        mov     41h, #0
        mov     psw, #08h       ; register bank 1
        mov     r0, #0A0h
        mov     a, #3Ch
        mov     b, #0C3h
        mov     dptr, #1234h
loop:   inc     41h
        mov     48h, a
        mov     49h, b
        mov     4Ah, dpl
        mov     4Bh, dph
        mov     4Ch, psw
        mov     4Dh, r0
        mov     4Eh, sp
        sjmp    loop
        .end

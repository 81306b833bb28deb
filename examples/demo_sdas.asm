; Demo program for Tarlek, in sdas8051 syntax: the same program as demo.asm
; (as31), byte for byte. It carries the two hooks of the resident and then
; runs its own loop, while the resident answers commands on the serial line
; (9600 baud, 8N1, at 11.0592 MHz).
;
; The loop keeps fixed values in A, B, DPTR, PSW (register bank 1) and R0
; and copies them, with SP, to internal RAM 48h..4Eh on every pass, so a
; host that reads 48h..4Eh through the resident sees whether the serial
; interrupt gave the program back its registers. 40h holds 5Ah once the
; program's own code runs, 41h counts the passes.
;
; Assemble, link and pack, with the folder of tarlek_sdas.inc after -I:
;       sdas8051 -I../resident -o demo_sdas.rel demo_sdas.asm
;       sdld -i demo_sdas.ihx demo_sdas.rel
;       packihx demo_sdas.ihx > demo_sdas.hex
; and merge with tarlek.bin in the current directory:
;       tarlek demo_sdas.hex

        TARLEK_PAGE = 0x80              ; the resident goes to 8000h
        .include "tarlek_sdas.inc"

        .area   DEMO (ABS,CODE)
        .org    0x0030
tarlek_main:
        mov     sp, #0x5F       ; stack at 60h..7Fh
        mov     0x40, #0x5A
        mov     0x41, #0
        mov     psw, #0x08      ; register bank 1
        mov     r0, #0xA0
        mov     a, #0x3C
        mov     b, #0xC3
        mov     dptr, #0x1234
loop:   inc     0x41
        mov     0x48, a
        mov     0x49, b
        mov     0x4A, dpl
        mov     0x4B, dph
        mov     0x4C, psw
        mov     0x4D, r0
        mov     0x4E, sp
        sjmp    loop

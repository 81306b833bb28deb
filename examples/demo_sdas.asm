; Demo program for Tarlek, in sdas8051 syntax: the same program as demo.asm
; (as31), byte for byte. It carries the two hooks of the resident and then
; runs its own loop, printing a line through the resident's character
; output while the resident answers requests on the same serial line
; (9600 baud, 8N1, at 11.0592 MHz).
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
; Assemble, link and pack, with the folder of tarlek_sdas.inc after -I:
;       sdas8051 -I../resident -o demo_sdas.rel demo_sdas.asm
;       sdld -n -i demo_sdas.ihx demo_sdas.rel
;       packihx demo_sdas.ihx > demo_sdas.hex
; and merge with tarlek.bin in the current directory:
;       tarlek demo_sdas.hex

        TARLEK_PAGE = 0x80              ; the resident goes to 8000h
        TARLEK_RAM = 0x74               ; its state: 74h..7Fh
        .include "tarlek_sdas.inc"
        putchar = TARLEK_PAGE*256+6     ; the resident's output, A

        .area   DEMO (ABS,CODE)
        .org    0x0030
tarlek_main:
        mov     sp, #0x5F       ; stack at 60h..73h
        mov     0x40, #0x5A
        mov     0x41, #0
        mov     psw, #0x88      ; register bank 1, carry set
        mov     r0, #0xA0
        mov     b, #0xC3
loop:   mov     dptr, #text
        lcall   puts
        mov     dptr, #digits   ; the pass count, two hex digits
        mov     a, 0x41
        swap    a
        anl     a, #0x0F
        movc    a, @a+dptr
        lcall   putchar
        mov     a, 0x41
        anl     a, #0x0F
        movc    a, @a+dptr
        lcall   putchar
        mov     dptr, #line_end
        lcall   puts
        inc     0x41
        mov     0x48, a
        mov     0x49, b
        mov     0x4A, dpl
        mov     0x4B, dph
        mov     0x4C, psw
        mov     0x4D, r0
        mov     0x4E, sp
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

text:   .asciz  "Tarlek demo "
digits: .ascii  "0123456789ABCDEF"
line_end:
        .db     13, 10, 0

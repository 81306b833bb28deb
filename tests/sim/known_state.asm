; Test program for the resident (as31): known contents everywhere the
; resident can reach, fixed registers and flags, and a counter that moves.
;
;   internal RAM 00h..73h  each byte its address complemented, except:
;     08h..0Fh  register bank 1, R0..R7 = A0h..A7h (the bank in use; BANK
;               below chooses another, at BANK * 8)
;     40h       5Ah once the loop has made its first copies: the program is
;               ready, every value below is in place
;     41h, 42h  the pass counter: 41h counts down, 42h up when 41h wraps
;     48h..4Dh  copies of A, B, DPL, DPH, PSW, SP after every pass
;     50h..57h  copies of R0..R7 after every pass
;   internal RAM 74h..7Fh  the resident's state (TARLEK_RAM)
;   external RAM 0000h..00FFh  each byte its address low byte XOR 5Ah
;   TH0 = 9Ch, P1 = 3Ch
;   A = 3Ch, B = C3h, DPTR = 1234h, PSW = CCh (CY, AC, OV, bank 1), SP = 5Fh
;   (PSW = C4h + BANK * 8 for another bank)
;
; The loop never calls, so every serial interrupt finds SP = 5Fh: the
; resident's stack lies from 60h up and the pattern above it shows how far
; it reached. Nothing in the loop changes a flag.

        .equ    TARLEK_PAGE, 80h
        .equ    TARLEK_RAM, 74h
        .inc    Tarlek.inc
        .equ    BANK, 1         ; the register bank the loop runs in

        .org    0030h
tarlek_main:
        mov     sp, #5Fh        ; first: a request may come in at once
        mov     40h, #0         ; not ready, whatever RAM held at power-up
        mov     r0, #73h
fill:   mov     a, r0
        cpl     a
        mov     @r0, a
        djnz    r0, fill
        mov     0, #0FFh
        mov     dptr, #0
xfill:  mov     a, dpl
        xrl     a, #5Ah
        movx    @dptr, a
        inc     dptr
        mov     a, dph
        jz      xfill
        mov     th0, #9Ch
        mov     p1, #3Ch
        mov     41h, #0
        mov     42h, #0
        mov     psw, #(0C4h + BANK * 8)
        mov     r0, #0A0h
        mov     r1, #0A1h
        mov     r2, #0A2h
        mov     r3, #0A3h
        mov     r4, #0A4h
        mov     r5, #0A5h
        mov     r6, #0A6h
        mov     r7, #0A7h
        mov     a, #3Ch
        mov     b, #0C3h
        mov     dptr, #1234h
loop:   djnz    41h, same
        inc     42h
same:   mov     48h, a
        mov     49h, b
        mov     4Ah, dpl
        mov     4Bh, dph
        mov     4Ch, psw
        mov     4Dh, sp
        mov     50h, r0
        mov     51h, r1
        mov     52h, r2
        mov     53h, r3
        mov     54h, r4
        mov     55h, r5
        mov     56h, r6
        mov     57h, r7
        mov     40h, #5Ah       ; ready
        sjmp    loop
        .end

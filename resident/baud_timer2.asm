; Init of the Tarlek resident with timer 2 as the baud generator, for
; 8052-class chips (as31), assembled after init.asm. The build sets
; TARLEK_RCAP2H and TARLEK_RCAP2L, the reload value.
;
; Serial port in mode 1 (8 data bits, 1 stop bit, no parity), timer 2 in
; baud rate mode for both directions (T2CON = 34h: RCLK, TCLK, TR2),
; receiver on, ES and EA set; returns to the program. Changes T2CON,
; RCAP2H, RCAP2L, TH2, TL2, SCON, ES and EA, and no register or flag.
; Timer 1 is left to the program.
baud_init:
        mov     0C8h, #00h              ; T2CON: timer 2 stopped
        mov     0CBh, #TARLEK_RCAP2H    ; RCAP2H
        mov     0CAh, #TARLEK_RCAP2L    ; RCAP2L
        mov     0CDh, #TARLEK_RCAP2H    ; TH2
        mov     0CCh, #TARLEK_RCAP2L    ; TL2
        mov     scon, #58h              ; TB8: the line is free
        mov     0C8h, #34h              ; T2CON: RCLK, TCLK, TR2
        orl     ie, #90h                ; EA, ES
        ret

; Init of the Tarlek resident with timer 1 as the baud generator (as31),
; assembled after tarlek.asm. The build sets TARLEK_TH1 (the reload value)
; and TARLEK_SMOD (80h to double the rate, else 0).
;
; Serial port in mode 1 (8 data bits, 1 stop bit, no parity), timer 1 in
; mode 2 (8-bit auto-reload), receiver on, ES and EA set; returns to the
; program. Changes TMOD's timer 1 half, TH1, TL1, PCON.7, SCON, TR1, ES and
; EA, and no register or flag.
baud_init:
        anl     tmod, #0Fh
        orl     tmod, #20h
        mov     th1, #TARLEK_TH1
        mov     tl1, #TARLEK_TH1
        anl     pcon, #7Fh
        orl     pcon, #TARLEK_SMOD
        mov     scon, #58h              ; TB8: the line is free
        setb    tr1
        setb    es
        setb    ea
        ret

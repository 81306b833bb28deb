; Init of the Tarlek resident with timer 1 as the baud generator (as31),
; assembled after init.asm. The build sets TARLEK_TH1 (the reload value)
; and TARLEK_PCON_OP, TARLEK_PCON_BITS: the one instruction that sets PCON's
; SMOD as the rate needs it, ANL PCON,#7Fh (53h 87h 7Fh) or ORL PCON,#80h
; (43h 87h 80h), laid as bytes since as31 cannot choose an instruction.
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
        .db     TARLEK_PCON_OP, 87h, TARLEK_PCON_BITS ; SMOD
        mov     scon, #58h              ; TB8: the line is free
        setb    tr1
        orl     ie, #90h                ; EA, ES
        ret

; Test program for the resident (as31): a timer 0 interrupt at the serial
; port's priority (IP = 0, as most programs have it) of 25 machine cycles
; from its vector's call to its RETI (26 when the high byte counts), every
; 200 cycles, and a main loop that only waits. At 115200 baud a byte lasts
; 80 cycles: the 8051 serves timer 0 before the serial port when both are
; due, so this tick lands between the resident's interrupts while a request
; comes in. (With 6 rounds of work, 31 cycles, about one long write of xram
; in 25 loses a byte and is sent again; the resident's README says why.)
;
;   30h..31h  the ticks taken, low byte first
;
; Timer 1 is left as it is (the baud generator of timer-1 builds).

        .equ    TARLEK_PAGE, 80h
        .equ    TARLEK_RAM, 74h
        .inc    Tarlek.inc

        .org    000Bh           ; timer 0
        ljmp    tick

        .org    0030h
tarlek_main:
        mov     sp, #5Fh
        mov     30h, #0
        mov     31h, #0
        anl     tmod, #0F0h     ; timer 0 in mode 2 (auto-reload)
        orl     tmod, #02h
        mov     th0, #(256-200)
        mov     tl0, #(256-200)
        setb    tr0
        setb    et0
idle:   sjmp    idle

tick:   push    psw
        push    acc
        inc     30h
        mov     a, 30h
        jnz     counted
        inc     31h
counted:
        mov     a, #3           ; the rest of a tick's work
work:   djnz    acc, work
        pop     acc
        pop     psw
        reti
        .end

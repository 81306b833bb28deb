; The reset init of the Tarlek resident (as31), laid by the build after
; tarlek.asm and identify's answer, and before the baud generator's init
; (baud_timer1.asm or baud_timer2.asm), which it runs on into.
;
; At reset: all STATE_BYTES (12) bytes of state 0 (no frame, no answer),
; then the baud generator's init, which returns to the program. Changes A
; and R0.
init:   lcall   HOOK_STATE
        mov     a, #STATE_BYTES
in_clear:
        mov     @r0, #0
        inc     r0
        djnz    acc, in_clear
                                ; on into baud_init, which the build lays next

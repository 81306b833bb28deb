; Liveness test program (as31): how much a program keeps of its own time while
; the resident answers on the serial line.
;
; A 1 kHz tick from timer 0 at the serial port's priority (both low, IP = 0,
; as most programs have it) and a main loop that only counts, in DPTR (INC
; DPTR is one instruction: no interrupt ever sees half an increment). The
; tick records its own worst lateness and, every 32 ticks (a window), the
; main loop's count. A host reads and resets these bytes through the
; simulator's console, never through the resident, so that measuring adds
; no traffic:
;
;   30h..32h  ticks     the ticks taken, 24 bits
;   33h..34h  lost      ticks the tick found missed: it came more than a
;                       period late, so the timer had passed the next one too
;   35h..36h  late      the worst lateness, in machine cycles: timer 0's
;                       count since its overflow when the tick stopped it
;                       (the interrupt's own latency included)
;   37h..38h  win_min   the fewest main loop counts in a window
;   39h..3Ah  win_max   the most: the idle speed, once a window ran quiet
;   3Bh..3Ch  win_at    DPTR at the start of the running window
;   3Dh..40h  total     the main loop's count up to win_at, 32 bits; its
;                       count now is total + (DPTR - win_at) mod 10000h,
;                       read while the program is in its main loop
;   41h..42h  now       this tick's lateness, then the window's count
;
; Values are low byte first. A host resets late (0000h), win_min (FFFFh) and
; win_max (0000h) to measure a stretch of time. The stack goes from 50h up
; (the resident's interrupt takes at most 16 bytes of it); 74h..7Fh are the
; resident's own (TARLEK_RAM).
;
; The timer counts machine cycles (12 clock periods). A tick every PERIOD =
; 922 cycles is 1 kHz from 11.0592 MHz (921.6). The tick stops the timer at
; its vector, so what it reads is the count since the overflow; it adds the
; reload to that count and starts the timer again, which keeps the period
; exact whatever the lateness. STOPPED is how many counts the timer misses
; while stopped: with it, the ticks come exactly PERIOD of the simulator's
; cycles apart.

        .equ    TARLEK_PAGE, 80h
        .equ    TARLEK_RAM, 74h         ; the resident's own bytes, where it keeps any
        .inc    Tarlek.inc

        .equ    PERIOD, 922
        .equ    STOPPED, 19
        .equ    RELOAD, 65536-PERIOD+STOPPED    ; at the tick: stopped since the vector
        .equ    AGAIN, 65536-PERIOD             ; for each further tick already due

        .equ    ticks, 30h
        .equ    lost, 33h
        .equ    late, 35h
        .equ    win_min, 37h
        .equ    win_max, 39h
        .equ    win_at, 3Bh
        .equ    total, 3Dh
        .equ    now, 41h
        .equ    STACK, 4Fh      ; SP: the stack from 50h up

        .org    000Bh           ; timer 0
        clr     tr0             ; the count since the overflow stops here
        ljmp    tick

        .org    0030h
tarlek_main:
        mov     sp, #STACK
        clr     a
        mov     r0, #ticks
clear:  mov     @r0, a
        inc     r0
        cjne    r0, #(now+2), clear
        mov     win_min, #0FFh
        mov     win_min+1, #0FFh
        mov     dptr, #0
        anl     tmod, #0F0h     ; timer 0 in mode 1; timer 1 (the baud rate) as it is
        orl     tmod, #01h
        mov     tl0, #(AGAIN & 0FFh)
        mov     th0, #(AGAIN / 256)
        setb    tr0
        setb    et0
count:  inc     dptr            ; the main loop: 4 cycles a count
        sjmp    count

; The tick. Stopped at the vector, the timer holds the cycles since its
; overflow: the lateness. The reload added to it sets the next overflow one
; period after this one; a carry means that one is due already (lost).
tick:   push    psw
        push    acc
        mov     now, tl0
        mov     now+1, th0
        mov     a, tl0
        add     a, #(RELOAD & 0FFh)
        mov     tl0, a
        mov     a, th0
        addc    a, #(RELOAD / 256)
        mov     th0, a
        jc      missed
        setb    tr0
on_time:
        clr     c               ; late = max(late, now)
        mov     a, late
        subb    a, now
        mov     a, late+1
        subb    a, now+1
        jnc     counted
        mov     late, now
        mov     late+1, now+1
counted:
        inc     ticks
        mov     a, ticks
        jnz     ticked
        inc     ticks+1
        mov     a, ticks+1
        jnz     ticked
        inc     ticks+2
ticked: mov     a, ticks
        anl     a, #1Fh
        jz      window
        pop     acc
        pop     psw
        reti

; Every further tick already due is one lost; the timer then holds the
; count since that one.
missed: inc     lost
        mov     a, lost
        jnz     missed_1
        inc     lost+1
missed_1:
        mov     a, tl0
        add     a, #(AGAIN & 0FFh)
        mov     tl0, a
        mov     a, th0
        addc    a, #(AGAIN / 256)
        mov     th0, a
        jc      missed
        setb    tr0
        sjmp    on_time

; Every 32 ticks: the main loop's count over the window, added to the
; total and kept as the fewest and the most.
window: clr     c
        mov     a, dpl
        subb    a, win_at
        mov     now, a
        mov     a, dph
        subb    a, win_at+1
        mov     now+1, a
        mov     win_at, dpl
        mov     win_at+1, dph
        mov     a, total
        add     a, now
        mov     total, a
        mov     a, total+1
        addc    a, now+1
        mov     total+1, a
        clr     a
        addc    a, total+2
        mov     total+2, a
        clr     a
        addc    a, total+3
        mov     total+3, a
        clr     c               ; win_min = min(win_min, now)
        mov     a, now
        subb    a, win_min
        mov     a, now+1
        subb    a, win_min+1
        jnc     not_min
        mov     win_min, now
        mov     win_min+1, now+1
not_min:
        clr     c               ; win_max = max(win_max, now)
        mov     a, win_max
        subb    a, now
        mov     a, win_max+1
        subb    a, now+1
        jnc     not_max
        mov     win_max, now
        mov     win_max+1, now+1
not_max:
        pop     acc
        pop     psw
        reti
        .end

; Tarlek resident monitor for the 8051, in as31 syntax: serial protocol 3,
; one byte per interrupt.
;
; This file holds the body only, without an origin. The build writes a
; wrapper per origin that sets the build's values and the resident's facts
; (.equ lines: clock, baud, Tarlek version, and from facts.txt the protocol's
; numbers, the command codes and length rules, the hook block's addresses,
; the sizes of the state and the stack), sets the origin, and includes this
; file, identify's answer (generated from the layout in facts.txt), init.asm,
; the baud generator's init (baud_timer1.asm or baud_timer2.asm) and the SFR
; tables it generates from the rules in facts.txt. It assembles the body at
; 0000h and at 0100h and
; compares the two images to find the bytes that hold the high byte of an
; address inside the resident. Tarlek adds the page number to those bytes
; when it lays the resident into a program, so every absolute address here
; (LJMP, LCALL, MOV DPTR,#label, label/256) moves with it. Never use AJMP or
; ACALL, label/16 or any other use of an address that does not simply move
; by one per page: the build refuses them.
;
; Layout, fixed because the include files and programs rely on it:
;   +0  LJMP init    reached at reset through the LCALL at 0000h
;   +3  LJMP serial  reached through the LJMP at the serial vector 0023h
;   +6  putchar      the program's character output (character in A)
;
; The resident keeps its state in STATE_BYTES (12) bytes of internal RAM
; that the program places: the program's hook block holds MOV R0,#address /
; RET at HOOK_STATE (0006h), which the resident calls to find them. Nothing else of the
; program's RAM is the resident's but its stack while an interrupt runs.
;
; Each serial interrupt takes one received byte or sends one byte, and
; returns: requests are taken byte by byte as they come, answers go out
; byte by byte from the transmit interrupt. Every step of a request is a
; handler within 255 bytes after rx_steps, every step of an answer one
; within 255 bytes after tx_steps; the state keeps the handler's distance
; from there (0: none), and the dispatch adds it, pushes the address and RETs.
;
; The interrupt saves ACC, PSW and R0 of the program's bank on the program's
; stack (SP0: the program's SP when it came): SP0+1,+2 return address, +3
; ACC, +4 PSW, +5 R0. Calls and pushes reach at most SP0+STACK_BYTES.
;
; SCON's TB8 (unused in mode 1) is the line's owner flag: 1 when the
; transmitter is free. +6 and the interrupt take it with JBC, which tests
; and clears in one instruction, so a character of the program never lands
; inside an answer frame; whoever sends the last byte frees it on its TI.

        ; The state's STATE_BYTES bytes, offsets from the address the hook gives.
        .equ    O_TXS, 0        ; next answer step (0: no answer going out)
        .equ    O_TXE, 1        ; the step after an escape's second byte
        .equ    O_TSUM, 2       ; the answer's running sum
        .equ    O_AH, 3         ; address, high byte (code and xram)
        .equ    O_AL, 4         ; address, low byte; iram and SFR address
        .equ    O_CNT, 5        ; bytes left to move
        .equ    O_RXS, 6        ; next request step (0: outside a frame)
        .equ    O_RSUM, 7       ; the request's running sum
        .equ    O_ESC, 8        ; 1: the last byte received was DBh
        .equ    O_CMD, 9        ; the request's command
        .equ    O_SEQ, 10       ; the request's sequence number
        .equ    O_LEN, 11       ; LEN while receiving; then the answer's data step

        ; Framing: FRAME_START (C0h) begins every frame, FRAME_ESCAPE (DBh)
        ; then FRAME_ESCAPED_START (DCh) stands for C0h, FRAME_ESCAPE then
        ; FRAME_ESCAPED_ESCAPE (DDh) for DBh.

base:   ljmp    init
        ljmp    serial
        ljmp    putchar

; The interrupt's entry sits between the code that takes a received byte and
; the answer's steps: its JBCs reach both, and both reach its end (sr_end)
; with SJMP. The request's steps follow the answer's.

; rx_counted for a data byte of a write of internal RAM or SFRs, which takes
; longer than a byte lasts at 115200 baud: when an escape (DBh) has come
; meanwhile, it is taken here, since the byte after it would come before
; another interrupt could clear RI, and be lost (a sum of C0h or DBh after
; the last data byte). Any other byte waits for the next interrupt as always.
rx_slow_counted:
        dec     @r0
        cjne    @r0, #0, rx_taken
        inc     r0              ; RXS
        mov     @r0, #(rx_sum-rx_steps)
rx_taken:
        jnb     ri, sr_end
        mov     a, sbuf
        cjne    a, #FRAME_ESCAPE, sr_end
        clr     ri
        lcall   HOOK_STATE
        sjmp    rx_in

; A byte has come in. Outside a frame only C0h counts; inside, DBh escapes
; the next byte; every byte of the frame is summed and goes to the step
; that RXS names, with R0 at RXS and the byte waiting in RXS's place. At
; rx the byte is in A and R0 at the state.
; The interrupt comes here first when RI is set, clears it at its first
; instruction and reads SBUF before calling the hook: the byte is lost when
; the next one completes before both are done, and one of the program's
; interrupts may have held this one for most of a byte (80 cycles at
; 115200 baud). The saves are those of serial's, in the same order.
serial_rx:
        push    acc
        push    psw
        mov     a, r0
        push    acc
        mov     a, sbuf         ; read before the hook: the next byte may be near
        lcall   HOOK_STATE     ; R0: the state
rx:     cjne    a, #FRAME_START, rx_in
        mov     a, @r0          ; TXS
        jnz     sr_end          ; an answer goes out: its request's state is in use
        inc     r0
        inc     r0
        inc     r0              ; AH, AL, CNT: identify's answer, from id_table
        mov     @r0, #(id_table/256) ; (a request with an address sets its own)
        inc     r0              ; AL
        mov     @r0, #(id_table & 0FFh)
        inc     r0              ; CNT
        mov     @r0, #IDENTIFY_LENGTH
        inc     r0              ; RXS
        mov     @r0, #(rx_cmd-rx_steps)
        inc     r0              ; RSUM
        mov     @r0, a
        inc     r0              ; ESC
        mov     @r0, a
        sjmp    sr_end
rx_in:  xch     a, r0
        add     a, #O_ESC
        xch     a, r0           ; ESC
rx_not_start:
        cjne    a, #FRAME_ESCAPE, rx_plain
        mov     @r0, #1
        ljmp    rx_more         ; in a run of waiting bytes, the byte it escapes
rx_plain:
        cjne    @r0, #0, rx_escaped
rx_byte:                        ; A: the frame's byte, R0 at ESC
        dec     r0              ; RSUM
        xch     a, @r0
        add     a, @r0
        xch     a, @r0
        dec     r0              ; RXS (0: outside a frame, rx_idle)
        xch     a, @r0
        cjne    a, #(rx_wx-rx_steps), rx_step
        ljmp    rx_wx           ; (as fast as SJMP)
rx_step:
        add     a, #(rx_steps & 0FFh)
        push    acc
        clr     a
        addc    a, #(rx_steps/256)
        push    acc
        ret
rx_escaped:
        mov     @r0, #0
        cjne    a, #FRAME_ESCAPED_START, rx_esc_2
        mov     a, #FRAME_START
        sjmp    rx_byte
rx_esc_2:
        cjne    a, #FRAME_ESCAPED_ESCAPE, rx_esc_bad
        mov     a, #FRAME_ESCAPE
        sjmp    rx_byte
rx_esc_bad:                     ; DBh and then neither DCh nor DDh: dropped
        dec     r0
        dec     r0              ; RXS
        mov     @r0, #0
        sjmp    sr_end


; The serial interrupt: one received byte (RI, at serial_rx) or one sent
; byte (TI).
serial: jbc     ri, serial_rx
        push    acc
        push    psw
        mov     a, r0
        push    acc
        lcall   HOOK_STATE     ; R0: the state
        jbc     ti, tx
sr_end: pop     acc
        mov     r0, a
        pop     psw
        pop     acc             ; last: PSW's parity bit follows the program's A
        reti


tx_free:                        ; the program's character or an answer's end
        setb    tb8
        sjmp    sr_end

; A byte has gone out. R0 at TXS; read code is the answer's common step.
tx:     mov     a, @r0
        jz      tx_free
tx_steps:                       ; (never a step itself: 0 stands for none)
        cjne    a, #(tx_code-tx_steps), tx_step
; Answer data from code memory (read code, identify): R0 at TXS.
tx_code:
        push    dpl
        push    dph
        inc     r0
        inc     r0
        inc     r0              ; AH
        mov     dph, @r0
        inc     r0              ; AL
        mov     dpl, @r0
        clr     a
        movc    a, @a+dptr
        sjmp    tx_read
; Answer data from external RAM: R0 at TXS.
tx_xram:
        push    dpl
        push    dph
        inc     r0
        inc     r0
        inc     r0              ; AH
        mov     dph, @r0
        inc     r0              ; AL
        mov     dpl, @r0
        movx    a, @dptr
tx_read:                        ; the address one on, R0 at AL
        pop     dph
        pop     dpl
        inc     @r0
        cjne    @r0, #0, tx_count
        dec     r0
        inc     @r0             ; (FFFFh wraps to 0000h)
        inc     r0
; A: the next data byte, R0 at AL. One byte less to go; after the last, the sum.
tx_count:
        inc     r0              ; CNT
        dec     @r0
        cjne    @r0, #0, tc_more
        lcall   HOOK_STATE     ; TXS (as fast as five DEC R0)
        mov     @r0, #(tx_sum-tx_steps)
        inc     r0
        inc     r0              ; TSUM
        sjmp    tx_send
tc_more:
        dec     r0
        dec     r0
        dec     r0              ; TSUM
; Sends A as a byte of the frame, escaped, and adds it to the sum; R0 at TSUM.
tx_send:
        xch     a, @r0
        add     a, @r0
        xch     a, @r0
        cjne    a, #FRAME_START, ts_escape
        mov     a, #(tx_esc_start-tx_steps)
        sjmp    ts_split
ts_escape:
        cjne    a, #FRAME_ESCAPE, ts_plain
        mov     a, #(tx_esc_escape-tx_steps)
ts_split:                       ; DBh now; the second byte, then the step that was next
        dec     r0
        dec     r0              ; TXS
        xch     a, @r0
        inc     r0              ; TXE
        mov     @r0, a
        mov     a, #FRAME_ESCAPE
ts_plain:
        mov     sbuf, a
        sjmp    sr_end


; The second byte of an escape; then the step that was next. R0 at TXS.
tx_esc_start:
        mov     sbuf, #FRAME_ESCAPED_START
        sjmp    tx_resume
tx_esc_escape:
        mov     sbuf, #FRAME_ESCAPED_ESCAPE
tx_resume:
        inc     r0
        mov     a, @r0
        dec     r0
        mov     @r0, a
        sjmp    sr_end

tx_step:
        add     a, #(tx_steps & 0FFh)
        push    acc
        clr     a
        addc    a, #(tx_steps/256)
        push    acc
        ret

; The steps of an answer's head: C0h (not summed), CMD|80h, SEQ, LEN. R0 at TXS.
tx_start:
        mov     @r0, #(tx_cmd-tx_steps)
        inc     r0
        inc     r0              ; TSUM
        mov     @r0, #0
        mov     a, #FRAME_START
        sjmp    ts_plain
tx_cmd: mov     @r0, #(tx_seq-tx_steps)
        mov     a, r0
        add     a, #O_CMD
        mov     r0, a
        mov     a, @r0
        orl     a, #ANSWER_BIT
        sjmp    tx_head
tx_seq: mov     @r0, #(tx_len-tx_steps)
        mov     a, r0
        add     a, #O_SEQ
        mov     r0, a
        mov     a, @r0
tx_head:
        lcall   HOOK_STATE
        inc     r0
        inc     r0              ; TSUM
        sjmp    tx_send
; LEN: the count of data bytes (CNT), or 0 when the answer has none.
tx_len: mov     a, r0
        add     a, #O_LEN
        mov     r0, a
        mov     a, @r0          ; the data step; 0: an empty answer
        lcall   HOOK_STATE     ; TXS
        jnz     tl_data
        mov     a, #(tx_sum-tx_steps)
tl_data:
        mov     @r0, a
        inc     r0
        inc     r0
        inc     r0
        inc     r0
        inc     r0              ; CNT: 0 for an empty answer
        mov     a, @r0
        dec     r0
        dec     r0
        dec     r0              ; TSUM
        sjmp    tx_send
; The sum, the frame's last byte: from here on a new request may begin, and
; the line is free again once the sum has gone out. R0 at TXS.
tx_sum: mov     @r0, #0
        inc     r0
        inc     r0              ; TSUM
        mov     a, @r0
        cpl     a
        inc     a
        sjmp    tx_send

; Answer data from internal RAM, as the program sees it: R0 at TXS.
tx_iram:
        inc     r0
        inc     r0
        inc     r0
        inc     r0              ; AL
        mov     a, @r0
        inc     @r0
        push    acc
        lcall   iram_at
        pop     acc
        mov     a, @r0
        lcall   hook_al
        ljmp    tx_count
; Answer data of a read of SFRs: R0 at TXS.
tx_sfr: inc     r0
        inc     r0
        inc     r0
        inc     r0              ; AL
        lcall   sfr_read
        inc     @r0
        ljmp    tx_count
; The answer to a write of SFRs: the bits kept, one byte per SFR. R0 at TXS.
tx_mask:
        inc     r0
        inc     r0
        inc     r0              ; AH: the address of the mask
        mov     a, @r0
        inc     @r0
        lcall   sfr_mask
        inc     r0              ; AL
        ljmp    tx_count

; The end of a step that may end after the next byte came (above about
; 68,000 baud at 11.0592 MHz, or when an interrupt of the program held this
; one): a byte waiting is taken at once, in the same interrupt. Left for
; another interrupt, it could wait behind one of the program's at the same
; priority, which the 8051 serves first, until the byte after it came: the
; 8051 drops a byte that completes while RI is set, and the request is lost.
rx_more:
        jnb     ri, rx_end
        clr     ri
        mov     a, sbuf
        lcall   HOOK_STATE
        ljmp    rx

; Step 0, outside a frame: the byte is ignored.
rx_steps:
rx_idle:
        mov     @r0, #0
        sjmp    rx_end

; A data byte of a write of external RAM, written at once.
rx_wx:  mov     a, @r0
        mov     @r0, #(rx_wx-rx_steps)
        push    dpl
        push    dph
        dec     r0
        dec     r0
        dec     r0              ; AH
        mov     dph, @r0
        inc     r0              ; AL
        mov     dpl, @r0
        movx    @dptr, a
        pop     dph
        pop     dpl
        inc     @r0             ; the address one on
        cjne    @r0, #0, wx_next
        dec     r0
        inc     @r0
        inc     r0
wx_next:
        inc     r0              ; CNT
; One data byte less to come; after the last, the sum. R0 at CNT.
rx_counted:
        dec     @r0
        cjne    @r0, #0, rx_more
        inc     r0              ; RXS
        mov     @r0, #(rx_sum-rx_steps)
        sjmp    rx_end

; The steps of a request, R0 at RXS and the byte in its place: each first
; names the next step (0: the frame is dropped).
rx_cmd: mov     a, @r0
        mov     @r0, #(rx_seq-rx_steps)
        sjmp    rc_keep         ; three on: CMD
rx_seq: mov     a, @r0
        mov     @r0, #(rx_len-rx_steps)
        inc     r0
rc_keep:
        inc     r0
        inc     r0
        inc     r0              ; SEQ (CMD from rx_cmd)
        mov     @r0, a
        sjmp    rx_end
rx_ah:  mov     a, @r0
        mov     @r0, #(rx_al-rx_steps)
        dec     r0
        sjmp    ra_keep         ; three back: AH
rx_al:  mov     a, @r0
        mov     @r0, #(rx_third-rx_steps)
ra_keep:
        dec     r0
        dec     r0              ; AL (AH from rx_ah)
        mov     @r0, a
rx_end: ljmp    sr_end

; A data byte of a write of internal RAM, where the program sees the byte:
; never over the resident's own state or stack.
rx_wi:  mov     a, @r0
        mov     @r0, #(rx_wi-rx_steps)
        push    acc             ; the data byte
        dec     r0
        dec     r0              ; AL
        mov     a, @r0
        inc     @r0
        lcall   iram_at
        pop     acc
        jc      wi_skipped
        mov     @r0, a
wi_skipped:
        lcall   hook_al
        inc     r0              ; CNT
        ljmp    rx_slow_counted

; A data byte of a write of SFRs: it stays in RXS's place, where sfr_write
; takes it.
rx_ws:  dec     r0
        dec     r0              ; AL
        lcall   sfr_write
        lcall   hook_al
        inc     @r0
        inc     r0
        inc     r0              ; RXS
        mov     @r0, #(rx_ws-rx_steps)
        dec     r0              ; CNT
        ljmp    rx_slow_counted

; LEN must fit the command (cmd_lengths).
rx_len: mov     a, @r0
        mov     @r0, #0         ; dropped unless it fits
        inc     r0
        inc     r0
        inc     r0
        inc     r0
        inc     r0              ; LEN
        mov     @r0, a
        dec     r0
        dec     r0              ; CMD
        mov     a, @r0
        dec     a
        add     a, #(256-CMD_LAST)
        jc      rx_end          ; not 01h..CMD_LAST
        clr     a               ; cmd_lengths
        lcall   cmd_info
        inc     r0
        inc     r0              ; LEN
        jb      acc.7, rl_least
        xrl     a, @r0
        jnz     rx_end
        sjmp    rl_fits
rl_least:                       ; A: 256 - the least
        add     a, @r0          ; carry: LEN is the least or more
        jnc     rx_end
        inc     a
        mov     @r0, a          ; a write: n, its data bytes, in LEN's place
rl_fits:
        dec     r0
        dec     r0              ; CMD
        mov     a, #(cmd_next-cmd_lengths)
        lcall   cmd_info
        dec     r0
        dec     r0
        dec     r0              ; RXS
        mov     @r0, a
        ljmp    rx_more

; The last byte, SUM: with a good sum the answer is set up and started.
rx_sum: mov     @r0, #0         ; the frame ends
        inc     r0              ; RSUM
        cjne    @r0, #0, rs_end
        inc     r0
        inc     r0              ; CMD (identify: AH, AL and CNT set at C0h)
        cjne    @r0, #CMD_WRITE_SFR, rs_answer
        inc     r0
        inc     r0              ; n
        mov     a, @r0
        dec     r0
        dec     r0
        dec     r0
        dec     r0
        dec     r0
        dec     r0              ; CNT: one mask per SFR, from AH's copy of the first address
        mov     @r0, a
        inc     r0
        inc     r0
        inc     r0
        inc     r0              ; CMD
rs_answer:
        mov     a, #(cmd_answers-cmd_lengths)
        lcall   cmd_info        ; the answer's data step (0: none)
        inc     r0
        inc     r0
        mov     @r0, a          ; in LEN's place
        lcall   HOOK_STATE
        mov     @r0, #(tx_start-tx_steps)
        jbc     tb8, rs_kick    ; the line is free: the answer starts now
rs_end: ljmp    sr_end          ; else when the byte in the transmitter is out
rs_kick:
        ljmp    tx_start        ; R0 at TXS

; After the address: a read's count, or a write's ACHK.
rx_third:
        mov     a, @r0
        mov     @r0, #(rx_sum-rx_steps) ; a read: the sum next
        dec     r0              ; CNT
        mov     @r0, a          ; a read's count (a write's n replaces it)
        inc     r0
        inc     r0
        inc     r0
        inc     r0              ; CMD
        mov     a, #(cmd_writes-cmd_lengths)
        lcall   cmd_info        ; a write's data step, 0 for a read
        jz      rt_read
        dec     r0
        dec     r0              ; RSUM: with ACHK, 0 when the address is good
        cjne    @r0, #0, rt_drop_rsum
        dec     r0              ; RXS
        mov     @r0, a
        xch     a, r0
        add     a, #(O_LEN-O_RXS)
        xch     a, r0           ; n
        mov     a, @r0
        dec     r0
        dec     r0
        dec     r0
        dec     r0
        dec     r0
        dec     r0              ; CNT
        mov     @r0, a
        setb    f0              ; a write: its data byte may wait already
        sjmp    rt_count
rt_read:
        clr     f0              ; a read: its sum can wait
        dec     r0
        dec     r0
        dec     r0
        dec     r0              ; CNT
        mov     a, @r0
        jz      rt_drop_cnt     ; a count of 0: dropped
rt_count:                       ; A: the count, 1 and more; R0 at CNT
        xch     a, r0
        add     a, #(O_CMD-O_CNT)
        xch     a, r0           ; CMD
        cjne    @r0, #CMD_READ_SFR, rt_wsfr
        sjmp    rt_sfr
rt_wsfr:
        cjne    @r0, #CMD_WRITE_SFR, rt_end
rt_sfr:                         ; SFRs: from 80h on, the last at FFh at most
        xch     a, r0
        add     a, #(O_AL-O_CMD)
        xch     a, r0           ; AL
        dec     a
        add     a, @r0          ; carry: the last address past FFh
        jc      rt_drop_al
        mov     a, @r0
        jnb     acc.7, rt_drop_al
        dec     r0              ; AH: a copy of the first address, for the masks
        mov     @r0, a
        sjmp    rt_end
rt_drop_al:
        inc     r0
rt_drop_cnt:
        inc     r0
        sjmp    rt_drop
rt_drop_rsum:
        dec     r0              ; RXS
rt_drop:
        mov     @r0, #0
rt_end: jnb     f0, rt_out
        ljmp    rx_more
rt_out: ljmp    sr_end

; R0 at the state's AL; A kept.
hook_al:
        lcall   HOOK_STATE
        inc     r0
        inc     r0
        inc     r0
        inc     r0
        ret

; The commands' rules, one byte per command 01h..08h: cmd_info returns the
; entry of the table that A names (its offset from cmd_lengths) for the
; command at @R0, and keeps R0.
cmd_info:
        add     a, @r0
        movc    a, @a+pc        ; from the RET on: the entry of command 1 is 1 on
        ret
cmd_lengths:                    ; LEN: exactly (below 80h); 256 - the least for writes
        .db     LEN_IDENTIFY, LEN_READ_CODE, LEN_READ_XRAM, LEN_WRITE_XRAM
        .db     LEN_READ_IRAM, LEN_WRITE_IRAM, LEN_READ_SFR, LEN_WRITE_SFR
cmd_next:                       ; the step after LEN
        .db     (rx_sum-rx_steps), (rx_ah-rx_steps), (rx_ah-rx_steps), (rx_ah-rx_steps)
        .db     (rx_al-rx_steps), (rx_al-rx_steps), (rx_al-rx_steps), (rx_al-rx_steps)
cmd_writes:                     ; a write's data step; 0: a read
        .db     0, 0, 0, (rx_wx-rx_steps), 0, (rx_wi-rx_steps), 0, (rx_ws-rx_steps)
cmd_answers:                    ; the answer's data step; 0: an empty answer
        .db     (tx_code-tx_steps), (tx_code-tx_steps), (tx_xram-tx_steps), 0
        .db     (tx_iram-tx_steps), 0, (tx_sfr-tx_steps), (tx_mask-tx_steps)

; +6: sends A on the serial line for the program. Waits while the line is
; taken (an answer going out, or the program's previous character still in
; the transmitter), then puts the character in the transmitter and returns
; at once; its end frees the line in the interrupt. Changes no register and
; no flag, and never touches IE. With EA clear (no interrupt can free the
; line) it runs the serial interrupt's code itself when TI is set.
putchar:
        jbc     tb8, pc_send
        jb      ea, putchar
        jnb     ti, putchar
        lcall   serial          ; its RETI returns as RET at the main level
        sjmp    putchar
pc_send:
        mov     sbuf, a
        ret

; Where the byte of internal RAM at A is for the program: returns R0
; pointing at it, and C = 1 when a write must be skipped. Called with
; SP = SP0+6 (one byte pushed after the interrupt's three).
;  - The STATE_BYTES state bytes and SP0+1..SP0+STACK_BYTES are the resident's own: read
;    as they are, never written.
;  - The program's R0 (of its current bank) is the saved copy at SP0+5.
iram_at:
        push    acc
        lcall   HOOK_STATE
        clr     c
        subb    a, r0           ; A - the state's address
        add     a, #(256-STATE_BYTES) ; C = 0: one of the state bytes
        cpl     c
        pop     acc
        mov     r0, a
        jc      ia_end
        clr     c
        subb    a, sp           ; SP = SP0+8 here
        add     a, #7           ; A - SP0 - 1
        add     a, #(256-STACK_BYTES) ; C = 0: in the resident's stack
        cpl     c
        jc      ia_end
        mov     a, psw
        anl     a, #18h         ; the program's bank: its R0's address
        xrl     a, r0
        jnz     ia_end
        mov     a, sp
        add     a, #(256-3)     ; SP0+5
        mov     r0, a
        clr     c
ia_end: ret

; Runs the read table's entry for the SFR at @R0 (R0 at AL): A = the SFR as
; the program sees it, R0 still at AL. Entries are 3 bytes from sfr_reads,
; (address - 80h) * 3. The address has bit 7 set, which RL A turns into bit
; 0: RL A gives 2 * (address - 80h) + 1, and adding the address once more
; 3 * (address - 80h) + 81h.
sfr_read:
        mov     a, @r0
        rl      a
        add     a, @r0          ; 3 * (address - 80h) + 81h, carry: 256 and more
        mov     f0, c           ; (PSW is the interrupt's own: the program's comes back)
        add     a, #((sfr_reads-81h) & 0FFh)
        push    acc
        clr     a
        addc    a, #((sfr_reads-81h)/256)
        sjmp    sfr_go

; Runs the write table's entry for the SFR at @R0 (R0 at AL) with A = the
; data byte two places on (RXS), which the entry's MOV dir,A writes. R0 is
; lost.
sfr_write:
        mov     a, @r0
        rl      a
        add     a, @r0
        mov     f0, c
        inc     r0
        inc     r0              ; RXS: the data byte
        add     a, #((sfr_writes-81h) & 0FFh)
        push    acc
        clr     a
        addc    a, #((sfr_writes-81h)/256)
sfr_go: jnb     f0, sg_push
        inc     a
sg_push:
        push    acc
        mov     a, @r0          ; a write's data byte (a read's entry replaces it)
        ret

; The SFRs the resident borrows, reached from the tables at SP = SP0+7:
; ACC and PSW are the program's saved copies, SP reads as the program's.
rd_acc: mov     a, #(256-4)     ; SP0+3
        sjmp    rd_saved
rd_psw: mov     a, #(256-3)     ; SP0+4
rd_saved:
        add     a, sp
        mov     r0, a
        mov     a, @r0
        ljmp    hook_al
rd_sp:  mov     a, sp
        add     a, #(256-7)     ; SP0
        ret
wr_acc: mov     r0, a           ; the data byte
        mov     a, #(256-4)     ; SP0+3
        sjmp    wr_saved
wr_psw: mov     r0, a
        mov     a, #(256-3)     ; SP0+4
wr_saved:
        add     a, sp
        xch     a, r0
        mov     @r0, a
        ret

#!/usr/bin/env python3
"""The program stays live while tarlek-mon talks to the resident: the
liveness program (liveness.asm: a 1 kHz tick at the serial port's priority,
a counting main loop), merged with the resident, runs freely in s51, and
tarlek-mon watches 2 bytes without pause, then reads code in back-to-back
reads of 255 bytes. Measured through s51's console in its own cycles
(liveness.py), never through the resident and never in wall time.

--group 9600 (timer 1, 8051): during each load no tick is lost, the tick is
never late by more than 150 machine cycles, and the main loop keeps at least
90 % of its idle speed in every window of 32 ticks.
--group 115200 (timer 2, 8052): no tick is lost; the other figures are
reported.

Every file lives in a private temporary directory; s51 runs one at a time
(CTest's RESOURCE_LOCK s51). Exit status 0 when every check passes."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import liveness  # noqa: E402
from sim_support import check, held_addresses, read_file, run_groups  # noqa: E402

ARGS = None
LATE_MOST = 150         # machine cycles
MAIN_LEAST = 0.90       # of the idle speed
WATCH_TICKS = 2000


def live_under_load(baud, cpu, resident, span, goals):
    """The loads at baud on cpu; goals: check lateness and the main loop's
    speed too, not only that no tick is lost."""
    label = "%d baud (%s)" % (baud, cpu)
    work = tempfile.mkdtemp(prefix="live-%d-" % baud, dir=WORK)
    with liveness.running(work, open(resident, "rb").read(), cpu) as (program, image):
        base = liveness.client(ARGS.mon, program, baud)
        held = [a for a in held_addresses(read_file(os.path.join(work, "prog.sim.hex")))
                if a < int(span, 16)]
        idle = liveness.quiet(program)
        print("  " + idle.line())
        check(idle.lost == 0 and idle.missed == 0 and idle.late <= LATE_MOST,
              "%s: on a quiet line every tick comes, late by %d cycles at most" %
              (label, idle.late))
        loads = [
            ("a continuous watch of 2 bytes",
             base + ["--json", "watch", "--interval", "0", "iram", "30", "2"], WATCH_TICKS,
             lambda status, out: status == 0 and len(set(out.split(b"\n"))) > 2),
            ("back-to-back reads of 255 bytes of code",
             base + ["read", "code", "0", span, "--raw"], None,
             lambda status, out: status == 0 and len(out) == int(span, 16) and
             all(out[a] == image[a] for a in held)),
        ]
        for name, command, until, client_ok in loads:
            phase, (status, out, err) = liveness.loaded(program, name, command, work, idle, until)
            print("  " + phase.line())
            check(client_ok(status, out), "%s: %s: tarlek-mon's answers are right (status %d %s)" %
                  (label, name, status, err.strip()))
            check(phase.lost == 0 and phase.missed == 0 and phase.ticks > 0,
                  "%s: %s: no tick lost (%d due, %d taken)" % (label, name, phase.due, phase.ticks))
            if goals:
                check(phase.late <= LATE_MOST, "%s: %s: the tick late by %d cycles at most (%d)" %
                      (label, name, phase.late, LATE_MOST))
                check(phase.worst_window >= MAIN_LEAST,
                      "%s: %s: the main loop keeps %.1f %% of its idle speed in every window "
                      "(at least %d %%)" % (label, name, 100 * phase.worst_window,
                                             100 * MAIN_LEAST))


def test_9600():
    live_under_load(9600, "8051", ARGS.resident, "FF0", goals=True)


def test_115200():
    live_under_load(115200, "8052", ARGS.resident_8052, "3FC0", goals=False)


GROUPS = {"9600": test_9600, "115200": test_115200}
WORK = None


def start(args, work):
    global ARGS, WORK
    ARGS, WORK = args, work


def main():
    return run_groups(GROUPS, ("tarlek", "mon", "resident", "resident-8052", "include", "as31",
                                "s51"), "tarlek-live-", start)


if __name__ == "__main__":
    sys.exit(main())

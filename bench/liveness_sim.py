#!/usr/bin/env python3
"""How live the program stays while tarlek-mon talks to the resident: the
liveness program (tests/sim/liveness.asm: a 1 kHz tick at the serial port's
priority, a counting main loop) in s51, its figures read through s51's
console (tests/sim/liveness.py), in s51's own cycles. Takes the s51 lock.

    python3 bench/liveness_sim.py BUILD_DIR [--no-dump] [--include Tarlek.inc]

For each build of the resident (9600 baud from timer 1 on an 8051, 115200
baud from timer 2 on an 8052) and each load: a continuous watch of 2 bytes
(3000 ticks), back-to-back reads of 255 bytes of code (one tarlek-mon read of
3FC0h bytes: 64 reads; all 64 KB at 115200, where that is short), a full
64 KB dump. Figures only: nothing passes or fails here."""

import argparse
import fcntl
import os
import sys
import tempfile
from types import SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "sim"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--no-dump", action="store_true")
    parser.add_argument("--include", default=os.path.join(ROOT, "resident", "Tarlek.inc"),
                        help="the hooks the program is assembled with")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    # The tests' host side needs the resident's facts the build generated.
    sys.path.insert(0, os.path.join(build, "generated", "python"))
    import liveness
    import sim_support
    sim_support.TOOLS = SimpleNamespace(
        tarlek=os.path.join(build, "tarlek"), include=os.path.abspath(args.include),
        as31="as31", s51="s51")
    mon = os.path.join(build, "tarlek-mon")
    runs = ((9600, "8051", os.path.join(build, "resident", "tarlek.bin"), "3FC0"),
            (115200, "8052", os.path.join(build, "resident", "tarlek_8052_115200.bin"), "FFFF"))
    with open("/tmp/tarlek-s51.lock", "w") as lock, tempfile.TemporaryDirectory() as work:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for baud, cpu, resident, span in runs:
            with liveness.running(work, open(resident, "rb").read(), cpu) as (program, image):
                base = liveness.client(mon, program, baud)
                held = sim_support.held_addresses(sim_support.read_file(
                    os.path.join(work, "prog.sim.hex")))
                idle = liveness.quiet(program, "  quiet line")
                print("%d baud (%s)" % (baud, cpu))
                print(idle.line(), flush=True)
                loads = [
                    ("watch 2 bytes", base + ["--json", "watch", "--interval", "0", "iram", "30",
                                              "2"], 3000, None),
                    ("255-byte reads", base + ["read", "code", "0", span, "--raw"], None,
                     lambda out: [a for a in held if a < len(out) and out[a] != image[a]]),
                ]
                if not args.no_dump:
                    path = os.path.join(work, "all.bin")
                    loads.append(("64 KB dump", base + ["dump", path], None,
                                  lambda out: [a for a in held
                                               if open(path, "rb").read()[a] != image[a]]))
                for name, command, until, wrong in loads:
                    phase, (status, out, err) = liveness.loaded(program, "  " + name, command,
                                                                work, idle, until)
                    note = "client status %d" % status
                    if wrong is not None and status == 0:
                        note += ", bytes as merged" if not wrong(out) else ", BYTES DIFFER"
                    print(phase.line() + "; " + note + (" " + err.strip() if status else ""),
                          flush=True)


if __name__ == "__main__":
    main()

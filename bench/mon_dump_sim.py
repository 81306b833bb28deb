#!/usr/bin/env python3
"""A full 64 KB code dump by tarlek-mon from the demo running in s51: payload
bytes over all bytes on the line, and the dump's time against the line limit
65536 x 10 / baud. Runs at 9600 baud (8051, timer 1) and 115200 baud (8052,
timer 2) with the residents of a build directory; takes the s51 lock.

    python3 bench/mon_dump_sim.py BUILD_DIR

s51 paces its serial line in simulated time and runs somewhat faster than
real time, so its times can come out below the line limit; the paced fake
resident (tarlek_mon_bench) gives the real-time figure."""

import fcntl
import json
import os
import subprocess
import sys
import tempfile
from types import SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "sim"))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    # The tests' host side needs the resident's facts the build generated.
    sys.path.insert(0, os.path.join(build, "generated", "python"))
    import sim_support
    sim_support.TOOLS = SimpleNamespace(
        tarlek=os.path.join(build, "tarlek"), include=os.path.join(ROOT, "resident", "Tarlek.inc"),
        as31="as31", s51="s51")
    runs = ((9600, "8051", os.path.join(build, "resident", "tarlek.bin")),
            (115200, "8052", os.path.join(build, "resident", "tarlek_8052_115200.bin")))
    with open("/tmp/tarlek-s51.lock", "w") as lock, tempfile.TemporaryDirectory() as work:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for baud, cpu, resident in runs:
            program, _ = sim_support.merge(work, os.path.join(ROOT, "examples", "demo.asm"), 0x80,
                                        "hex", open(resident, "rb").read())
            with sim_support.session(work, program, cpu) as sim:
                result = subprocess.run(
                    [os.path.join(build, "tarlek-mon"), "--port", "fifo:%s,%s" % (sim.rx, sim.tx),
                     "--baud", str(baud), "--quiet", "--json", "dump",
                     os.path.join(work, "all.bin")], capture_output=True, timeout=600)
            if result.returncode != 0:
                print("%d baud: %s" % (baud, result.stderr.decode().strip()))
                continue
            summary = json.loads(result.stdout)
            limit = 65536 * 10 / baud
            print("%6d baud (%s): %d line bytes, %.1f %% payload; %.2f s, line limit %.2f s "
                  "(%+.1f %%), %d retries" % (
                      baud, cpu, summary["line_bytes"], 100 * 65536 / summary["line_bytes"],
                      summary["seconds"], limit, 100 * (summary["seconds"] / limit - 1),
                      summary["retries"]))


if __name__ == "__main__":
    main()

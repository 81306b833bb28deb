#!/usr/bin/env python3
"""watch's samples per second against the real resident in s51, measured in
s51's own time: examples/demo_c.c (small model, --debug) merged with the
resident of a build directory and run freely in s51; `tarlek-mon -m
demo_c.cdb --json watch --interval 0` of 1, 4 and 8 of its variables at
9600 baud (8051, timer 1) and 115200 baud (8052, timer 2). Takes the s51
lock.

    python3 bench/mon_watch_sim.py BUILD_DIR [--seconds S] [--resident-9600 BIN]
                                   [--resident-115200 BIN] [--strace DIR] [--split]

Each case runs in an s51 of its own. While the client runs, s51's console is
read twice (its `state`: the clock count since reset); s51 takes console
commands only at instants of its own time (about every 1.46 simulated
seconds) and its answer shows at once, so each reading pairs a clock count
with a wall time. The rate is the samples the client stamped between the two
wall times over s51's seconds between the readings (clock count / crystal),
so a simulator slower or faster than real time does not change it. The
line's limit is baud / 10 / (line bytes of one sample), from the bytes
tarlek-mon reports it sent and received. s51's own speed against the wall
clock is shown too.

--split: single reads of 1 and 64 bytes in internal and external RAM
instead, to tell the cost of a request from the cost of a byte.

--strace DIR: keeps `strace -tt` of tarlek-mon (one file a case) in DIR."""

import argparse
import fcntl
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from types import SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "sim"))
sim_support = None  # imported by main, once the build directory is known

PAGE = 0x20
# Side by side in internal RAM, then external RAM, as the names come.
NAMES = {
    1: ["ticks"],
    4: ["ticks", "loops", "last.count", "xmarker"],
    8: ["ticks", "loops", "scaled", "gain", "last.count", "last.level", "xmarker",
        "history[1]"],
}
CLOCKS = re.compile(r"^Total time since last reset=.*\((\d+) clks\)")


def build_demo(work, resident):
    """demo_c.c compiled with --debug and merged with resident: the merged
    HEX file's path (demo_c.cdb beside it)."""
    with open(os.path.join(ROOT, "examples", "demo_c.c")) as f:
        source = f.read()
    with open(os.path.join(work, "demo_c.c"), "w") as f:
        f.write(source)
    subprocess.run(["sdcc", "-mmcs51", "--debug", "-DTARLEK_PAGE=0x%02X" % PAGE, "--code-loc",
                    "0x0030", "--code-size", "0x%04X" % (PAGE << 8), "--iram-size", "128",
                    "--stack-size", "38", "-I" + os.path.join(ROOT, "resident"), "demo_c.c"],
                   cwd=work, check=True, capture_output=True, timeout=300)
    with open(os.path.join(work, "demo_c.hex"), "wb") as out:
        subprocess.run(["packihx", "demo_c.ihx"], cwd=work, stdout=out, stderr=subprocess.DEVNULL,
                       check=True, timeout=60)
    with open(resident, "rb") as f:
        status, text = sim_support.merge_file(work, "demo_c.hex", f.read())
    if status != 0:
        raise RuntimeError("tarlek: " + text)
    return os.path.join(work, "demo_c.hex")


def reading(sim):
    """s51's clock count at its next look at the console, and the wall time
    (time.time()) when its answer showed: s51 takes console commands at
    instants of its own time (about every 1.46 simulated seconds), and the
    answer shows at once, so the pair is close."""
    for line in sim.console(["state"]):
        match = CLOCKS.search(line)
        if match:
            return int(match.group(1)), time.time()
    raise RuntimeError("s51's state showed no clock count")


def measure(args, work, program, cpu, baud, names, seconds):
    """One case in an s51 of its own (s51 stops reading its input FIFO once
    a client closed it): (samples/s in s51's time, line bytes a sample,
    requests, s51's speed against the wall clock)."""
    with sim_support.session(work, program, cpu, attach=False) as sim:
        cmd = [os.path.join(args.build, "tarlek-mon"), "--port",
               "fifo:%s,%s" % (sim.rx, sim.tx), "--baud", str(baud), "-m",
               os.path.join(work, "demo_c.cdb"), "--json", "watch", "--interval", "0",
               "--seconds", str(seconds + 6.0)] + names
        if args.strace:
            trace = os.path.join(args.strace, "watch_%d_%d.trace" % (baud, len(names)))
            cmd = ["strace", "-tt", "-o", trace] + cmd
        client = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(client.stdout))
        reader.start()
        time.sleep(1.0)  # the client's start and identify
        first = reading(sim)
        time.sleep(seconds)
        last = reading(sim)
        _, err = client.communicate(timeout=60)
        reader.join()
    err = err.decode(errors="replace")
    if client.returncode != 0:
        raise RuntimeError("tarlek-mon: " + err.strip())
    match = re.search(r"(\d+) requests? and ([\d.]+) line bytes a sample", err)
    if match is None:
        raise RuntimeError("tarlek-mon told no line bytes: " + err.strip())
    requests, line_bytes = int(match.group(1)), float(match.group(2))
    times = [json.loads(line)["time"] for line in lines if line.strip()]
    taken = sum(1 for t in times if first[1] <= t < last[1])
    sim_seconds = (last[0] - first[0]) / sim_support.CLOCK_HZ
    return taken / sim_seconds, line_bytes, requests, sim_seconds / (last[1] - first[1])


def split(args, work, program, cpu, baud):
    """One read of 1 and of 64 bytes a sample, in internal and external RAM:
    the machine cycles of a sample against those of its bytes on the line
    (crystal / 12 / baud x 10 machine cycles a byte). What is beyond the
    line: for a request, the host's turn and the resident's start and end;
    for each further byte, the resident's work between two bytes it sends."""
    per_byte = sim_support.CLOCK_HZ / 12.0 / baud * 10
    for space, name in (("iram", "ticks"), ("xram", "last")):
        for count in (1, 64):
            rate, line, _, speed = measure(args, work, program, cpu, baud,
                                           ["%s:%X" % (name, count)], args.seconds)  # COUNT: hex
            cycles = sim_support.CLOCK_HZ / 12.0 / rate
            print("%-7d %-6s %-6d %-7.1f %-14.0f %-14.0f %-9.0f %.2fx" % (
                baud, space, count, line, cycles, line * per_byte, cycles - line * per_byte,
                speed), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--resident-9600")
    parser.add_argument("--resident-115200")
    parser.add_argument("--strace")
    parser.add_argument("--split", action="store_true",
                        help="single reads of 1 and 64 bytes instead: machine cycles a request "
                        "and a byte take beyond the line's own")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    # The tests' host side needs the resident's facts the build generated.
    global sim_support
    sys.path.insert(0, os.path.join(args.build, "generated", "python"))
    import sim_support
    sim_support.TOOLS = SimpleNamespace(tarlek=os.path.join(args.build, "tarlek"), s51="s51")
    runs = ((9600, "8051", args.resident_9600 or
             os.path.join(args.build, "resident", "tarlek.bin")),
            (115200, "8052", args.resident_115200 or
             os.path.join(args.build, "resident", "tarlek_8052_115200.bin")))
    if args.split:
        print("%-7s %-6s %-6s %-7s %-14s %-14s %-9s %s" % (
            "baud", "space", "bytes", "line B", "cycles/sample", "line cycles", "beyond",
            "s51 speed"), flush=True)
    else:
        print("%-7s %-5s %-9s %-7s %-10s %-9s %-9s %s" % (
            "baud", "names", "requests", "line B", "samples/s", "limit/s", "of limit",
            "s51 speed"), flush=True)
    with open("/tmp/tarlek-s51.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for baud, cpu, resident in runs:
            with tempfile.TemporaryDirectory() as work:
                program = build_demo(work, resident)
                if args.split:
                    split(args, work, program, cpu, baud)
                    continue
                for count in (1, 4, 8):
                    rate, line, requests, speed = measure(args, work, program, cpu, baud,
                                                          NAMES[count], args.seconds)
                    limit = baud / 10.0 / line
                    print("%-7d %-5d %-9d %-7.1f %-10.1f %-9.1f %-9s %.2fx" % (
                        baud, count, requests, line, rate, limit,
                        "%.1f %%" % (100 * rate / limit), speed), flush=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""tarlek-mon by name and type: examples/demo_c.c compiled with --debug in
the small and the large memory model, merged by tarlek, running freely in
s51, and tarlek-mon given the demo_c.cdb SDCC wrote. read, write and watch
of the demo's typed variables (a struct with an int and a float, an array,
a byte the host writes, a bit) are checked against the relations the program
keeps itself: negated = -count, level = count / 4, history[count % 4] =
count, scaled = count * gain, odd = count & 1.

The program updates its sample between the resident's answers, so a read may
fall between two of its steps: a relation is checked as holding for the last
count or the one before.

Every file lives in a private temporary directory. Exit status 0 when every
check passes."""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_support import (  # noqa: E402
    Host, check, merge_file, read_file, report, run, session, tool_args)

ARGS = None
PAGE = 0x20


class Client:
    """tarlek-mon on the session's FIFOs, with the program's .cdb."""

    def __init__(self, work, sim):
        self.work = work
        self.port = "fifo:%s,%s" % (sim.rx, sim.tx)

    def __call__(self, *args):
        result = run([ARGS.mon, "--port", self.port, "--slack", "5", "-m",
                      os.path.join(self.work, "demo_c.cdb")] + list(args), self.work)
        return result.returncode, result.stdout.decode("latin-1"), \
            result.stderr.decode("latin-1")

    def json(self, *args):
        status, out, err = self("--json", *args)
        if not check(status == 0, "tarlek-mon %s: %s" % (" ".join(args), err.strip())):
            return None
        return [json.loads(line) for line in out.splitlines() if line.strip()]


def build(work, model):
    """demo_c.c with --debug: the directory holding demo_c.hex (merged) and
    demo_c.cdb, or None."""
    where = os.path.join(work, model)
    os.makedirs(where)
    with open(os.path.join(ARGS.examples, "demo_c.c")) as f:
        source = f.read()
    with open(os.path.join(where, "demo_c.c"), "w") as f:
        f.write(source)
    cmd = [ARGS.sdcc, "-mmcs51", "--debug", "-DTARLEK_PAGE=0x%02X" % PAGE, "--code-loc",
           "0x0030", "--code-size", "0x%04X" % (PAGE << 8), "--iram-size", "128",
           "--stack-size", "38" if model == "small" else "48", "-I" + ARGS.hooks, "demo_c.c"]
    if model != "small":
        cmd.insert(2, "--model-" + model)
    result = run(cmd, where, combined=True)
    if not check(result.returncode == 0, "%s model: sdcc --debug: %s" % (model, result.stdout)):
        return None
    with open(os.path.join(where, "demo_c.hex"), "wb") as out:
        subprocess.run([ARGS.packihx, "demo_c.ihx"], cwd=where, stdout=out,
                       stderr=subprocess.DEVNULL, check=True, timeout=120)
    status, text = merge_file(where, "demo_c.hex", read_file(ARGS.resident, "rb"))
    if not check(status == 0, "%s model: merges: %s" % (model, text)):
        return None
    return where


def consistent(sample, newest=None):
    """Whether a sample of last fits the program's relations for its count
    (or the count before, for a read between two steps). The resident sends
    an answer byte by byte while the program runs on, so the members read
    after count may belong to a later count, up to newest (the next
    sample's count), when one is given."""
    last = sample["last"]
    count = last["count"]
    counts = {(count + k) & 0xFFFF for k in range(-1, 1 + max(0, (newest or count) - count))}
    if (-last["negated"] & 0xFFFF in counts and round(last["level"] * 4) in counts):
        return True
    # A value's own bytes go out one by one as well: one that changes in
    # more than its low byte while it is read (count or negated across a
    # multiple of 256, level across a power of two) may come back torn. Only
    # then may the members disagree.
    return any(c % 256 == 0 or (c >= 4 and c & (c - 1) == 0) for c in counts)


def untorn(value, step, low, high):
    """value, or the value it was read from when its two bytes were read
    across a carry: the low byte goes out before the program carries into
    the high byte (255 -> 256 read as 511), so the reading is 256 too high
    and its low byte one of the last step values below the carry. Such a
    reading is mended only when the value it stands for lies in low..high."""
    if low <= value <= high or (value & 0xFF) < 256 - step:
        return value
    return value - 256 if low <= value - 256 <= high else value


def mend_torn_counts(samples):
    """last.count in every sample, mended where it was read torn: it must
    lie between its neighbours' counts (none for the first and the last)."""
    counts = [s["last"]["count"] for s in samples]
    for k, s in enumerate(samples):
        low = counts[k - 1] if k > 0 else 0
        high = counts[k + 1] if k + 1 < len(counts) else 0xFFFF
        s["last"]["count"] = untorn(counts[k], 1, low, high)


def untorn_scaled(scaled, gain):
    """scaled (a multiple of gain), mended where it was read torn."""
    return scaled if scaled % gain == 0 else untorn(scaled, gain, 0, scaled - 256)


def follows(samples, relation):
    """Whether relation(sample) gives, for every sample but the first and the
    last, a count between the previous and the next sample's counts: the
    program runs on while a sample's requests are answered, so a variable
    read in another request of the sample may be a little older or newer
    than last.count."""
    counts = [s["last"]["count"] for s in samples]
    return all(counts[k - 1] <= relation(samples[k]) <= counts[k + 1]
               for k in range(1, len(samples) - 1))


def test_model(work, model):
    where = build(work, model)
    if where is None:
        return
    label = "%s model" % model
    with session(where, "demo_c.hex") as sim:
        check(Host(sim).wait_text(rb"Hello from C"), "%s: the demo runs" % label)
        mon = Client(where, sim)

        # read: a struct as its members, an element, a float.
        got = mon.json("read", "last")
        if got:
            check(set(got[0]["value"]) == {"count", "negated", "level"} and
                  got[0]["type"] == "struct sample" and
                  # The answer's bytes go out one by one while the demo
                  # counts (once per 256 passes of its loop, a few times
                  # during an 8-byte answer at 9600 baud): level and negated
                  # may be a few counts newer than count.
                  consistent({"last": got[0]["value"]}, got[0]["value"]["count"] + 8),
                  "%s: read last: %s" % (label, got[0]))
        status, out, err = mon("read", "last.level")
        check(status == 0 and re.fullmatch(r"last\.level = [0-9.e+]+\n", out) is not None,
              "%s: read last.level as a float: %r %s" % (label, out, err))
        got = mon.json("read", "history")
        if got:
            history = got[0]["value"]
            check(len(history) == 4 and all(h % 4 == i for i, h in enumerate(history) if h),
                  "%s: read history: history[i] %% 4 == i: %s" % (label, history))

        # write: the value read back; the program follows the new gain.
        status, out, err = mon("write", "gain", "5")
        check(status == 0 and out == "wrote gain = 5, read back the same\n",
              "%s: write gain 5: %r %s" % (label, out, err))

        # watch: every sample consistent, the count moving, the bit odd
        # following it, scaled following count * gain.
        samples = mon.json("watch", "--interval", "0.2", "--seconds", "3",
                           "last", "history[1]", "odd", "scaled", "gain")
        if samples:
            mend_torn_counts([s["values"] for s in samples])
            counts = [s["values"]["last"]["count"] for s in samples]
            check(len(samples) >= 5 and len(set(counts)) >= 3,
                  "%s: watch: the count moves: %s" % (label, counts))
            check(all(consistent(s["values"], n["values"]["last"]["count"])
                      for s, n in zip(samples, samples[1:])),
                  "%s: watch: negated and level follow count in every sample, up to the "
                  "next sample's count" % label)
            check(all(s["values"]["gain"] == 5 for s in samples),
                  "%s: watch: gain stays as written" % label)
            values = [s["values"] for s in samples]
            check(all(untorn_scaled(v["scaled"], 5) % 5 == 0 for v in values[1:]) and
                  follows(values, lambda v: untorn_scaled(v["scaled"], 5) // 5),
                  "%s: watch: scaled = count * 5 once the host wrote gain: %s" %
                  (label, [(s["values"]["last"]["count"], s["values"]["scaled"])
                           for s in samples]))
            # The bit lies in another space than the struct, so it comes in
            # another request, after the count has moved on by some steps:
            # it must move with the count and stay a bit.
            check({s["values"]["odd"] for s in samples} == {0, 1},
                  "%s: watch: the bit odd follows count: %s" %
                  (label, [(s["values"]["last"]["count"], s["values"]["odd"]) for s in samples]))
            check(all(s["values"]["history[1]"] % 4 == 1 for s in samples
                      if s["values"]["history[1]"]),
                  "%s: watch: history[1] holds counts of 1 modulo 4" % label)
            times = [s["time"] for s in samples]
            check(times == sorted(times), "%s: watch: sample times ascend" % label)


def main():
    global ARGS
    ARGS = tool_args(argparse.ArgumentParser(), ("tarlek", "mon", "resident", "hooks",
                                                 "examples", "sdcc", "packihx", "s51"))
    with tempfile.TemporaryDirectory(prefix="tarlek-typed-sim-") as work:
        for model in ("small", "large"):
            test_model(work, model)
    return report()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""tarlek-mon end to end: the demo, merged with the resident by tarlek at two
pages, runs freely in the s51 simulator with its serial port on two FIFOs,
and the real client talks to it through --port fifo:RX,TX: identify, reads of
every space, writes read back, watch seeing the demo's counter move, the
program's text while reads go on, a dump equal to the merged file, verify
passing and failing on a changed byte.

Every file lives in a private temporary directory. Exit status 0 when every
check passes, 77 (skipped) when the resident answers the old protocol 1."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from s51_session import S51Session  # noqa: E402

SKIP = 77
ARGS = None
FAILURES = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)
    return condition


def run(cmd, cwd, timeout=120):
    return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)


def merged_demo(work, page):
    """The demo assembled for page and merged with the resident: the HEX
    file's path and its bytes by address."""
    source = open(ARGS.demo).read()
    source, count = re.subn(r"(\.equ\s+TARLEK_PAGE,\s*)\w+", r"\g<1>0%02Xh" % page, source)
    assert count == 1, "the demo defines TARLEK_PAGE once"
    with open(os.path.join(work, "demo.asm"), "w") as f:
        f.write(source)
    shutil.copy(ARGS.include, os.path.join(work, "Tarlek.inc"))
    shutil.copy(ARGS.resident, os.path.join(work, "tarlek.bin"))
    result = run([ARGS.as31, "-Odemo.hex", "demo.asm"], work)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    result = run([ARGS.tarlek, "demo.hex"], work)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    return os.path.join(work, "demo.hex"), read_hex(os.path.join(work, "demo.hex"))


def read_hex(path):
    memory = {}
    for line in open(path):
        line = line.strip()
        if not line.startswith(":"):
            continue
        record = bytes.fromhex(line[1:])
        if record[3] == 0:
            address = (record[1] << 8) | record[2]
            for i, b in enumerate(record[4:4 + record[0]]):
                memory[address + i] = b
    return memory


class Client:
    def __init__(self, work, sim):
        self.work = work
        self.port = "fifo:%s,%s" % (sim.rx, sim.tx)

    def __call__(self, *args, timeout=120):
        result = run([ARGS.mon, "--port", self.port] + list(args), self.work, timeout)
        return result.returncode, result.stdout.decode(errors="replace"), \
            result.stderr.decode("latin-1")

    def json(self, *args):
        status, out, err = self("--json", *args)
        assert status == 0, "tarlek-mon %s: %d %s" % (" ".join(args), status, err)
        return json.loads(out)


def speaks_protocol_1(sim):
    """Whether the resident answers the old identify command, I."""
    sim.drain(quiet=0.2)
    sim.send(b"I")
    answer = sim.receive(32, timeout=2.0)
    return answer.startswith(b"Tarlek 1.")


def test_page(work, page):
    hex_path, image = merged_demo(work, page)
    sim_dir = os.path.join(work, "sim")
    os.makedirs(sim_dir, exist_ok=True)
    # The session holds both FIFOs open without reading them: s51 stops when
    # the last writer of its input goes, and every client run closes its own.
    with S51Session(sim_dir, hex_path, s51=ARGS.s51, attach=True) as sim:
        mon = Client(work, sim)
        status, out, err = mon("--json", "identify")
        if status != 0:
            if "no answer" in err and speaks_protocol_1(sim):
                return "skip"
            check(False, "page %02Xh: identify: %s" % (page, err.strip()))
            return "failed"
        info = json.loads(out)
        check(info["protocol"] == 2 and info["page"] == page,
              "page %02Xh: identify names protocol 2 and the page: %s" % (page, out.strip()))
        run_checks(mon, page, image, work)
        check(sim.running(), "page %02Xh: the simulator still runs" % page)
    return "done"


def run_checks(mon, page, image, work):
    start = page << 8
    # Code: the resident's first bytes, as merged.
    got = mon.json("read", "code", "%04Xh" % start, "20")
    expected = [image.get(start + i, 0) for i in range(0x20)]
    check(got["bytes"] == expected, "page %02Xh: read code at the resident" % page)
    # The demo's marker in internal RAM, and its registers.
    got = mon.json("read", "iram", "40", "1")
    check(got["bytes"] == [0x5A], "page %02Xh: read iram 40h is the demo's marker" % page)
    # Writes, read back, in each writable space.
    for space, address, data in (("iram", "70", ["12", "34", "A5"]),
                                 ("xram", "0100h", ["01", "02", "03", "04"]),
                                 ("sfr", "0B0h", ["5A"])):
        status, out, err = mon("write", space, address, *data)
        check(status == 0 and "read back the same" in out,
              "page %02Xh: write %s %s: %s%s" % (page, space, address, out.strip(), err.strip()))
        got = mon.json("read", space, address, "%X" % len(data))
        check(got["bytes"] == [int(b, 16) for b in data],
              "page %02Xh: read %s %s after the write" % (page, space, address))
    # The demo's counter moves while it is watched.
    status, out, err = mon("--json", "watch", "--interval", "0.2", "--seconds", "1.5",
                           "iram", "41", "1")
    values = [json.loads(line)["bytes"][0] for line in out.splitlines() if line.strip()]
    check(status == 0 and len(set(values)) >= 2,
          "page %02Xh: watch sees the counter move: %s" % (page, values))
    # Verify: the merged file matches; one changed byte is named.
    hex_path = os.path.join(work, "demo.hex")
    status, out, err = mon("verify", hex_path)
    check(status == 0, "page %02Xh: verify passes on the merged file: %s" % (page, out + err))
    changed_at = start + 5
    changed = dict(image)
    changed[changed_at] ^= 0xFF
    bad_path = os.path.join(work, "changed.hex")
    write_hex(bad_path, changed)
    status, out, err = mon("verify", bad_path)
    check(status == 3 and ("differs at %04Xh:" % changed_at) in out,
          "page %02Xh: verify fails naming %04Xh: %s" % (page, changed_at, out.strip()))


def write_hex(path, memory):
    lines = []
    for address in sorted(memory):
        record = bytes([1, address >> 8, address & 0xFF, 0, memory[address]])
        lines.append(":" + record.hex().upper() + "%02X" % (-sum(record) & 0xFF))
    with open(path, "w") as f:
        f.write("\n".join(lines + [":00000001FF"]) + "\n")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("tarlek", "mon", "resident", "resident-8052", "include", "demo", "as31", "s51"):
        parser.add_argument("--" + name, required=True)
    ARGS = parser.parse_args()
    outcome = None
    for page in (0x80, 0xA0):
        with tempfile.TemporaryDirectory(prefix="tarlek-mon-sim-") as work:
            outcome = test_page(work, page)
        if outcome == "skip":
            print("skipped: the resident answers protocol 1; these checks need protocol 2")
            return SKIP
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

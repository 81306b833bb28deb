#!/usr/bin/env python3
"""tarlek-mon end to end: the demo, merged with the resident by tarlek, runs
freely in the s51 simulator with its serial port on two FIFOs, and the real
client talks to it through --port fifo:RX,TX. At two pages: identify, reads of
every space, writes read back, watch seeing the demo's counter move, the
program's text whole and in order in console and around the answers of a
long read, verify passing on the merged file and failing on a changed byte,
naming it. Through tarlek-sim: clients one after another, a second one at
the same time told the port is busy, the clean-up after Ctrl-C and after s51
ends, and on an 8052 at 115200 baud (timer 2, which tarlek-sim finds in the
resident) writes of many bytes of internal RAM and SFRs, which tarlek-mon
paces for the resident, and a dump of all 64 KB of code equal to the merged
file.

Every file lives in a private temporary directory. Exit status 0 when every
check passes."""

import argparse
import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_support import (  # noqa: E402
    Host, check, hex_bytes, hex_lines, held_addresses, merge, read_file, report, run, session,
    tool_args)

ARGS = None


class Client:
    """tarlek-mon on the session's FIFOs. The session itself keeps both FIFOs
    open, unread, so that s51 never sees its line closed between two runs."""

    def __init__(self, work, sim, baud):
        self.work = work
        self.port = sim.port if isinstance(sim, TarlekSim) else "fifo:%s,%s" % (sim.rx, sim.tx)
        self.baud = str(baud)

    def __call__(self, *args):
        # s51 runs slower than real time on a loaded machine: generous slack.
        result = run([ARGS.mon, "--port", self.port, "--baud", self.baud, "--slack", "5"] +
                     list(args),
                              self.work)
        return result.returncode, result.stdout.decode("latin-1"), \
            result.stderr.decode("latin-1")

    def json(self, *args):
        status, out, err = self("--json", *args)
        if status != 0:
            check(False, "tarlek-mon %s: status %d: %s" % (" ".join(args), status, err.strip()))
            return {"bytes": None}
        return json.loads(out)


def demo_lines_in_order(text):
    """Whether text holds at least two of the demo's lines, each whole and
    numbered one after the other (the first and last may be cut)."""
    lines = [line for line in text.split("\r\n") if line.startswith("Tarlek demo ")]
    whole = [line for line in lines if len(line) == 14]
    if len(whole) < 2:
        return False
    numbers = [int(line[12:], 16) for line in whole]
    return all((b - a) & 0xFF == 1 for a, b in zip(numbers, numbers[1:]))


def changed_hex(text, address):
    """The HEX text with the data byte at address inverted (checksum fixed)."""
    out = []
    for record in hex_lines(text):
        record = bytearray(record)
        at = record[1] << 8 | record[2]
        if record[3] == 0 and at <= address < at + record[0]:
            record[4 + address - at] ^= 0xFF
            record[-1] = -sum(record[:-1]) & 0xFF
        out.append(":" + record.hex().upper())
    return "\n".join(out) + "\n"


def test_page(page):
    work = tempfile.mkdtemp(prefix="mon-%02X-" % page, dir=WORK)
    resident = open(ARGS.resident, "rb").read()
    program, image = merge(work, ARGS.demo, page, "hex", resident)
    label = "page %02Xh" % page
    with session(work, program) as sim:
        # The demo's first line whole and a byte of the next: its marker
        # and counter are in place before the client comes.
        check(Host(sim).wait_text(rb"Tarlek demo 00\r\n."),
              "%s: the demo has printed its first line" % label)
        mon = Client(work, sim, 9600)
        info = mon.json("identify")
        check(info.get("protocol") == int(ARGS.protocol) and info.get("page") == page and
              info.get("baud") == 9600 and info.get("commands") == 0x01FE,
              "%s: identify: %s" % (label, info))
        start = page << 8
        got = mon.json("read", "code", "%04Xh" % start, "40")
        check(got["bytes"] == list(image[start:start + 0x40]), "%s: read code at the resident" % label)
        got = mon.json("read", "iram", "40", "1")
        check(got["bytes"] == [0x5A], "%s: read iram 40h, the demo's marker" % label)
        got = mon.json("read", "sfr", "98h", "2")
        check(got["bytes"] is not None and got["bytes"][0] & 0xC0 == 0x40,
              "%s: read sfr SCON: mode 1 (%s)" % (label, got["bytes"]))
        got = mon.json("read", "xram", "0", "10")
        check(got["bytes"] == list(sim.memory("dx", 0, 0xF)),
              "%s: read xram 0000h-000Fh as the simulator holds it" % label)
        for space, address, data in (("iram", "30", ["12", "34", "0A5"]),
                                     ("xram", "0100h", ["01", "02", "03", "04"]),
                                     ("sfr", "90h", ["5A"])):
            status, out, err = mon("--quiet", "write", space, address, *data)
            check(status == 0 and "read back the same" in out,
                  "%s: write %s %s: %s" % (label, space, address, (out + err).strip()))
            wanted = [int(b.rstrip("h"), 16) for b in data]
            got = mon.json("read", space, address, "%X" % len(data))
            check(got["bytes"] == wanted, "%s: read %s %s after the write" % (label, space, address))
            # The write landed where it was aimed, as the simulator itself sees it.
            dump = {"iram": "di", "xram": "dx"}.get(space)
            if dump:
                first = int(address.rstrip("h"), 16)
                check(list(sim.memory(dump, first, first + len(data) - 1)) == wanted,
                      "%s: %s %s holds the written bytes in the simulator" % (label, space, address))

        status, out, err = mon("--json", "watch", "--interval", "0.2", "--seconds", "1.2",
                               "iram", "41", "1")
        values = [json.loads(line)["values"]["iram 41h"][0] for line in out.splitlines()
                  if line.strip()]
        check(status == 0 and len(set(values)) >= 3,
              "%s: watch sees the demo's counter move: %s" % (label, values))
        # Between the reads the program prints: its lines come around the
        # answers, on standard error.
        check(demo_lines_in_order(err),
              "%s: the demo's lines whole and in order around watch's answers" % label)

        status, out, err = mon("console", "--seconds", "1")
        check(status == 0 and demo_lines_in_order(out),
              "%s: console shows the demo's lines whole and in order" % label)
        # 2 KB in eight reads of the largest payload, raw.
        status, out, err = mon("read", "code", "0", "800", "--raw")
        raw = out.encode("latin-1")
        held = [a for a in held_addresses(read_file(program)) if a < 0x800]
        check(status == 0 and len(raw) == 0x800 and all(raw[a] == image[a] for a in held),
              "%s: read code 0000h-07FFh raw %s" % (label, err.strip()))

        # The image file: its length N (2 bytes), N flags, N bytes of code.
        resident_end = start + (resident[0] | resident[1] << 8) - 1
        status, out, err = mon("--quiet", "dump", os.path.join(work, "part.bin"),
                               "--range", "%X-%X" % (start, resident_end))
        part = open(os.path.join(work, "part.bin"), "rb").read() if status == 0 else b""
        check(part == image[start:resident_end + 1],
              "%s: dump of the resident's range %s" % (label, err.strip()))

        merged_text = read_file(program)
        status, out, err = mon("--quiet", "verify", program)
        check(status == 0 and out.startswith("verified:"),
              "%s: verify passes on the merged file: %s" % (label, (out + err).strip()))
        changed_at = start + 0x10
        with open(os.path.join(work, "changed.hex"), "w") as f:
            f.write(changed_hex(merged_text, changed_at))
        status, out, err = mon("--quiet", "verify", os.path.join(work, "changed.hex"))
        check(status == 3 and ("differs at %04Xh: file %02X, chip %02X" %
                               (changed_at, image[changed_at] ^ 0xFF, image[changed_at])) in out,
              "%s: verify fails naming %04Xh: %s" % (label, changed_at, (out + err).strip()))
        check(sim.running(), "%s: the simulator still runs" % label)


class TarlekSim:
    """tarlek-sim --print-port on a program: the port it printed, and its
    process, stopped by Ctrl-C (SIGINT) at the end."""

    def __init__(self, work, program):
        self.work = work
        self.program = program
        self.port = None
        self.info = ""

    def __enter__(self):
        self.err_path = os.path.join(self.work, "tarlek-sim.err")
        self.err = open(self.err_path, "wb")
        self.process = subprocess.Popen([ARGS.sim, "--s51", ARGS.s51, "--print-port",
                                         self.program], cwd=self.work,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.err)
        # The port comes once s51 reads its line.
        ready, _, _ = select.select([self.process.stdout], [], [], 60)
        line = self.process.stdout.readline().decode() if ready else ""
        self.port = line.strip()
        self.info = read_file(self.err_path)
        return self

    def stop(self, sig=signal.SIGINT):
        """Sends sig; returns tarlek-sim's exit status and its standard error."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.err.close()
        return status, read_file(self.err_path)

    def s51_pid(self):
        found = re.search(r"\(pid (\d+)\)", self.info)
        return int(found.group(1)) if found else None

    def __exit__(self, *exc):
        self.stop()
        return False


def fifo_dir(port):
    return os.path.dirname(port[len("fifo:"):].split(",")[0])


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A child of tarlek-sim that ended but was not yet reaped counts as gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def test_tarlek_sim():
    """Clients in a row and at once, Ctrl-C and the end of s51."""
    work = tempfile.mkdtemp(prefix="mon-sim-", dir=WORK)
    resident = open(ARGS.resident, "rb").read()
    program, _ = merge(work, ARGS.demo, 0x80, "hex", resident)
    with TarlekSim(work, program) as sim:
        check(sim.port.startswith("fifo:") and "-t 8051 at 11059200 Hz" in sim.info and
              "resident at 8000h, 9600 baud, timer 1" in sim.info,
              "tarlek-sim: the port %r and the run: %s" % (sim.port, sim.info.strip()))
        pid = sim.s51_pid()
        mon = Client(work, sim, 9600)
        statuses = [mon("--quiet", "identify")[0] for _ in range(4)]
        check(statuses == [0] * 4, "tarlek-sim: four tarlek-mon runs in a row: %s" % statuses)
        # A console holds the port while a second client comes.
        console = subprocess.Popen([ARGS.mon, "--port", sim.port, "--slack", "5", "console",
                                    "--seconds", "4"], cwd=work, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        # The console has the port once the program's text comes out of it.
        ready, _, _ = select.select([console.stdout], [], [], 20)
        status, out, err = mon("--quiet", "identify")
        check(ready and status == 1 and "is busy: another tarlek-mon" in err,
              "tarlek-sim: a second client at the same time is told the port is busy: %s" %
              err.strip())
        out, _ = console.communicate(timeout=60)
        check(console.returncode == 0 and b"Tarlek demo" in out,
              "tarlek-sim: the first client went on undisturbed")
        check(mon("--quiet", "identify")[0] == 0, "tarlek-sim: a client after that one")
        directory = fifo_dir(sim.port)
        status, err = sim.stop()
        check(status == 0 and not os.path.exists(directory) and pid and not alive(pid),
              "tarlek-sim: Ctrl-C stops s51 by its pid and removes %s (status %d)" %
              (directory, status))

    with TarlekSim(work, program) as sim:
        pid = sim.s51_pid()
        directory = fifo_dir(sim.port)
        os.kill(pid, signal.SIGTERM)
        try:
            status = sim.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            status = None
        err = read_file(sim.err_path)
        check(status == 1 and "s51 ended" in err and not os.path.exists(directory),
              "tarlek-sim: s51 ending by itself ends the run and cleans up (%s): %s" %
              (status, err.strip()))


def test_full_dump():
    """Writes of many bytes of internal RAM and SFRs and all 64 KB of code at
    115200 baud, timer 2 on an 8052 (tarlek-sim chooses it from the
    resident): a byte on the line is shorter there than what the resident
    needs for a data byte of such a write."""
    work = tempfile.mkdtemp(prefix="mon-dump-", dir=WORK)
    resident = open(ARGS.resident_8052, "rb").read()
    program, image = merge(work, ARGS.demo, 0x80, "hex", resident)
    with TarlekSim(work, program) as sim:
        check("-t 8052" in sim.info and "timer 2" in sim.info,
              "tarlek-sim: an 8052 for a resident on timer 2: %s" % sim.info.strip())
        mon = Client(work, sim, 115200)
        # 20h..3Fh are free in the demo; TL0, TL1 and TH0 too (timer 2 makes the rate).
        for space, address, data in (("iram", 0x20, [(0x3C + 7 * k) & 0xFF for k in range(32)]),
                                     ("sfr", 0x8A, [0x12, 0x34, 0x56])):
            status, out, err = mon("--quiet", "write", space, "%02Xh" % address,
                                   *["%02Xh" % b for b in data])
            got = mon.json("read", space, "%02Xh" % address, "%X" % len(data))
            check(status == 0 and got["bytes"] == data,
                  "8052 at 115200: write %s %02Xh, %d bytes, read back: %s" %
                  (space, address, len(data), (out + err).strip()))
        dump_path = os.path.join(work, "all.hex")
        summary = mon.json("--quiet", "dump", dump_path)
        dumped = hex_bytes(read_file(dump_path)) if summary.get("bytes") else b""
        held = held_addresses(read_file(program))
        check(len(dumped) == 0x10000 and all(dumped[a] == image[a] for a in held),
              "8052 at 115200: a dump of 0000h-FFFFh equals the merged file (%s s, %s retries)" %
              (summary.get("seconds"), summary.get("retries")))


WORK = None


def main():
    global ARGS, WORK
    ARGS = tool_args(argparse.ArgumentParser(), ("tarlek", "mon", "resident", "resident-8052",
                                                 "include", "demo", "as31", "s51", "sim",
                                                 "protocol"))
    with tempfile.TemporaryDirectory(prefix="tarlek-mon-sim-") as WORK:
        for page in (0x80, 0xA0):
            test_page(page)
        test_tarlek_sim()
        test_full_dump()
    return report()


if __name__ == "__main__":
    sys.exit(main())

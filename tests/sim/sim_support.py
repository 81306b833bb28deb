"""What the simulator tests share: the host's side of protocol 3, written from
the protocol and the resident's facts alone (the tests' oracle, independent
of tarlek-mon's codec), checks and their report, running a tool, Intel HEX
text in and out, and programs assembled with as31 and merged with the
resident by tarlek.

The resident's facts come from resident_facts, which the build generates
from resident/facts.txt into BUILD/generated/python: CTest puts it on
PYTHONPATH; a script run by hand puts it on sys.path before it imports this
module (as bench/*_sim.py do).

A test's main calls tool_args(parser) once: it parses the command line,
makes every path absolute and keeps the tools (--tarlek, --as31, --s51 and
the include file) for merge() and session()."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing is written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from s51_session import S51Session  # noqa: E402

try:
    import resident_facts as facts
except ImportError:
    sys.exit("resident_facts not found: it is generated into BUILD/generated/python, which "
             "must be on PYTHONPATH (CTest puts it there)")

TOOLS = argparse.Namespace()
FAILURES = []
SKIPS = []
CLOCK_HZ = 11059200     # the crystal the residents under test are built for


# ---------------------------------------------------------------- checks

def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)
    return condition


def skip(what, reason):
    print("skip %s: %s" % (what, reason), flush=True)
    SKIPS.append(what)


# The exit status CTest reports as skipped (SKIP_RETURN_CODE in CMake).
SKIPPED = 77


def report():
    """The exit status: 0 when every check passed, 1 when one failed, SKIPPED
    when none failed but some were skipped (a missing tool), so that the test
    is not shown as passed."""
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    if SKIPS:
        print("the checks that ran passed; skipped: %s" % "; ".join(SKIPS))
        return SKIPPED
    print("all checks passed")
    return 0


def tool_args(parser, required, optional=()):
    """Parses the options --NAME for each name, every existing path made
    absolute; keeps the result as the tools of merge() and session()."""
    global TOOLS
    for name in required:
        parser.add_argument("--" + name, required=True)
    for name in optional:
        parser.add_argument("--" + name)
    args = parser.parse_args()
    # Only the tools' paths: a value such as --part build is no path, even
    # where a directory of that name happens to exist.
    for name in tuple(required) + tuple(optional):
        value = getattr(args, name.replace("-", "_"))
        if isinstance(value, str) and os.path.exists(value):
            setattr(args, name.replace("-", "_"), os.path.abspath(value))
    TOOLS = args
    return args


def run_groups(groups, tools, prefix, start):
    """The main of a test made of groups of checks: --group NAME (repeated)
    picks the groups, all of them by default, and --TOOL gives each tool.
    start(args, work) is told the options and the private temporary
    directory, removed afterwards, before the groups run. Returns the exit
    status."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", action="append", choices=sorted(groups))
    args = tool_args(parser, tools)
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        start(args, work)
        for group in args.group or sorted(groups):
            groups[group]()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return report()


def run(cmd, cwd, combined=False):
    """The command's result, without input. combined: its error output goes
    into stdout, decoded as text; else stdout and stderr stay bytes apart."""
    if combined:
        result = subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        result.stdout = result.stdout.decode(errors="replace")
        return result
    return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120)


# ---------------------------------------------------------------- frames

START, ESCAPE = facts.FRAME_START, facts.FRAME_ESCAPE
ESCAPED = {START: bytes([ESCAPE, facts.FRAME_ESCAPED_START]),
           ESCAPE: bytes([ESCAPE, facts.FRAME_ESCAPED_ESCAPE])}
UNESCAPED = {facts.FRAME_ESCAPED_START: START, facts.FRAME_ESCAPED_ESCAPE: ESCAPE}


class Req(tuple):
    """A request before it has its sequence number: (cmd, body)."""

    def __new__(cls, cmd, body=b""):
        return super().__new__(cls, (cmd, bytes(body)))

    @property
    def cmd(self):
        return self[0]

    @property
    def body(self):
        return self[1]


def escape(data):
    return b"".join(ESCAPED.get(byte, bytes([byte])) for byte in data)


def encode(req, seq=0):
    """C0h, then escaped: CMD SEQ LEN BODY SUM, where SUM makes
    CMD + SEQ + LEN + BODY + SUM = 0 (mod 256)."""
    if not isinstance(req, Req):
        req = Req(*req)
    inner = bytes([req.cmd, seq, len(req.body)]) + req.body
    return bytes([START]) + escape(inner + bytes([-sum(inner) & 0xFF]))


def write_request(cmd, address, data):
    """A write: address bytes, their check byte (ACHK: CMD + SEQ + LEN +
    address + ACHK = 0), the data. ACHK depends on SEQ: the body is made
    when the sequence number is known (encode calls it)."""
    return WriteReq(cmd, bytes(address), bytes(data))


class WriteReq(Req):
    def __new__(cls, cmd, address, data):
        self = super().__new__(cls, cmd, bytes(address) + b"\x00" + bytes(data))
        self.address = bytes(address)
        self.data = bytes(data)
        return self

    def with_seq(self, seq):
        length = len(self.address) + 1 + len(self.data)
        achk = -(self.cmd + seq + length + sum(self.address)) & 0xFF
        return Req(self.cmd, self.address + bytes([achk]) + self.data)


def frame(req, seq=0):
    """The request's bytes on the line with sequence number seq."""
    if isinstance(req, WriteReq):
        req = req.with_seq(seq)
    return encode(req, seq)


def read_code(address, n):
    return Req(facts.CMD_READ_CODE, bytes([address >> 8 & 0xFF, address & 0xFF, n]))


def read_xram(address, n):
    return Req(facts.CMD_READ_XRAM, bytes([address >> 8 & 0xFF, address & 0xFF, n]))


def write_xram(address, data):
    return write_request(facts.CMD_WRITE_XRAM, [address >> 8, address & 0xFF], data)


def read_iram(address, n):
    return Req(facts.CMD_READ_IRAM, bytes([address, n]))


def write_iram(address, data):
    return write_request(facts.CMD_WRITE_IRAM, [address], data)


def read_sfr(address, n):
    return Req(facts.CMD_READ_SFR, bytes([address, n]))


def write_sfr(address, data):
    return write_request(facts.CMD_WRITE_SFR, [address], data)


IDENTIFY = Req(facts.CMD_IDENTIFY)


def answer_cmd(cmd):
    """The CMD of the answer to a request's CMD."""
    return cmd | facts.ANSWER_BIT


def kept_bits(address, timer):
    """What the answer to a write of the SFR at address says in a build with
    the baud generator timer (1 or 2): the bits the resident kept, FFh when
    it never writes it, 00h for an SFR it writes as asked."""
    for sfr in facts.SFRS:
        if sfr.address == address and sfr.timer in (0, timer):
            return sfr.kept
    return 0x00


def decode_at(buf):
    """buf starts with C0h: ("frame", cmd, seq, body, size), ("short",) while
    more bytes could complete it, or ("bad",) when it is no answer frame."""
    inner = bytearray()
    at = 1
    while True:
        if len(inner) >= 3 and len(inner) == inner[2] + 4:
            break
        if at >= len(buf):
            return ("short",)
        byte = buf[at]
        if byte == START:
            return ("bad",)
        if byte == ESCAPE:
            if at + 1 >= len(buf):
                return ("short",)
            second = buf[at + 1]
            if second not in UNESCAPED:
                return ("bad",)
            inner.append(UNESCAPED[second])
            at += 2
        else:
            inner.append(byte)
            at += 1
    if not inner[0] & facts.ANSWER_BIT or sum(inner) & 0xFF:
        return ("bad",)
    return ("frame", inner[0], inner[1], bytes(inner[3:-1]), at)


class Host:
    """The host's end of the line: sends requests, each with a new sequence
    number, and picks the answer frames out of what comes back; every other
    byte is the program's own text, in text. Answers that no request has
    taken wait in frames, in order, as (cmd, seq, body)."""

    def __init__(self, sim):
        self.sim = sim
        self.buf = bytearray()
        self.text = bytearray()
        self.frames = []
        self.seq = 0x10

    def next_seq(self):
        self.seq = (self.seq + 1) & 0xFF
        return self.seq

    def _scan(self, final):
        while True:
            at = self.buf.find(START)
            if at < 0:
                self.text += self.buf
                self.buf.clear()
                return
            self.text += self.buf[:at]
            del self.buf[:at]
            result = decode_at(self.buf)
            if result[0] == "short" and not final:
                return
            if result[0] != "frame":
                self.text.append(self.buf.pop(0))
                continue
            self.frames.append(result[1:4])
            del self.buf[:result[4]]

    def pump(self, timeout):
        chunk = self.sim.receive(4096, timeout)
        self.buf += chunk
        self._scan(final=False)
        return chunk

    def send(self, req):
        """Sends the request with a new sequence number; returns it."""
        seq = self.next_seq()
        self.sim.send(frame(req, seq))
        return seq

    def wait_answer(self, cmd, seq, timeout=None):
        # Generous: s51 paces the line in simulated time, and a loaded
        # machine (a sanitizer build beside it) slows the simulator down.
        deadline = time.monotonic() + (timeout or 5.0)
        while time.monotonic() < deadline:
            for k, (got_cmd, got_seq, body) in enumerate(self.frames):
                if got_cmd == answer_cmd(cmd) and got_seq == seq:
                    del self.frames[k]
                    return body
            self.pump(min(0.05, max(0.0, deadline - time.monotonic())))
        return None

    def request(self, req, timeout=None):
        """Sends one request; returns the answer's body, or None when no
        answer to it (its command and sequence number) comes within timeout
        seconds."""
        return self.wait_answer(req.cmd, self.send(req), timeout)

    def silence(self, seconds):
        """Listens for seconds; returns the answer frames that came."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.pump(0.02)
        self._scan(final=True)
        frames, self.frames = self.frames, []
        return frames

    def wait_text(self, pattern, timeout=30.0):
        """Listens until the program's text matches the regular expression
        pattern (bytes); returns whether it did within timeout seconds."""
        deadline = time.monotonic() + timeout
        while re.search(pattern, self.text) is None:
            if time.monotonic() > deadline:
                return False
            self.pump(0.02)
        return True

    def until_moved(self, read, timeout=30.0):
        """Calls read (a request) until its value differs from the first one,
        at most for timeout seconds; returns the values read. A program that
        runs moves its counters between any two answers."""
        values = [read()]
        deadline = time.monotonic() + timeout
        while values[-1] == values[0] and time.monotonic() < deadline:
            values.append(read())
        return values

    def wait_ready(self, tries=6):
        """The answer to identify once the resident is up, None if it never
        answers. Each probe has its own sequence number, so a late answer to
        an earlier probe is never taken for a later request's."""
        answer = None
        sent = 0
        while answer is None and sent < tries:
            answer = self.request(IDENTIFY, timeout=1.0)
            sent += 1
        self.frames = [f for f in self.frames if f[0] != answer_cmd(IDENTIFY.cmd)]
        return answer


def identify_fields(answer):
    """The fields of identify's answer by their names in resident/facts.txt
    (protocol, major, ..., clock_hz, baud, largest_payload, commands)."""
    return {field.name: int.from_bytes(answer[field.offset:field.offset + field.bytes], "big")
            for field in facts.IDENTIFY_FIELDS}


# ------------------------------------------------------------- Intel HEX

def hex_records(data):
    """A raw image from 0000h as Intel HEX text, for the simulator to load."""
    lines = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        record = bytes([len(chunk), at >> 8, at & 0xFF, 0]) + chunk
        lines.append(":" + record.hex().upper() + "%02X" % (-sum(record) & 0xFF))
    return "\n".join(lines + [":00000001FF"]) + "\n"


def hex_lines(text):
    """Every record of Intel HEX text as bytes (count, address, type, data,
    checksum), each checked for its length and checksum."""
    for line in text.split():
        if not line.startswith(":"):
            continue
        record = bytes.fromhex(line[1:])
        assert len(record) == record[0] + 5 and sum(record) & 0xFF == 0, \
            "a broken Intel HEX record: %s" % line
        yield record


def hex_image(text):
    """The 64 KB that Intel HEX text describes, from 0000h: a list of byte
    values, None where no data record writes."""
    image = [None] * 0x10000
    for record in hex_lines(text):
        if record[3] == 0x00:
            at = record[1] << 8 | record[2]
            for k, byte in enumerate(record[4:4 + record[0]]):
                image[(at + k) & 0xFFFF] = byte
    return image


def hex_bytes(text):
    """hex_image as bytes, 00h where no record writes."""
    return bytes(0 if byte is None else byte for byte in hex_image(text))


def held_addresses(text):
    """The addresses that Intel HEX text writes, in order."""
    return [at for at, byte in enumerate(hex_image(text)) if byte is not None]


def read_file(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


# ------------------------------------------------------- building programs

def set_page(text, pattern, replacement, what):
    """text with its single page definition (pattern) replaced."""
    text, count = re.subn(pattern, replacement, text)
    assert count == 1, "%s defines its page once" % what
    return text


AS31_PAGE = r"(\.equ\s+TARLEK_PAGE,\s*)\w+"


def assemble(work, source_path, page, fmt="hex"):
    """source_path (as31) with its page symbol set to page, assembled in
    work beside a copy of the include file; returns the output's name."""
    # as31 wants a digit first: 0A0h.
    source = set_page(read_file(source_path), AS31_PAGE, r"\g<1>0%02Xh" % page, source_path)
    name = os.path.splitext(os.path.basename(source_path))[0]
    with open(os.path.join(work, name + ".asm"), "w") as f:
        f.write(source)
    shutil.copy(TOOLS.include, os.path.join(work, "Tarlek.inc"))
    out = name + "." + fmt
    flags = ["-Fbin", "-O" + out] if fmt == "bin" else ["-O" + out]
    result = run([TOOLS.as31] + flags + [name + ".asm"], work)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    return out


def merge_file(work, name, resident):
    """tarlek on work/name with resident (the image file's bytes) beside it
    as tarlek.bin: (exit status, output)."""
    with open(os.path.join(work, "tarlek.bin"), "wb") as f:
        f.write(resident)
    result = run([TOOLS.tarlek, name], work, combined=True)
    return result.returncode, result.stdout


def merge(work, source_path, page, fmt, resident):
    """Assembles the program for page, merges resident (file bytes) into it
    with tarlek, and writes the merged image as prog.sim.hex for s51;
    returns its path and the 64 KB image (bytes)."""
    name = assemble(work, source_path, page, fmt)
    status, text = merge_file(work, name, resident)
    assert status == 0 and "Tarlek is now located at %02X00h" % page in text, text
    merged = read_file(os.path.join(work, name), "rb")
    hex_text = merged.decode() if fmt == "hex" else hex_records(merged)
    path = os.path.join(work, "prog.sim.hex")
    with open(path, "w") as f:
        f.write(hex_text)
    return path, hex_bytes(hex_text)


def session(work, program, cpu="8051", **kw):
    """s51 on the program at the residents' crystal, its line on FIFOs in work."""
    return S51Session(work, program, s51=TOOLS.s51, cpu=cpu, clock_hz=CLOCK_HZ, **kw)

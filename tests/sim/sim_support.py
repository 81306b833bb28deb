"""What the simulator tests share: the host's side of protocol 2, written from
the protocol alone (the tests' oracle, independent of tarlek-mon's codec),
checks and their report, running a tool, Intel HEX text in and out, and
programs assembled with as31 and merged with the resident by tarlek.

A test's main calls tool_args(parser) once: it parses the command line,
makes every path absolute and keeps the tools (--tarlek, --as31, --s51 and
the include file) for merge() and session()."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing is written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from s51_session import S51Session  # noqa: E402

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

def encode(cmd, payload=b""):
    """A5h CMD LEN PAYLOAD SUM: SUM makes CMD + LEN + payload + SUM = 0."""
    body = bytes([cmd, len(payload)]) + bytes(payload)
    return b"\xA5" + body + bytes([-sum(body) & 0xFF])


def write_request(cmd, address, data):
    """A write: address bytes, their check byte (ACHK), the data."""
    length = len(address) + 1 + len(data)
    achk = -(cmd + length + sum(address)) & 0xFF
    return encode(cmd, bytes(address) + bytes([achk]) + bytes(data))


def read_code(address, n):
    return encode(0x02, bytes([address >> 8, address & 0xFF, n]))


def read_xram(address, n):
    return encode(0x03, bytes([address >> 8, address & 0xFF, n]))


def write_xram(address, data):
    return write_request(0x04, [address >> 8, address & 0xFF], data)


def read_iram(address, n):
    return encode(0x05, bytes([address, n]))


def write_iram(address, data):
    return write_request(0x06, [address], data)


def read_sfr(address, n):
    return encode(0x07, bytes([address, n]))


def write_sfr(address, data):
    return write_request(0x08, [address], data)


IDENTIFY = encode(0x01)


def decode_at(buf):
    """buf starts with A5h: ("frame", cmd, payload, size), ("short",) while
    more bytes could complete it, or ("bad",) when it is no answer frame."""
    if len(buf) < 3:
        return ("short",)
    cmd, n = buf[1], buf[2]
    if not cmd & 0x80:
        return ("bad",)
    if len(buf) < 4 + n:
        return ("short",)
    if sum(buf[1:4 + n]) & 0xFF:
        return ("bad",)
    return ("frame", cmd, bytes(buf[3:3 + n]), 4 + n)


class Host:
    """The host's end of the line: sends requests, picks the answer frames
    out of what comes back; every other byte is the program's own text, in
    text. Answers that no request has taken wait in frames, in order."""

    def __init__(self, sim):
        self.sim = sim
        self.buf = bytearray()
        self.text = bytearray()
        self.frames = []

    def _scan(self, final):
        while True:
            at = self.buf.find(0xA5)
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
            self.frames.append((result[1], result[2]))
            del self.buf[:result[3]]

    def pump(self, timeout):
        chunk = self.sim.receive(4096, timeout)
        self.buf += chunk
        self._scan(final=False)
        return chunk

    def request(self, frame, timeout=None):
        """Sends one request; returns the answer's payload, or None when no
        answer to it comes within timeout seconds."""
        self.sim.send(frame)
        want = frame[1] | 0x80
        # Generous: s51 paces the line in simulated time, and a loaded
        # machine (a sanitizer build beside it) slows the simulator down.
        deadline = time.monotonic() + (timeout or 5.0)
        while time.monotonic() < deadline:
            for k, (cmd, payload) in enumerate(self.frames):
                if cmd == want:
                    del self.frames[k]
                    return payload
            self.pump(min(0.05, max(0.0, deadline - time.monotonic())))
        return None

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
        runs moves its counters between any two answers: the resident holds
        it only from a request's first byte to the answer's end."""
        values = [read()]
        deadline = time.monotonic() + timeout
        while values[-1] == values[0] and time.monotonic() < deadline:
            values.append(read())
        return values

    def wait_ready(self, tries=6):
        """The answer to identify once the resident is up, None if it never
        answers. A probe may go unanswered for a while on a loaded machine:
        the answers to earlier probes that come late are taken off the line
        here, so that no later request mistakes one for its own."""
        answer = None
        sent = 0
        while answer is None and sent < tries:
            answer = self.request(IDENTIFY, timeout=1.0)
            sent += 1
        if answer is None or sent == 1:
            return answer
        # The line keeps order: once the answer to a request sent after
        # every probe is in, so is any answer to a probe.
        if self.request(read_iram(0x00, 1)) is not None:
            self.frames = [frame for frame in self.frames if frame[0] != IDENTIFY[1] | 0x80]
        return answer


def identify_fields(answer):
    return {
        "protocol": answer[0], "version": tuple(answer[1:4]), "page": answer[4],
        "clock": int.from_bytes(answer[5:9], "big"), "baud": int.from_bytes(answer[9:13], "big"),
        "max": answer[13], "commands": int.from_bytes(answer[14:16], "big")}


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

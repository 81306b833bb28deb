#!/usr/bin/env python3
"""End to end: programs assembled with as31 for a page, merged with the
resident by tarlek (from .hex and from .bin), run freely in the s51
simulator; requests go in on the serial line as protocol 3 frames and the
resident's answers come back from the serial interrupt while the program
runs. The host's side (sim_support.py) is the tests' own, written from the
protocol and the resident's facts (resident/facts.txt) alone. Every check
waits for what the program itself reports (its ready marker, its text),
never for a time: a loaded machine slows s51 down.

Groups (--group): commands, stream, bad_input, fast, banks, negative, builder.
Every file lives in a private temporary directory; s51 runs one at a time
(CTest's RESOURCE_LOCK s51). Exit status 0 when every check passes."""

import os
import random
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_support import (  # noqa: E402
    IDENTIFY, Host, Req, answer_cmd, assemble, check, facts, frame, identify_fields, kept_bits,
    merge, read_code, read_file, read_iram, read_sfr, read_xram, run, run_groups, session,
    set_page, write_iram, write_sfr, write_xram)

ARGS = None

# What known_state.asm sets up (see its header).
KNOWN_COPIES = bytes([0x3C, 0xC3, 0x34, 0x12, 0xCC, 0x5F])  # 48h..4Dh: A B DPL DPH PSW SP
KNOWN_BANK = bytes(range(0xA0, 0xA8))                      # R0..R7 of bank 1
KNOWN_SFRS = {0x81: 0x5F, 0x82: 0x34, 0x83: 0x12, 0x8C: 0x9C, 0x90: 0x3C, 0x98: 0x50,
              0xA8: 0x90, 0xD0: 0xCC, 0xE0: 0x3C, 0xF0: 0xC3}
KNOWN_READY = 0x40      # 5Ah once its loop has made its first copies
# What the resident's init sets: TMOD and TH1, or T2CON and RCAP2L/H.
BAUD_SFRS = {9600: {0x89: 0x20, 0x8D: 0xFD}, 115200: {0xC8: 0x34, 0xCA: 0xFD, 0xCB: 0xFF}}
STACK_START = 0x5F      # the program's SP: the resident's stack starts above it
STACK_BUDGET = facts.STACK_BYTES
STATE = range(0x74, 0x74 + facts.STATE_BYTES)   # the resident's (TARLEK_RAM of known_state.asm)
TICKING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ticking.asm")



def demo_copies(image):
    """What the demo keeps in A, B, DPL, DPH, PSW, R0 and SP after each line
    (48h..4Eh): DPTR is left at the zero that ends its line end text."""
    at = image.find(b"0123456789ABCDEF\r\n\x00") + 16 + 2
    assert 16 + 2 <= at < 0x8000, "the demo's texts are in its image"
    return bytes([0x00, 0xC3, at & 0xFF, at >> 8, 0x88, 0xA0, 0x5F])

# The demo's first line whole and a byte of the next: it has made its copies.
DEMO_READY = rb"Tarlek demo [0-9A-F]{2}\r\n."


def expected_identify(page, baud):
    major, minor, patch = (int(v) for v in ARGS.version.split("."))
    return {"protocol": facts.PROTOCOL_VERSION, "major": major, "minor": minor, "patch": patch,
            "page": page, "clock_hz": 11059200, "baud": baud,
            "largest_payload": facts.LARGEST_PAYLOAD, "commands": facts.COMMANDS_OFFERED}


def identify_ok(answer, page, baud):
    return answer is not None and len(answer) == facts.IDENTIFY_LENGTH and \
        identify_fields(answer) == expected_identify(page, baud)


def known_state_ready(host, timeout=30.0):
    """Whether known_state.asm reports ready (its marker) within timeout
    seconds. The resident answers from its init on, while the program still
    fills its RAM: identify alone says nothing of the program."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if host.request(read_iram(KNOWN_READY, 1)) == b"\x5A":
            return True
    return False


def known_iram():
    """What known_state.asm leaves in 00h..7Fh; the resident's state bytes
    (74h..7Fh) hold what the resident keeps there."""
    model = bytearray((~a) & 0xFF for a in range(0x80))
    model[0x08:0x10] = KNOWN_BANK
    model[KNOWN_READY] = 0x5A
    model[0x48:0x4E] = KNOWN_COPIES
    model[0x50:0x58] = KNOWN_BANK
    return model


def known_xram(address):
    return (address & 0xFF) ^ 0x5A if address < 0x100 else None


def counter(host):
    value = host.request(read_iram(0x41, 2))
    return None if value is None else (value[1] << 8) | (0xFF - value[0])


# ---------------------------------------------------------------- groups

def test_bundled_examples_are_fresh(work):
    """examples/demo.hex and demo.bin are the demo as it assembles (page 80h)."""
    for fmt in ("hex", "bin"):
        name = assemble(work, ARGS.demo, 0x80, fmt)
        with open(os.path.join(work, name), "rb") as fresh, \
                open(os.path.join(os.path.dirname(ARGS.demo), "demo." + fmt), "rb") as bundled:
            check(fresh.read() == bundled.read(), "examples/demo.%s is what demo.asm assembles to" % fmt)


class Registers:
    """The copies the program makes of its registers (48h..4Dh, 50h..57h),
    as the test expects them; a step that writes a register changes them."""

    def __init__(self):
        self.copies = bytearray(KNOWN_COPIES)
        self.bank = bytearray(KNOWN_BANK)

    def parity(self):
        """PSW's P bit follows A."""
        self.copies[4] = (self.copies[4] & 0xFE) | (bin(self.copies[0]).count("1") & 1)

    def check(self, host, after):
        # The program copies on every pass: read until a pass has run since
        # the command (the read itself is a command too).
        got = host.request(read_iram(0x48, 0x10))
        want = bytes(self.copies) + b"\x00\x00" + bytes(self.bank)
        ok = got is not None and got[0:6] == want[0:6] and got[8:16] == want[8:16]
        return check(ok, "  registers and flags of the program after %s: %s" %
                     (after, got.hex() if got else "no answer"))


def write_pieces(host, maker, address, data, baud):
    """A write of internal RAM or SFRs, as one request; at 115200 baud one
    request per byte, since such a write takes the resident about 125 cycles
    a byte while a byte lasts 80 (resident/README.md, "Known limits"). The
    answers' bodies joined, None when any is missing."""
    if baud < 115200:
        return host.request(maker(address, data))
    answers = [host.request(maker(address + k & 0xFF, data[k:k + 1])) for k in range(len(data))]
    return None if None in answers else b"".join(answers)


def commands_at(page, fmt, cpu="8051", resident_path=None, baud=9600):
    """Every command against known_state.asm, the program's registers
    checked after each; at the end the whole internal RAM against what the
    program wrote, and how far the resident's stack reached."""
    label = "page %02Xh from .%s%s" % (page, fmt, "" if cpu == "8051" else ", %s at %d baud" % (cpu, baud))
    work = tempfile.mkdtemp(prefix="cmd-", dir=WORK)
    resident = open(resident_path or ARGS.resident, "rb").read()
    program, image = merge(work, ARGS.known_state, page, fmt, resident)
    regs = Registers()
    with session(work, program, cpu) as sim:
        host = Host(sim)
        answer = host.wait_ready()
        check(identify_ok(answer, page, baud), "%s: identify %s" %
              (label, identify_fields(answer) if answer else "no answer"))
        if answer is None or not check(known_state_ready(host), "%s: the program is ready" % label):
            return
        regs.check(host, "identify")

        # Code: the hooks at 0000h, the relocated resident, the most an answer carries.
        got = host.request(read_code(facts.HOOK_RESET, 6))
        hooks = bytes([facts.OPCODE_LCALL, page, facts.ENTRY_INIT, facts.OPCODE_LJMP, 0x00, 0x30])
        check(got == hooks,
              "%s: read code 0000h: the hooks %s" % (label, got.hex() if got else None))
        got = host.request(read_code(page << 8, 255))
        serial = facts.ENTRY_SERIAL
        check(got == image[page << 8:(page << 8) + 255] and
              got[serial:serial + 2] == bytes([facts.OPCODE_LJMP, page]),
              "%s: read code %02X00h, 255 bytes, as merged" % (label, page))
        got = host.request(read_code(0xFFFA, 12))
        # Nothing is loaded at FFFAh..FFFFh: what the simulator holds there.
        check(got == sim.memory("dch", 0xFFFA, 0xFFFF) + image[:6],
              "%s: read code wraps at FFFFh: %s" % (label, got.hex() if got else None))
        regs.check(host, "read code")

        # External RAM.
        got = host.request(read_xram(0x0000, 255))
        check(got == bytes(known_xram(a) for a in range(255)), "%s: read xram 0000h, 255 bytes" % label)
        data = bytes((a * 7 + 1) & 0xFF for a in range(252))
        got = host.request(write_xram(0x0100, data))
        check(got == b"", "%s: write xram 0100h, 252 bytes, answered empty" % label)
        got = host.request(read_xram(0x00F8, 255))
        check(got == bytes(known_xram(a) for a in range(0xF8, 0x100)) + data[:247],
              "%s: read back: written bytes in place, neighbours kept" % label)
        regs.check(host, "xram")

        # Internal RAM: plain bytes, the program's bank registers, the resident's stack.
        got = host.request(read_iram(0x00, 0x80))
        model = known_iram()
        skip = {0x41, 0x42} | set(range(STACK_START + 1, STACK_START + 1 + STACK_BUDGET)) | \
            set(STATE)
        check(got is not None and all(got[a] == model[a] for a in range(0x80) if a not in skip),
              "%s: read iram 00h..7Fh as the program filled it" % label)
        got = write_pieces(host, write_iram, 0x20, bytes(range(0xE0, 0xF0)), baud)
        check(got == b"" and host.request(read_iram(0x1F, 18)) ==
              bytes([model[0x1F]]) + bytes(range(0xE0, 0xF0)) + bytes([model[0x30]]),
              "%s: write iram 20h..2Fh, read back with neighbours" % label)
        write_pieces(host, write_iram, 0x20, model[0x20:0x30], baud)
        # A write of one data byte D has the sum -D: 40h and 25h make it C0h
        # and DBh, escaped, two bytes right after the data byte, which takes
        # the resident longer than a byte lasts at 115200 baud.
        for data in (0x40, 0x25):
            for maker, address, space in ((write_iram, 0x30, "iram"), (write_sfr, 0x8A, "sfr")):
                reader = read_iram if space == "iram" else read_sfr
                old = host.request(reader(address, 1))
                got = host.request(maker(address, [data]))
                back = host.request(reader(address, 1))
                host.request(maker(address, old or b"\x00"))
                check(got is not None and back == bytes([data]),
                      "%s: write %s %02Xh: %02Xh, its sum escaped, answered (%s) and read back "
                      "(%s)" % (label, space, address, data, got, back))
        for address, value in ((0x09, 0x5E), (0x0B, 0x5D), (0x0C, 0x5C)):
            # R1 and R3 are lent to the resident, R4 is not: all read and write alike.
            got = host.request(write_iram(address, [value]))
            regs.bank[address - 8] = value
            ok = got == b"" and host.request(read_iram(address, 1)) == bytes([value])
            check(ok and regs.check(host, "a write to R%d" % (address - 8)),
                  "%s: write iram %02Xh reaches the program's R%d" % (label, address, address - 8))
            host.request(write_iram(address, [KNOWN_BANK[address - 8]]))
            regs.bank[address - 8] = KNOWN_BANK[address - 8]
        if cpu == "8052":
            # Indirect 80h..FFh is the upper RAM of an 8052, not the SFRs.
            data = bytes(range(0x30, 0x50))
            got = write_pieces(host, write_iram, 0xE0, data, baud)
            back = host.request(read_iram(0xE0, 0x20))
            acc = host.request(read_sfr(0xE0, 1))
            check(got == b"" and back == data and acc == bytes([KNOWN_SFRS[0xE0]]),
                  "%s: write and read iram E0h..FFh: the upper RAM, not the SFRs (write %s, "
                  "read %s, ACC %s)" % (label, got, back.hex() if back else None,
                                        acc.hex() if acc else None))
        got = write_pieces(host, write_iram, STACK_START + 1, b"\xEE" * STACK_BUDGET, baud)
        check(got == b"" and counter(host) is not None,
              "%s: a write over the resident's own stack is skipped, the program runs on" % label)
        got = write_pieces(host, write_iram, STATE[0] - 2, b"\xEE" * (len(STATE) + 4), baud)
        after = host.request(read_iram(STATE[0] - 2, 2)), host.request(read_iram(STATE[-1] + 1 & 0xFF, 2))
        check(got == b"" and after[0] == b"\xEE\xEE" and counter(host) is not None,
              "%s: a write over the resident's own %d bytes skips them, writes the bytes "
              "around them, and the resident answers on" % (label, len(STATE)))
        write_pieces(host, write_iram, STATE[0] - 2, model[STATE[0] - 2:STATE[0]], baud)
        regs.check(host, "iram")

        # SFRs: plain ones by direct address, the lent ones as the program's.
        got = host.request(read_sfr(0x80, 0x80))
        ok = got is not None and len(got) == 0x80
        wrong = {} if not ok else {"%02Xh" % a: "%02X" % got[a - 0x80]
                                   for a, v in {**KNOWN_SFRS, **BAUD_SFRS[baud]}.items()
                                   if got[a - 0x80] != v}
        check(ok and not wrong, "%s: read sfr 80h..FFh: known values %s" % (label, wrong or "match"))
        got = host.request(write_sfr(0x8C, [0x77]))
        check(got == b"\x00" and host.request(read_sfr(0x8C, 1)) == b"\x77",
              "%s: write sfr TH0, nothing kept" % label)
        host.request(write_sfr(0x8C, [0x9C]))
        for address, value, slot in ((0xE0, 0x3D, 0), (0xF0, 0x5B, 1), (0x82, 0x78, 2),
                                     (0x83, 0x56, 3), (0xD0, 0xEC, 4)):
            got = host.request(write_sfr(address, [value]))
            regs.copies[slot] = value
            regs.parity()
            ok = got == b"\x00" and host.request(read_sfr(address, 1)) == bytes([value])
            check(ok and regs.check(host, "a write to SFR %02Xh" % address),
                  "%s: write sfr %02Xh reaches the program's own register" % (label, address))
            host.request(write_sfr(address, [KNOWN_COPIES[slot]]))
            regs.copies[slot] = KNOWN_COPIES[slot]
            regs.parity()
        got = host.request(write_sfr(facts.SFR_SP, [0x20]))
        check(got == b"\xFF" and host.request(read_sfr(facts.SFR_SP, 1)) == bytes([STACK_START]),
              "%s: a write to SP is skipped, answered FFh" % label)
        # The link's bits kept, as the facts name them for this build's baud
        # generator: IE's EA and ES; the baud generator's run bits (SCON
        # below, with SBUF). One mask per SFR written. IE and T2CON read as
        # the init set them, their kept bits only.
        timer = 1 if baud == 9600 else 2
        link = [(sfr.address, 0x00, sfr.kept,
                 sfr.kept if sfr.address in (facts.SFR_IE, facts.SFR_T2CON) else None)
                for sfr in facts.SFRS if sfr.timer in (0, timer) and 0 < sfr.kept < 0xFF and
                sfr.address != facts.SFR_SCON]
        for address, value, mask, want in link:
            before = host.request(read_sfr(address, 1))
            got = host.request(write_sfr(address, [value]))
            now = host.request(read_sfr(address, 1))
            ok = got == bytes([mask]) and before is not None and now is not None and \
                now[0] & mask == before[0] & mask and (want is None or now[0] == want)
            check(ok and identify_ok(host.request(IDENTIFY), page, baud),
                  "%s: a write of %02Xh to SFR %02Xh keeps bits %02Xh (answered %s, %s -> %s), "
                  "the link lives" % (label, value, address, mask, got and got.hex(),
                                      before and before.hex(), now and now.hex()))
            host.request(write_sfr(address, before or b"\x00"))
        scon = kept_bits(facts.SFR_SCON, timer)
        before = host.request(read_sfr(facts.SFR_SCON, 1))
        got = write_pieces(host, write_sfr, facts.SFR_SCON, b"\x00\x41", baud)
        now = host.request(read_sfr(facts.SFR_SCON, 1))
        check(got == bytes([scon, kept_bits(facts.SFR_SBUF, timer)]) and before and now and
              now[0] & scon == before[0] & scon and
              identify_ok(host.request(IDENTIFY), page, baud),
              "%s: SCON and SBUF in one write: mode, REN, TB8, TI, RI kept, SBUF skipped "
              "(answered %s, SCON %s -> %s)" % (label, got and got.hex(), before and before.hex(),
                                               now and now.hex()))
        regs.check(host, "sfr")

        # The budget: nothing of the internal RAM changed but the counter
        # and the resident's own state, and its stack stayed within budget.
        got = host.request(read_iram(0x00, 0x80))
        changed = [a for a in range(0x80) if got and got[a] != model[a] and
                   a not in (0x41, 0x42) and a not in STATE]
        beyond = [a for a in changed if not STACK_START < a <= STACK_START + STACK_BUDGET]
        reach = max(changed) - STACK_START if changed else 0
        check(got is not None and not beyond and 0 < reach <= STACK_BUDGET,
              "%s: the resident uses no internal RAM of its own (changed outside its stack: %s) "
              "and %d bytes of stack (at most %d)" % (label, beyond, reach, STACK_BUDGET))
        counts = host.until_moved(lambda: counter(host))
        check(None not in counts and counts[0] != counts[-1],
              "%s: the program's counter moves: %s" % (label, counts))


def test_commands():
    for page, fmt in ((0x80, "hex"), (0xA0, "bin"), (0xA0, "hex"), (0x80, "bin")):
        commands_at(page, fmt)


def test_fast():
    """115200 baud from timer 2 on an 8052."""
    commands_at(0x80, "hex", cpu="8052", resident_path=ARGS.resident_8052, baud=115200)
    stream(cpu="8052", resident_path=ARGS.resident_8052, baud=115200)
    beside_a_tick()


def beside_a_tick():
    """At 115200 baud beside the program's own interrupt (ticking.asm: 25
    cycles every 200, at the serial port's priority, which the 8051 serves
    first): reads and writes of 252 bytes of external RAM are answered, most
    at the first attempt. A byte the resident leaves waiting while the tick
    runs is overrun by the next one; a step that outlasts a byte (LEN, a
    write's ACHK and data bytes) must take the byte waiting at its end."""
    label = "beside a tick at 115200 baud"
    work = tempfile.mkdtemp(prefix="tick-", dir=WORK)
    resident = open(ARGS.resident_8052, "rb").read()
    program, image = merge(work, TICKING, 0x80, "hex", resident)
    with session(work, program, "8052") as sim:
        host = Host(sim)
        check(identify_ok(host.wait_ready(), 0x80, 115200), "%s: identify" % label)
        ticks = lambda: host.request(read_iram(0x30, 2))  # noqa: E731
        check(len(set(host.until_moved(ticks))) > 1, "%s: the program ticks" % label)
        # Each request is sent up to three times, as a host does. Before the
        # resident took a waiting byte at once, nearly every one was lost at
        # every attempt. The tick leaves the resident room (none of 42 long
        # writes lost); a tick a few cycles longer costs one now and then
        # (the resident's README, "Known limits"), which a host sends again.
        def attempts(ok):
            return next((k + 1 for k in range(3) if ok()), None)
        reads = [(a, attempts(lambda a=a: host.request(read_code(a, 64), timeout=1.0) ==
                              image[a:a + 64])) for a in range(0x8000, 0x8680, 0x40)]
        check(all(n is not None for _, n in reads) and
              sum(n == 1 for _, n in reads) * 2 > len(reads),
              "%s: %d reads of 64 bytes of the resident's code, most answered at once, all in "
              "3 attempts (attempts: %s)" % (label, len(reads), [n for _, n in reads]))
        writes = [bytes((k * 5 + n) & 0xFF for k in range(252)) for n in range(4)]
        tries = [attempts(lambda data=data: host.request(write_xram(0x0100, data), timeout=1.0) ==
                          b"" and sim.memory("dx", 0x0100, 0x01FB) == data) for data in writes]
        check(None not in tries and tries.count(1) * 2 > len(tries),
              "%s: writes of 252 bytes of external RAM in place, most answered at once, all in "
              "3 attempts (attempts: %s)" % (label, tries))


def test_stream():
    stream()
    writes_to_ie_inside_putchar()


def writes_to_ie_inside_putchar():
    """Writes to IE while the demo sits in +6 without pause: the resident's
    stack stays within its bytes above the SP +6 runs at (the demo: 5Fh, two
    calls deep: 63h), so the bytes above them (6Fh..73h) never change, and
    the demo's text comes whole. (Resident 2.0 answered a request inside +6,
    where a write to IE turned ES on again: a nested interrupt took the next
    request and the stack ran 26 bytes deep.)"""
    work = tempfile.mkdtemp(prefix="ie-", dir=WORK)
    resident = open(ARGS.resident, "rb").read()
    program, _ = merge(work, ARGS.demo, 0x80, "hex", resident)
    guard = bytes(range(0xA1, 0xA6))
    with session(work, program) as sim:
        host = Host(sim)
        check(identify_ok(host.wait_ready(), 0x80, 9600) and host.wait_text(DEMO_READY),
              "+6 and IE: the demo prints")
        check(host.request(write_iram(0x6F, guard)) == b"", "+6 and IE: guard bytes 6Fh..73h set")
        lines_before = host.text.count(b"\n")
        answers = [host.request(req) for _ in range(20)
                   for req in (write_sfr(facts.SFR_IE, [0x90]), write_sfr(facts.SFR_IE, [0x00]),
                               read_sfr(facts.SFR_SP, 1))]
        sps = {a[0] for a in answers[2::3] if a}
        got = host.request(read_iram(0x6F, 5))
        host.silence(0.1)
        text = host.text.decode("ascii", errors="replace")
        lines = [line for line in text.split("\r\n")[1:-1]]
        ie = bytes([kept_bits(facts.SFR_IE, 1)])
        check(all(a is not None for a in answers) and answers[0] == ie and
              host.request(read_sfr(facts.SFR_IE, 1)) == ie,
              "+6 and IE: 40 writes to IE answered, EA and ES kept")
        check(got == guard, "+6 and IE: the bytes above the resident's stack unchanged: %s" %
              (got.hex() if got else None))
        check(sps <= {0x5F, 0x61, 0x63} and 0x63 in sps,
              "+6 and IE: SP reads as the program's, 63h inside +6: %s" %
              sorted("%02Xh" % sp for sp in sps))
        check(host.text.count(b"\n") - lines_before > 3 and
              all(re.fullmatch(r"Tarlek demo [0-9A-F]{2}", line) for line in lines),
              "+6 and IE: the demo's lines whole meanwhile")


def stream(cpu="8051", resident_path=None, baud=9600):
    """The demo prints its line through +6 without pause while a stream of
    requests is answered: every answer intact, the text whole and in order.
    The stream goes on until it has taken 42 requests and the program has
    printed 40 lines around them: a slow simulator (a loaded machine) runs
    less of the program between two requests."""
    work = tempfile.mkdtemp(prefix="stream-", dir=WORK)
    resident = open(resident_path or ARGS.resident, "rb").read()
    program, image = merge(work, ARGS.demo, 0x80, "hex", resident)
    with session(work, program, cpu) as sim:
        host = Host(sim)
        check(identify_ok(host.wait_ready(), 0x80, baud), "stream: identify while the demo prints")
        # Until its first line is out, the demo has made no copies to read.
        check(host.wait_text(DEMO_READY), "stream: the demo has printed its first line")
        requests = [
            (IDENTIFY, None),
            (read_code(0x0030, 64), image[0x30:0x70]),
            (read_iram(0x48, 7), demo_copies(image)),
            (read_sfr(0x90, 1), b"\xFF"),
            (write_xram(0x0200, b"\x01\x02\x03\x04\x05\x06\x07\x08"), b""),
            (read_code(0x8000 + 0x380, 255), image[0x8380:0x8380 + 255]),
            (read_xram(0x0200, 8), b"\x01\x02\x03\x04\x05\x06\x07\x08"),
            (read_code(0x8000, 100), image[0x8000:0x8064]),
        ]
        answered = 0
        lines_before = host.text.count(b"\n")
        deadline = time.monotonic() + 120
        k = 0
        while k < 42 or (host.text.count(b"\n") - lines_before <= 40 and
                         time.monotonic() < deadline):
            req, want = requests[k % len(requests)]
            k += 1
            got = host.request(req)
            if want is None:
                ok = identify_ok(got, 0x80, baud)
            else:
                ok = got == want
            answered += ok
            if not ok:
                print("  request %d %r: got %s" % (k - 1, tuple(req), got.hex() if got else None))
        host.silence(0.1)
        text = host.text.decode("ascii", errors="replace")
        check(answered == k, "stream: %d of %d answers intact" % (answered, k))
        start = text.find("Tarlek demo ")
        ok = start >= 0
        if ok:
            first = int(text[start + 12:start + 14], 16)
            expected = "".join("Tarlek demo %02X\r\n" % ((first + k) & 0xFF)
                               for k in range(len(text) // 16 + 2))
            ok = text[start:] == expected[:len(text) - start]
        lines = host.text.count(b"\n") - lines_before
        check(ok and lines > 40 and not host.frames,
              "stream: the program's text whole and in order around the answers (%d lines)" % lines)


def noise(rng, n):
    """n random bytes rich in start (C0h) and escape (DBh) bytes; no write
    request can come out of them (the byte after each C0h is never a
    write's command): writes are no host's slip."""
    start, escape = facts.FRAME_START, facts.FRAME_ESCAPE
    writes = {command.code for command in facts.COMMANDS if command.at_least}
    out = bytearray()
    for _ in range(n):
        pick = rng.randrange(8)
        out.append(start if pick < 2 else escape if pick == 2 else rng.randrange(256))
    for k in range(len(out) - 1):
        if out[k] == start and out[k + 1] in writes:
            out[k + 1] = facts.CMD_READ_CODE
    return bytes(out)


def test_bad_input():
    """Damaged requests are dropped without an answer; a good request after
    each is answered, the program's counter still moves, and nothing of the
    program's internal RAM changes outside what good writes name."""
    work = tempfile.mkdtemp(prefix="bad-", dir=WORK)
    resident = open(ARGS.resident, "rb").read()
    program, _ = merge(work, ARGS.known_state, 0xA0, "hex", resident)
    rng = random.Random(2026)
    bad_sum = bytearray(frame(IDENTIFY, 0x31))
    bad_sum[-1] ^= 0x01
    bad_achk = bytearray(frame(write_iram(0x20, b"\x11\x22"), 0x32))
    bad_achk[5] ^= 0x10
    escape = facts.FRAME_ESCAPE
    broken_escape = frame(read_iram(escape, 1), 0x33).replace(
        bytes([escape, facts.FRAME_ESCAPED_ESCAPE]), bytes([escape, 0x41]))
    cases = [
        ("a request cut short", [frame(read_code(0x0000, 16), 0x30)[:4]]),
        ("a bad checksum", [bytes(bad_sum)]),
        ("a bad address check on a write", [bytes(bad_achk)]),
        ("an unknown command", [frame(Req(facts.CMD_LAST + 1, b"\x00"), 0x34)]),
        ("command 00h", [frame(Req(0x00), 0x35)]),
        ("an answer's command", [frame(Req(answer_cmd(facts.CMD_IDENTIFY)), 0x36)]),
        ("a length that does not fit the command",
         [frame(Req(facts.CMD_READ_CODE, b"\x00\x00"), 0x37)]),
        ("a write without data", [frame(Req(facts.CMD_WRITE_IRAM, b"\x20\xD3"), 0x38)]),
        ("a count of 0", [frame(read_iram(0x00, 0), 0x39)]),
        ("an SFR below 80h", [frame(read_sfr(0x7F, 1), 0x3A)]),
        ("a write of SFR 30h (internal RAM 30h must stay)", [frame(write_sfr(0x30, b"\x99"), 0x3B)]),
        ("SFRs past FFh", [frame(read_sfr(0xF0, 0x11), 0x3C)]),
        ("a write of SFRs past FFh", [frame(write_sfr(0xFF, b"\x00\x00"), 0x3D)]),
        ("DBh followed by neither DCh nor DDh", [broken_escape]),
        ("a protocol 2 identify", [b"\xA5\x01\x00\xFF"]),
        ("400 random bytes rich in C0h and DBh", [noise(rng, 400)]),
        ("a gap of 0.3 s inside a request, then the rest never comes",
         [frame(read_iram(0x00, 4), 0x3E)[:3], frame(read_iram(0x00, 4), 0x3E)[3:5]]),
    ]
    with session(work, program) as sim:
        host = Host(sim)
        check(identify_ok(host.wait_ready(), 0xA0, 9600) and known_state_ready(host),
              "bad input: the resident is up, the program ready")
        model = known_iram()
        for what, parts in cases:
            for k, part in enumerate(parts):
                if k:
                    time.sleep(0.3)
                sim.send(part)
            answers = host.silence(0.25)
            before = counter(host)
            answer = host.request(IDENTIFY)
            after = counter(host)
            late, host.frames = host.frames, []
            check(not answers and not late and identify_ok(answer, 0xA0, 9600) and
                  before is not None and after is not None and after != before,
                  "bad input: %s: no answer %s, then identify answered, counter %s -> %s" %
                  (what, answers + late, before, after))

        # A C0h always begins a new frame: the request cut short by it is
        # dropped, the one it begins is answered.
        seq = host.next_seq()
        sim.send(frame(read_code(0x0000, 16), 0x40)[:6] + frame(read_iram(0x48, 6), seq))
        got = host.wait_answer(read_iram(0, 0).cmd, seq)
        check(got == KNOWN_COPIES and not host.silence(0.25),
              "bad input: a C0h inside a frame drops it and begins the next, which is answered")

        # A request that comes while an answer goes out is not taken; the
        # next one after the answer is.
        first, second = host.next_seq(), host.next_seq()
        sim.send(frame(read_code(0x0000, 200), first) + frame(read_iram(0x48, 6), second))
        got = host.wait_answer(facts.CMD_READ_CODE, first)
        stray = host.silence(0.5)
        check(got is not None and len(got) == 200 and not stray and
              host.request(read_iram(0x48, 6)) == KNOWN_COPIES,
              "bad input: a request sent during an answer gets none (%s); the next is answered" %
              stray)

        # Back to back: each request sent the moment the answer before it is in.
        reqs = [(read_iram(0x48, 6), KNOWN_COPIES), (read_xram(0x0010, 4), bytes(
            (a ^ 0x5A) for a in range(0x10, 0x14))), (read_sfr(0x8C, 1), b"\x9C")] * 10
        wrong = [k for k, (req, want) in enumerate(reqs) if host.request(req) != want]
        check(not wrong, "bad input: 30 requests back to back, all answered right (wrong: %s)" %
              wrong)

        # Writes over the resident's stack and state: the range written
        # where it is the program's, nothing outside, and the resident on.
        data = bytes(rng.randrange(256) for _ in range(0x30))
        got = host.request(write_iram(0x50, data))
        for a in range(0x50, 0x80):
            if not STACK_START < a <= STACK_START + STACK_BUDGET and a not in STATE:
                model[a] = data[a - 0x50]
        ram = host.request(read_iram(0x00, 0x80))
        ignore = {0x41, 0x42} | set(range(0x48, 0x58)) | set(STATE) | \
            set(range(STACK_START + 1, STACK_START + 1 + STACK_BUDGET))
        wrong = [a for a in range(0x80) if a not in ignore and ram and ram[a] != model[a]]
        check(got == b"" and ram is not None and not wrong,
              "bad input: a write of 50h..7Fh over the resident's stack and state writes the "
              "program's bytes only; RAM that differs: %s" % ["%02Xh" % a for a in wrong])
        got = host.request(read_iram(0x20, 2))
        check(got == bytes([0xDF, 0xDE]), "bad input: nothing written by a bad address check")
        got = host.request(read_iram(0x30, 1))
        check(got == bytes([model[0x30]]), "bad input: nothing written by a write of SFR 30h")
        counts = host.until_moved(lambda: counter(host))
        check(None not in counts and counts[0] != counts[-1],
              "bad input: the program's counter moves at the end: %s" % counts)


def test_banks():
    """known_state.asm run in each register bank: the bank's R0..R7 read and
    written through internal RAM are the program's own registers (the
    resident lends R0..R3 of the program's bank while it answers), and the
    other banks' bytes are plain RAM, read and written as they are."""
    resident = open(ARGS.resident, "rb").read()
    for bank in range(4):
        label = "bank %d" % bank
        work = tempfile.mkdtemp(prefix="bank%d-" % bank, dir=WORK)
        source = os.path.join(work, "known_state.asm")
        with open(source, "w") as f:
            f.write(set_page(read_file(ARGS.known_state), r"(\.equ\s+BANK,\s*)\d+",
                             r"\g<1>%d" % bank, "known_state.asm's bank"))
        program, _ = merge(work, source, 0x80, "hex", resident)
        model = bytearray((~a) & 0xFF for a in range(0x20))
        model[0] = 0xFF
        model[bank * 8:bank * 8 + 8] = KNOWN_BANK
        with session(work, program) as sim:
            host = Host(sim)
            if not check(identify_ok(host.wait_ready(), 0x80, 9600) and known_state_ready(host),
                         "%s: the resident is up, the program ready" % label):
                continue
            got = host.request(read_iram(0x00, 0x20))
            check(got == bytes(model), "%s: read iram 00h..1Fh: the program's registers at %02Xh, "
                  "the other banks as filled: %s" % (label, bank * 8, got.hex() if got else None))
            got = host.request(read_sfr(facts.SFR_PSW, 1))
            check(got == bytes([0xC4 + bank * 8]), "%s: read sfr PSW: the program's bank" % label)
            new = bytes((a * 13 + 0x71 + bank) & 0xFF for a in range(0x20))
            for what, data in (("new bytes", new), ("the old bytes back", bytes(model))):
                got = host.request(write_iram(0x00, data))
                # The program copies R0..R7 to 50h..57h on every pass: read
                # until a pass has run since the write.
                host.until_moved(lambda: host.request(read_iram(0x41, 1)))
                copies = host.request(read_iram(0x50, 8))
                check(got == b"" and copies == data[bank * 8:bank * 8 + 8] and
                      host.request(read_iram(0x00, 0x20)) == data,
                      "%s: write iram 00h..1Fh, %s: the program's R0..R7 are the bytes at %02Xh "
                      "(%s), the other banks' bytes read back" %
                      (label, what, bank * 8, copies.hex() if copies else None))


def test_negative():
    """Negative control: the same code with every flag cleared, so it is
    laid at the page exactly as assembled at 0000h, must fail."""
    resident = open(ARGS.resident, "rb").read()
    n = resident[0] | resident[1] << 8
    unrelocated = resident[:2] + bytes(n) + resident[2 + n:]
    for page in (0x80, 0xA0):
        work = tempfile.mkdtemp(prefix="neg-", dir=WORK)
        program, _ = merge(work, ARGS.known_state, page, "hex", unrelocated)
        with session(work, program) as sim:
            host = Host(sim)
            answer = host.wait_ready(tries=3)
            check(not identify_ok(answer, page, 9600),
                  "negative control at %02Xh fails the identify check (%s)" %
                  (page, identify_fields(answer) if answer else "no answer"))


def test_builder():
    """The resident builder refuses a body with an AJMP, naming its offset."""
    work = tempfile.mkdtemp(prefix="builder-", dir=WORK)
    body = os.path.join(work, "body.asm")
    with open(body, "w") as f:
        f.write("start:  nop\n        ljmp start\n        ajmp start\n        ret\n")
    hexes = []
    for origin in ("0000h", "0100h"):
        wrapper = os.path.join(work, "at%s.asm" % origin)
        with open(wrapper, "w") as f:
            f.write("\t.org %s\n\t.inc %s\n\t.end\n" % (origin, body))
        assert run([ARGS.as31, wrapper], work).returncode == 0
        hexes.append(wrapper[:-4] + ".hex")
    out = os.path.join(work, "refused.bin")
    result = run([ARGS.builder] + hexes + [out], work)
    text = result.stdout.decode(errors="replace")
    check(result.returncode == 1 and "ERROR - byte at offset 0004h" in text and
          "offset 0002h" not in text and not os.path.exists(out),
          "the builder refuses an AJMP, naming its offset: %r" % text.strip())
    test_bundled_examples_are_fresh(work)


GROUPS = {"commands": test_commands, "stream": test_stream, "bad_input": test_bad_input,
          "fast": test_fast, "banks": test_banks, "negative": test_negative,
          "builder": test_builder}
WORK = None


def start(args, work):
    global ARGS, WORK
    ARGS, WORK = args, work


def main():
    return run_groups(GROUPS, ("tarlek", "builder", "resident", "resident-8052", "include",
                                "demo", "known-state", "as31", "s51", "version"),
                       "tarlek-sim-", start)


if __name__ == "__main__":
    sys.exit(main())

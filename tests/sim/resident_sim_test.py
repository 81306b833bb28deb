#!/usr/bin/env python3
"""End to end: the demo program, assembled with as31 for a page, merged with
the resident by tarlek (from .hex and from .bin), runs in the s51 simulator;
commands go in on the serial line and the resident's answers come back
through the serial interrupt vector. A resident laid at the page without
relocation must fail the same checks. Also: the resident builder refuses a
body with an AJMP, naming its offset.

Every file lives in a private temporary directory. Exit status 0 when every
check passes."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ARGS = None
FAILURES = []

# What the demo's loop keeps in A, B, DPL, DPH, PSW, R0 and SP (48h..4Eh).
DEMO_REGISTERS = bytes([0x3C, 0xC3, 0x34, 0x12, 0x08, 0xA0, 0x5F])


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        FAILURES.append(what)
    return condition


def run(cmd, cwd, **kw):
    return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120, **kw)


def hex_records(data):
    """A raw image from 0000h as Intel HEX text, for the simulator to load."""
    lines = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        record = bytes([len(chunk), at >> 8, at & 0xFF, 0]) + chunk
        lines.append(":" + record.hex().upper() + "%02X" % (-sum(record) & 0xFF))
    return "\n".join(lines + [":00000001FF"]) + "\n"


def assemble_demo(work, page, fmt):
    """The demo with its page symbol set to page; returns the output name."""
    source = open(ARGS.demo).read()
    # as31 wants a digit first: 0A0h.
    source, count = re.subn(r"(\.equ\s+TARLEK_PAGE,\s*)\w+", r"\g<1>0%02Xh" % page, source)
    assert count == 1, "the demo defines TARLEK_PAGE once"
    with open(os.path.join(work, "demo.asm"), "w") as f:
        f.write(source)
    shutil.copy(ARGS.include, os.path.join(work, "Tarlek.inc"))
    out = "demo." + fmt
    flags = ["-Fbin", "-O" + out] if fmt == "bin" else ["-O" + out]
    result = run([ARGS.as31] + flags + ["demo.asm"], work)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    return out


def merge(work, page, fmt, resident):
    """Assembles the demo for page, merges resident (file bytes) into it with
    tarlek, and returns the merged image as Intel HEX text."""
    name = assemble_demo(work, page, fmt)
    with open(os.path.join(work, "tarlek.bin"), "wb") as f:
        f.write(resident)
    result = run([ARGS.tarlek, name], work)
    text = result.stdout.decode(errors="replace")
    assert "Tarlek is now located at %02X00h" % page in text, text
    with open(os.path.join(work, name), "rb") as f:
        merged = f.read()
    return merged.decode() if fmt == "hex" else hex_records(merged)


def simulate(work, program_hex, command, answer_length):
    """Runs the merged program in s51, sends command on the serial line, and
    returns (answer bytes, internal RAM 00h..7Fh, external RAM 0000h..00FFh)."""
    sim = os.path.join(work, "sim")
    os.makedirs(sim, exist_ok=True)
    with open(os.path.join(sim, "prog.hex"), "w") as f:
        f.write(program_hex)
    with open(os.path.join(sim, "rx.bin"), "wb") as f:
        f.write(command)
    for stale in ("tx.bin", "iram.bin", "xram.bin"):
        if os.path.exists(os.path.join(sim, stale)):
            os.remove(os.path.join(sim, stale))
    # Serial input is taken in simulated time; the run stops at the last byte
    # of the expected answer going into SBUF (99h), and a few thousand
    # instructions more let it shift out and the program run on.
    with open(os.path.join(sim, "cmds.txt"), "w") as f:
        f.write('file "prog.hex"\n'
                "uart0_check_often=1\n"
                "fill iram 0 0x7f 0\n"
                "fill xram 0 0xff 0\n"
                "break sfr w 0x99 %d\n"
                "step 200000\n"
                "step 5000\n"
                "dump /b iram 0 0x7f >iram.bin\n"
                "dump /b xram 0 0xff >xram.bin\n"
                "quit\n" % max(answer_length, 1))
    run([ARGS.s51, "-t", "8051", "-b", "-S", "in=rx.bin,out=tx.bin", "-C", "cmds.txt"], sim)

    def read(name):
        path = os.path.join(sim, name)
        return open(path, "rb").read() if os.path.exists(path) else b""

    return read("tx.bin"), read("iram.bin"), read("xram.bin")


def identify_answer(page):
    return b"Tarlek 1.0 at %02X00h\r\n" % page


def check_identify(work, program_hex, page, label):
    """The identify check: True when the program ran and the resident named its page."""
    expected = identify_answer(page)
    answer, iram, _ = simulate(work, program_hex, b"I", len(expected))
    ok = answer == expected and len(iram) == 0x80 and iram[0x40] == 0x5A
    ok = ok and iram[0x48:0x4F] == DEMO_REGISTERS
    return ok, "%s: identify answered %r, demo marker and registers %s" % (
        label, answer, iram[0x40:0x41].hex() + " " + iram[0x48:0x4F].hex())


def test_bundled_examples_are_fresh(work):
    """examples/demo.hex and demo.bin are the demo as it assembles (page 80h)."""
    for fmt in ("hex", "bin"):
        name = assemble_demo(work, 0x80, fmt)
        with open(os.path.join(work, name), "rb") as fresh, \
                open(os.path.join(os.path.dirname(ARGS.demo), name), "rb") as bundled:
            check(fresh.read() == bundled.read(), "examples/%s is what demo.asm assembles to" % name)


def test_pages_and_forms(work, resident):
    for page in (0x80, 0xA0):
        for fmt in ("hex", "bin"):
            program = merge(work, page, fmt, resident)
            ok, what = check_identify(work, program, page, "page %02Xh from .%s" % (page, fmt))
            check(ok, what)


def test_commands(work, resident):
    """The rest of the protocol, one command per run (the host waits for each answer)."""
    page = 0xA0
    program = merge(work, page, "hex", resident)

    answer, _, _ = simulate(work, program, b"C\x00\x00\x06", 6)
    check(answer == bytes([0x12, page, 0x00, 0x02, 0x00, 0x30]),
          "C reads the hooks at 0000h: %s" % answer.hex())
    answer, _, _ = simulate(work, program, bytes([ord("C"), page, 0x00, 0x06]), 6)
    check(len(answer) == 6 and answer[0] == answer[3] == 0x02 and answer[1] == answer[4] == page,
          "C reads the two relocated long jumps at %02X00h: %s" % (page, answer.hex()))

    answer, _, _ = simulate(work, program, b"R\x48\x07", 7)
    check(answer == DEMO_REGISTERS, "R reads the demo's register copies: %s" % answer.hex())

    answer, iram, _ = simulate(work, program, b"W\x50\x03\xAB\xCD\xEF", 1)
    check(answer == b"K" and iram[0x50:0x53] == b"\xAB\xCD\xEF" and
          iram[0x48:0x4F] == DEMO_REGISTERS,
          "W writes internal RAM: %r, %s" % (answer, iram[0x50:0x53].hex()))

    answer, _, xram = simulate(work, program, b"Y\x00\x10\x02\x11\x22", 1)
    check(answer == b"K" and xram[0x10:0x12] == b"\x11\x22",
          "Y writes external RAM: %r, %s" % (answer, xram[0x10:0x12].hex()))

    answer, _, _ = simulate(work, program, b"X\x00\x00\x04", 4)
    check(answer == b"\x00\x00\x00\x00", "X reads external RAM: %s" % answer.hex())

    answer, iram, _ = simulate(work, program, b"Z", 1)
    check(answer == b"?" and iram[0x48:0x4F] == DEMO_REGISTERS,
          "an unknown command gets '?': %r" % answer)


def test_unrelocated_resident_fails(work, resident):
    """Negative control: the same code with every flag cleared, so it is laid
    at the page exactly as assembled at 0000h."""
    n = resident[0] | resident[1] << 8
    unrelocated = resident[:2] + bytes(n) + resident[2 + n:]
    for page in (0x80, 0xA0):
        program = merge(work, page, "hex", unrelocated)
        ok, what = check_identify(work, program, page, "unrelocated at %02Xh" % page)
        check(not ok, "negative control fails the check (%s)" % what)


def test_builder_refuses_ajmp(work):
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


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("tarlek", "builder", "resident", "include", "demo", "as31", "s51"):
        parser.add_argument("--" + name, required=True)
    ARGS = parser.parse_args()
    for name, value in vars(ARGS).items():
        if os.path.exists(value):
            setattr(ARGS, name, os.path.abspath(value))
    with open(ARGS.resident, "rb") as f:
        resident = f.read()
    work = tempfile.mkdtemp(prefix="tarlek-sim-")
    try:
        test_bundled_examples_are_fresh(work)
        test_pages_and_forms(work, resident)
        test_commands(work, resident)
        test_unrelocated_resident_fails(work, resident)
        test_builder_refuses_ajmp(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

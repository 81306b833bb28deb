#!/usr/bin/env python3
"""SDCC programs with the resident's hooks: resident/tarlek.h for C and
resident/tarlek_sdas.inc for sdas8051.

--part build (no simulator): the header's page checks, the 48-byte block at
0000h, a second inclusion, a second including file, a program without the
header (tarlek refuses it), a program that reaches the resident's page (the
linker refuses it with --code-size), and the sdas8051 demo merging to the
same image as the as31 demo.

--part sim: examples/demo_c.c, in the small and the large memory model at
two pages (and the medium and huge ones at one), and examples/demo_sdas.asm
at two pages, merged by tarlek, run in the s51 simulator after it filled RAM
with 55h: the resident answers identify, SDCC's start-up initialised and
cleared the globals, main's and timer 0's counters move, and the programs'
text arrives on the serial line between the resident's answers.

Every file lives in a private temporary directory. Exit status 0 when every
check passes (without as31 the comparison with its demo is skipped)."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing is written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_support import (  # noqa: E402
    Host, assemble, check, facts, hex_image, identify_fields, merge_file, read_file, read_iram,
    read_xram, report, run, session, set_page, skip, tool_args)

ARGS = None

NOT_INCLUDED = "ERROR - File Tarlek.inc is not included into source program!"
# Where the state may lie: off the reset call's return address (08h..09h),
# its bytes below 100h.
STATE_LOWEST = facts.STATE_LOWEST
STATE_HIGHEST = 0x100 - facts.STATE_BYTES
STATE_LIMITS_NAME = "TARLEK_RAM_must_lie_in_%02Xh_to_%02Xh" % (STATE_LOWEST, STATE_HIGHEST)
FILL = 0x55
# The C demo's --stack-size: what it leaves the stack in the small model,
# where internal RAM is tight, and room enough in the others (demo_c.c).
DEMO_STACK = {"small": "38", "medium": "48", "large": "48", "huge": "48"}
DEMO_C_GREETING = b"Hello from C: marker 5A, xmarker 1234\r\n"
# The C demo's runs: small and large at two pages, medium and huge once,
# with the state where the linker puts it; and once with its place given at
# the top of internal RAM, the linker's RAM ending below it (in the large
# model: the small one's globals leave its stack too little room below 74h).
C_DEMO_RUNS = ((0x20, "small", None), (0x20, "large", None), (0x80, "small", None),
               (0x80, "large", None), (0x80, "medium", None), (0x80, "huge", None),
               (0x80, "large", "0x74"))


def at_text(address):
    return "%02Xh" % address if address is not None else "nowhere"


def last_line(text):
    lines = text.strip().splitlines()
    return lines[-1].strip() if lines else ""


def fresh_dir(work, name):
    path = os.path.join(work, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


# ---------------------------------------------------------------- building


def sdcc_command(page, model, source, code_size=None, state_at=None, iram="128"):
    """The compiler line of the README, for a page and a memory model; with
    state_at (text) the state's place given; iram: the RAM the linker uses."""
    cmd = [ARGS.sdcc, "-mmcs51"]
    if page is not None:
        cmd.append("-DTARLEK_PAGE=" + page)
    if state_at is not None:
        cmd.append("-DTARLEK_STATE_AT=" + state_at)
    cmd += ["--code-loc", "0x0030", "--code-size", "0x%04X" % (code_size or 0x8000),
            "--iram-size", iram, "--stack-size", DEMO_STACK[model], "-I" + ARGS.hooks]
    if model != "small":
        cmd.append("--model-" + model)
    if model == "huge":
        # The huge model's banked calls write the code bank to PSBANK; a
        # plain 8051 has one bank, and F8h is an SFR address it leaves free.
        cmd.append("-Wl-g_PSBANK=0xF8")
    return cmd + [source]


def compile_c(work, name, text, page, model="small", code_size=None, state_at=None,
              iram="128"):
    """Compiles text as name.c in its own directory; returns (directory,
    sdcc's result). page is the text given to -DTARLEK_PAGE, or None;
    state_at the text given to -DTARLEK_STATE_AT, or None."""
    where = fresh_dir(work, name)
    with open(os.path.join(where, name + ".c"), "w") as f:
        f.write(text)
    if code_size is None and page is not None:
        code_size = int(page, 16) * 256
    result = run(sdcc_command(page, model, name + ".c", code_size, state_at, iram), where,
                 combined=True)
    return where, result


def pack(where, name):
    """packihx name.ihx > name.hex, as a developer runs it (its report goes
    to standard error)."""
    with open(os.path.join(where, name + ".hex"), "wb") as out:
        result = subprocess.run([ARGS.packihx, name + ".ihx"], cwd=where, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 0, "packihx failed on %s.ihx" % name
    return name + ".hex"


def merge(where, hex_name):
    """tarlek on the file, with tarlek.bin beside it: (exit status, output)."""
    return merge_file(where, hex_name, read_file(ARGS.resident, "rb"))


def image_of(where, hex_name):
    return hex_image(read_file(os.path.join(where, hex_name)))


def map_symbols(path):
    """Global symbols and their addresses from an SDCC link map."""
    symbols = {}
    for line in open(path):
        found = re.match(r"^(?:[A-Z]:)?\s+([0-9A-F]{8})\s+(_\w+)\s", line)
        if found:
            symbols[found.group(2)] = int(found.group(1), 16)
    return symbols


def demo_c_source():
    with open(os.path.join(ARGS.examples, "demo_c.c")) as f:
        return f.read()


# Where the hook block holds MOV R0,#state / RET.
STATE_HOOK = slice(facts.HOOK_STATE, facts.HOOK_STATE + 3)


def state_hook(state):
    """The bytes at 0006h: MOV R0,#state / RET."""
    return [facts.OPCODE_MOV_R0, state, facts.OPCODE_RET]


def expected_hooks(page):
    """What tarlek.h promises at 0000h..002Fh; None where it promises nothing."""
    block = [None] * 0x30
    ljmp = facts.OPCODE_LJMP
    reset, main, hook = facts.HOOK_RESET, facts.HOOK_MAIN, facts.HOOK_STATE
    serial = facts.HOOK_SERIAL
    block[reset:reset + 3] = [facts.OPCODE_LCALL, page, facts.ENTRY_INIT]
    block[main:main + 3] = [ljmp, 0x00, 0x30]  # SDCC's start-up, first in its table
    block[hook] = facts.OPCODE_MOV_R0   # MOV R0,#state (its address: the linker's or given)
    block[hook + 2] = facts.OPCODE_RET
    for vector in (0x0B, 0x13, 0x1B, 0x2B):
        block[vector:vector + 3] = [ljmp, 0x00, 0x30 + vector]
    block[serial:serial + 3] = [ljmp, page, facts.ENTRY_SERIAL]
    return block


MINIMAL = '#include <8051.h>\n#include "tarlek.h"\nvoid main(void) { for (;;) P1++; }\n'


def test_page_definition(work):
    """Missing or out-of-range pages stop the compiler; the edges work and
    give the block at 0000h, with SDCC's own table moved to 0030h."""
    for page, accepted in ((None, False), ("0x00", False), ("0xFF", False), ("0x100", False),
                           ("0x01", True), ("0xFE", True)):
        where, result = compile_c(work, "page", MINIMAL, page)
        label = "TARLEK_PAGE %s" % (page or "undefined")
        if not accepted:
            check(result.returncode != 0 and "TARLEK_PAGE" in result.stdout,
                  "%s stops the compiler: %s" % (label, last_line(result.stdout)))
            continue
        if not check(result.returncode == 0, "%s compiles %s" % (label, last_line(result.stdout))):
            continue
        image = image_of(where, pack(where, "page"))
        block = expected_hooks(int(page, 16))
        wrong = [at for at in range(0x30) if block[at] is not None and image[at] != block[at]]
        check(not wrong and image[0x30] == facts.OPCODE_LJMP,
              "%s: the hooks at 0000h..002Fh and SDCC's jump to its start-up at 0030h "
              "(wrong at %s)" % (label, ", ".join("%04Xh" % at for at in wrong) or "none"))


def test_state_place(work):
    """Where 0007h puts the state: two bytes into tarlek_ram, wherever the
    linker places it (never on 08h..09h, where the call at reset keeps its
    return address while the resident's init clears the state: MINIMAL has
    no variables of its own, so tarlek_ram lies at 08h), or the place given
    with TARLEK_STATE_AT, from 0Ah to F4h."""
    edges = [("0x%02X" % at, accepted) for at, accepted in (
        (STATE_LOWEST - 2, False), (STATE_LOWEST - 1, False), (STATE_LOWEST, True),
        (STATE_HIGHEST, True), (STATE_HIGHEST + 1, False))]
    for given, accepted in [(None, True)] + edges:
        label = "TARLEK_STATE_AT %s" % (given or "undefined")
        where, result = compile_c(work, "state", MINIMAL, "0x80", state_at=given)
        if not accepted:
            check(result.returncode != 0 and "TARLEK_STATE_AT" in result.stdout,
                  "%s stops the compiler: %s" % (label, last_line(result.stdout)))
            continue
        if not check(result.returncode == 0, "%s compiles %s" % (label, last_line(result.stdout))):
            continue
        image = image_of(where, pack(where, "state"))
        symbols = map_symbols(os.path.join(where, "state.map"))
        if given is None:
            place, expected = symbols.get("_tarlek_ram"), symbols.get("_tarlek_ram", -2) + 2
            check(expected == STATE_LOWEST and image[STATE_HOOK] == state_hook(expected),
                  "%s: tarlek_ram at %s, 0006h: MOV R0,#0Ah / RET: %s" %
                  (label, at_text(place), image[STATE_HOOK]))
        else:
            expected = int(given, 16)
            check(image[STATE_HOOK] == state_hook(expected) and "_tarlek_ram" not in symbols,
                  "%s: 0006h holds MOV R0,#%02Xh / RET, no tarlek_ram: %s" %
                  (label, expected, image[STATE_HOOK]))


def test_inclusions(work):
    """Twice in one file changes nothing; two files including it are refused."""
    once = compile_c(work, "once", MINIMAL, "0x80")
    twice = compile_c(work, "twice", MINIMAL.replace('"tarlek.h"\n', '"tarlek.h"\n'
                                                     '#include "tarlek.h"\n'), "0x80")
    if check(once[1].returncode == 0 and twice[1].returncode == 0,
             "a second #include in the same file compiles %s" % last_line(twice[1].stdout)):
        check(image_of(once[0], pack(once[0], "once")) ==
              image_of(twice[0], pack(twice[0], "twice")),
              "a second #include in the same file gives the same image")

    where = fresh_dir(work, "two_files")
    with open(os.path.join(where, "a.c"), "w") as f:
        f.write(MINIMAL)
    with open(os.path.join(where, "b.c"), "w") as f:
        f.write('#include "tarlek.h"\nint other(void) { return 1; }\n')
    for name in ("a", "b"):
        result = run([ARGS.sdcc, "-c", "-mmcs51", "-DTARLEK_PAGE=0x80", "-I" + ARGS.hooks,
                      name + ".c"], where, combined=True)
        assert result.returncode == 0, result.stdout
    link = sdcc_command("0x80", "small", "a.rel")[:-1] + ["a.rel", "b.rel"]
    result = run([c for c in link if not c.startswith("-D") and not c.startswith("-I")], where,
                 combined=True)
    check(result.returncode != 0 and "Multiple definition of _putchar" in result.stdout,
          "two files including tarlek.h are refused by the linker: %s" %
          result.stdout.strip().replace("\n", "; "))


def test_refusals(work):
    """Negative controls: without the header tarlek refuses the program (with
    and without --code-loc); a program reaching the resident's page is
    refused by the linker, while a slightly smaller one merges."""
    bare = MINIMAL.replace('#include "tarlek.h"\n', "")
    for label, cmd in (("with --code-loc 0x0030", sdcc_command(None, "small", "bare.c")),
                       ("as SDCC places it by default", [ARGS.sdcc, "-mmcs51", "bare.c"])):
        where = fresh_dir(work, "bare")
        with open(os.path.join(where, "bare.c"), "w") as f:
            f.write(bare)
        assert run(cmd, where).returncode == 0
        status, text = merge(where, pack(where, "bare"))
        check(status == 1 and NOT_INCLUDED in text,
              "tarlek refuses a program built without tarlek.h, %s: %s" % (label, last_line(text)))

    # At page 10h the program must end below 1000h.
    table = ('__code const unsigned char table[%s] = {1};\n'
             'void main(void) { for (;;) P1 = table[P1]; }\n')
    for size, fits in (("0x0E00", True), ("0x0F80", False)):
        text = MINIMAL.replace("void main(void) { for (;;) P1++; }\n", table % size)
        where, result = compile_c(work, "big", text, "0x10")
        if fits:
            ok = result.returncode == 0
            if ok:
                status, out = merge(where, pack(where, "big"))
                ok = status == 0 and "Tarlek is now located at 1000h" in out
            check(ok, "a %s-byte table below the page at 1000h links and merges" % size)
        else:
            check(result.returncode != 0 and "Insufficient ROM" in result.stdout,
                  "--code-size 0x1000 refuses a program reaching 1000h: %s" %
                  last_line(result.stdout))


def build_sdas_demo(work, page, ram=None):
    """examples/demo_sdas.asm with its page set to the text page (None: the
    definition left out) and its state's place to the text ram (None: as it
    is), assembled, linked and packed as its comment says. Returns
    (directory, hex name or None, the assembler's or linker's output)."""
    where = fresh_dir(work, "sdas_%s_%s" % (page, ram))
    with open(os.path.join(where, "demo_sdas.asm"), "w") as f:
        source = os.path.join(ARGS.examples, "demo_sdas.asm")
        text = set_page(read_file(source), r"(?m)^\s*TARLEK_PAGE\s*=\s*\w+",
                        "        TARLEK_PAGE = " + page if page else "", source)
        if ram:
            text = set_page(text, r"(?m)^\s*TARLEK_RAM\s*=\s*\w+",
                            "        TARLEK_RAM = " + ram, source)
        f.write(text)
    for cmd in ([ARGS.sdas, "-I" + ARGS.hooks, "-o", "demo_sdas.rel", "demo_sdas.asm"],
                [ARGS.sdld, "-n", "-i", "demo_sdas.ihx", "demo_sdas.rel"]):
        result = run(cmd, where, combined=True)
        if result.returncode != 0:
            return where, None, result.stdout
    return where, pack(where, "demo_sdas"), result.stdout


def test_sdas_page_definition(work):
    """The sdas8051 include does not check the page itself: a missing one
    stops the assembler; tarlek refuses page 00h (under the program) and
    FFh (too high for any resident of 254 bytes or more). The include
    refuses a state on 08h..09h or past FFh."""
    where, name, text = build_sdas_demo(work, None)
    check(name is None and "undefined symbol" in text,
          "sdas8051 stops without TARLEK_PAGE: %s" % last_line(text.split("removing")[0]))
    for page, complaint in (("0x00", "under end address"), ("0xFF", "exceeds address FFFFh")):
        where, name, text = build_sdas_demo(work, page)
        status, text = merge(where, name) if name else (None, text)
        check(status == 1 and complaint in text,
              "tarlek refuses the sdas8051 demo at page %s: %s" % (page, last_line(text)))
    # sdas8051 names the include's line (with the output's file name).
    include = read_file(os.path.join(ARGS.hooks, "tarlek_sdas.inc")).splitlines()
    refusals = [":%d: Error: <u>" % (k + 1) for k, line in enumerate(include)
                if STATE_LIMITS_NAME in line and not line.startswith(";")]
    for at, accepted in ((0x00, False), (STATE_LOWEST - 1, False), (STATE_LOWEST, True),
                         (STATE_HIGHEST, True), (STATE_HIGHEST + 1, False)):
        ram = "0x%02X" % at
        where, name, text = build_sdas_demo(work, "0x80", ram)
        if accepted:
            check(name is not None and image_of(where, name)[STATE_HOOK] == state_hook(at),
                  "the sdas8051 demo with TARLEK_RAM = %s: MOV R0,#%s / RET at 0006h %s" %
                  (ram, ram, last_line(text)))
        else:
            check(name is None and any(r in text for r in refusals),
                  "sdas8051 stops with TARLEK_RAM = %s at the include's line that names the "
                  "limits: %s" % (ram, text.strip().replace("\n", "; ")))


def test_as31_state_limits(work):
    """The as31 include refuses a state on 08h..09h (the reset LCALL's
    return address) or past F4h: its MOV R0 line's operand grows past 8
    bits (as31 numbers the lines of an included file its own way)."""
    for at, accepted in ((0x00, False), (STATE_LOWEST - 1, False), (STATE_LOWEST, True),
                         (0x74, True), (STATE_HIGHEST, True), (STATE_HIGHEST + 1, False),
                         (0xFF, False)):
        ram = "0%02Xh" % at  # as31 wants a digit first
        where = fresh_dir(work, "as31_ram_%s" % ram)
        source = os.path.join(where, "ram.asm")
        with open(source, "w") as f:
            f.write(set_page(read_file(os.path.join(ARGS.examples, "demo.asm")),
                             r"(\.equ\s+TARLEK_RAM,\s*)\w+", r"\g<1>" + ram, "demo.asm's state"))
        shutil.copy(ARGS.include, os.path.join(where, "Tarlek.inc"))
        result = run([ARGS.as31, "ram.asm"], where, combined=True)
        if accepted:
            check(result.returncode == 0 and
                  image_of(where, "ram.hex")[STATE_HOOK] == state_hook(at),
                  "the as31 demo with TARLEK_RAM = %s: MOV R0,#%s / RET at 0006h %s" %
                  (ram, ram, last_line(result.stdout)))
        else:
            check(result.returncode != 0 and "Expression greater than 8-bits" in result.stdout,
                  "as31 stops with TARLEK_RAM = %s: %s" %
                  (ram, result.stdout.strip().replace("\n", "; ")))


def test_sdas_demo_equals_as31_demo(work):
    for page in (0x80, 0xA0):
        where, name, _ = build_sdas_demo(work, "0x%02X" % page)
        status, text = merge(where, name)
        ok = check(status == 0, "the sdas8051 demo merges at %02X00h: %s" % (page, last_line(text)))

        as31_dir = fresh_dir(work, "as31_%02X" % page)
        as31_name = assemble(as31_dir, os.path.join(ARGS.examples, "demo.asm"), page)
        assert merge(as31_dir, as31_name)[0] == 0
        if ok:
            check(image_of(where, name) == image_of(as31_dir, as31_name),
                  "the merged sdas8051 demo equals the merged as31 demo at %02X00h" % page)


# ---------------------------------------------------------------- simulator


def start_session(where, hex_name):
    """s51 on the merged program, after it filled both RAMs with FILL."""
    return session(where, hex_name, extra_commands=["fill iram 0 0xff 0x%02x" % FILL,
                                                    "fill xram 0 0xffff 0x%02x" % FILL])


def check_identify(host, page, label):
    """The resident's protocol, and the page the resident was laid at."""
    answer = host.wait_ready()
    fields = identify_fields(answer) if answer is not None else {}
    return check(answer is not None and len(answer) == facts.IDENTIFY_LENGTH and
                 fields["protocol"] == facts.PROTOCOL_VERSION and fields["page"] == page,
                 "%s: identify answers protocol %d at page %02Xh: %s" %
                 (label, facts.PROTOCOL_VERSION, page,
                  answer.hex() if answer is not None else "no answer"))


def read(host, frame):
    """The answer's payload, empty when none comes."""
    return host.request(frame) or b""


def word(data):
    """A 16-bit value as SDCC stores it: low byte first."""
    return data[0] | data[1] << 8 if len(data) == 2 else None


def test_c_demo(work, page, model, state_at=None):
    label = "C demo, %s model, at %02X00h" % (model, page)
    if state_at:
        label += ", state at %s" % state_at
    where, result = compile_c(work, "demo_c", demo_c_source(), "0x%02X" % page, model,
                              state_at=state_at, iram=state_at or "128")
    if not check(result.returncode == 0, "%s compiles %s" % (label, last_line(result.stdout))):
        return
    status, text = merge(where, pack(where, "demo_c"))
    if not check(status == 0, "%s merges: %s" % (label, last_line(text))):
        return
    at = map_symbols(os.path.join(where, "demo_c.map"))
    hooks = image_of(where, "demo_c.hex")
    # The state: given, or two bytes into tarlek_ram, off 08h..09h.
    state = int(state_at, 16) if state_at else at.get("_tarlek_ram", -2) + 2
    check(hooks[STATE_HOOK] == state_hook(state) and state >= STATE_LOWEST,
          "%s: 0006h holds MOV R0,#%s / RET (tarlek_ram at %s): %s" %
          (label, at_text(state), at_text(at.get("_tarlek_ram")), hooks[STATE_HOOK]))

    with start_session(where, "demo_c.hex") as sim:
        host = Host(sim)
        if not check_identify(host, page, label):
            return
        # The resident answers from its init on: the globals are set once
        # main runs, and main prints first.
        check(host.wait_text(re.escape(DEMO_C_GREETING)),
              "%s: printf's text arrives: %r" % (label, bytes(host.text)))
        iram = {name: read(host, read_iram(at["_" + name], size))
                for name, size in (("marker", 1), ("cleared", 1))}
        xram = {name: read(host, read_xram(at["_" + name], 2)) for name in ("xmarker", "xcleared")}
        # SDCC's start-up clears all of internal RAM but in external RAM only
        # its own variables: an unused byte shows the fill took effect. (The
        # sdas8051 demo, which clears nothing, shows it for internal RAM.)
        witness = read(host, read_xram(0xFF00, 1))
        loops = host.until_moved(lambda: word(read(host, read_iram(at["_loops"], 2))))
        ticks = host.until_moved(lambda: word(read(host, read_iram(at["_ticks"], 2))))

    check(witness == bytes([FILL]),
          "%s: unused external RAM holds the simulator's fill %02Xh: %s" %
          (label, FILL, witness.hex()))
    check(iram["marker"] == b"\x5A" and word(xram["xmarker"]) == 0x1234,
          "%s: initialised globals hold their values: marker %s, xmarker %s" %
          (label, iram["marker"].hex(), xram["xmarker"].hex()))
    check(iram["cleared"] == b"\x00" and xram["xcleared"] == b"\x00\x00",
          "%s: uninitialised globals are zero: cleared %s, xcleared %s" %
          (label, iram["cleared"].hex(), xram["xcleared"].hex()))
    check(None not in loops and loops[0] != loops[-1],
          "%s: main's loop counts: %s" % (label, loops))
    check(None not in ticks and ticks[0] != ticks[-1],
          "%s: timer 0's interrupt counts: %s" % (label, ticks))


def test_sdas_demo(work, page):
    label = "sdas8051 demo at %02X00h" % page
    where, name, _ = build_sdas_demo(work, "0x%02X" % page)
    status, text = merge(where, name)
    if not check(status == 0, "%s merges: %s" % (label, last_line(text))):
        return
    with start_session(where, name) as sim:
        host = Host(sim)
        if not check_identify(host, page, label):
            return
        # It sets its marker before it prints.
        check(host.wait_text(rb"Tarlek demo [0-9A-F]{2}\r\n"),
              "%s: its lines arrive: %r" % (label, bytes(host.text[:40])))
        # 41h counts the printed lines and wraps: reads all alike would be a
        # stopped loop.
        reads = host.until_moved(lambda: read(host, read_iram(0x40, 2)))
        witness = read(host, read_iram(0x30, 1))
    check(witness == bytes([FILL]),
          "%s: unused internal RAM holds the simulator's fill %02Xh: %s" %
          (label, FILL, witness.hex()))
    check(all(r[:1] == b"\x5A" and len(r) == 2 for r in reads) and
          len(set(r[1] for r in reads)) > 1,
          "%s: the program runs (40h: 5Ah, 41h counts): %s" %
          (label, " ".join(r.hex() for r in reads)))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--part", choices=("build", "sim"), required=True)
    ARGS = tool_args(parser, ("tarlek", "resident", "hooks", "examples", "sdcc", "sdas", "sdld",
                              "packihx"), ("as31", "s51"))
    ARGS.include = os.path.join(ARGS.hooks, "Tarlek.inc")
    work = tempfile.mkdtemp(prefix="tarlek-sdcc-")
    try:
        if ARGS.part == "build":
            test_page_definition(work)
            test_state_place(work)
            test_inclusions(work)
            test_refusals(work)
            test_sdas_page_definition(work)
            if ARGS.as31:
                test_as31_state_limits(work)
                test_sdas_demo_equals_as31_demo(work)
            else:
                skip("the as31 include's limits and the sdas8051 demo against the as31 demo",
                     "as31 not found")
        else:
            for page, model, state_at in C_DEMO_RUNS:
                test_c_demo(work, page, model, state_at)
            for page in (0x80, 0xA0):
                test_sdas_demo(work, page)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == "__main__":
    sys.exit(main())

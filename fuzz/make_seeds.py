#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/TARGET/.

  run     one whole run of the merge tool (fuzz_run.cpp): a control byte, a
          second byte that with the control byte's high nibble gives the
          program's share of the rest in 4095ths, then the program file and
          then tarlek.bin;
  frames  the frame decoders (fuzz_frames.cpp): three set-up bytes (version
          and side, largest payload, piece lengths), then the line's bytes;
  cdb     the .cdb reader (fuzz_cdb.cpp): the .cdb text, then after a NUL
          byte a relocated listing's (.rst);
  map     the linker's map (fuzz_map.cpp): the map's text;
  hex     the strict Intel HEX reading (fuzz_hex.cpp): the file's text.

The cdb and map seeds come from a small program built here with sdcc
(--debug) when sdcc is installed, cut down to a few kilobytes; without sdcc
those seeds are left as they are.
"""
import os
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


# ---- run ---------------------------------------------------------------------


def resident(code, flags):
    return bytes([len(code) & 0xFF, len(code) >> 8]) + bytes(flags) + bytes(code)


def hex_record(address, data, rtype=0):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    return ":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF)


def program_image(page):
    image = bytearray(0x30)
    image[0:3] = bytes([0x12, page, 0x00])  # LCALL page:00
    image[0x23:0x26] = bytes([0x02, page, 0x03])  # LJMP into the resident
    return bytes(image)


def run_seed(control, program, tarlek_bin):
    total = len(program) + len(tarlek_bin)
    # The smallest share that gives the program at least its own length.
    share = 0 if total == 0 else -(-len(program) * 4095 // total)
    while total and total * share // 4095 > len(program):
        share -= 1
    assert total == 0 or total * share // 4095 == len(program)
    return bytes([control | (share >> 8) << 4, share & 0xFF]) + program + tarlek_bin


def run_seeds():
    res = resident([0x02, 0x00, 0x10, 0x22, 0x90, 0x00, 0x20], [0, 1, 0, 0, 0, 1, 0])
    image = program_image(0x80)
    hex_text = "".join(hex_record(a, image[a:a + 16]) for a in range(0, len(image), 16))
    ext = ":020000040000FA\n" + hex_text.replace("\n", "\r\n") + ":00000001FF\r\n"
    return {
        "bin_in_place": run_seed(1, image, res),
        "bin_to_hex": run_seed(1 | 4, image, res),
        "hex_in_place": run_seed(0, (hex_text + ":00000001FF\n").encode(), res),
        "hex_crlf_ext_to_bin": run_seed(2, ext.encode(), res),
        "hex_long_record": run_seed(4, hex_record(0, image).encode(), res),
        "hex_high_base": run_seed(0, (":02000002F0000C\n" + hex_text).encode(), res),
        "bad_option": run_seed(6, image, res),
        "no_resident": run_seed(8 | 1, image, b""),
        "resident_corrupt": run_seed(1, image, res[:-1]),
        "start_not_page": run_seed(1, bytes([0x12, 0x80, 0x01]) + image[3:], res),
    }


# ---- frames --------------------------------------------------------------------


def complement(data):
    return -sum(data) & 0xFF


def frame_v2(command, payload):
    body = bytes([command, len(payload)]) + bytes(payload)
    return bytes([0xA5]) + body + bytes([complement(body)])


def frame_v3(command, seq, payload):
    plain = bytes([command, seq, len(payload)]) + bytes(payload)
    plain += bytes([complement(plain)])
    out = bytearray([0xC0])
    for b in plain:
        out += {0xC0: b"\xdb\xdc", 0xDB: b"\xdb\xdd"}.get(b, bytes([b]))
    return bytes(out)


def write_body(address_bytes, data, command, seq):
    length = len(address_bytes) + 1 + len(data)
    achk = complement(bytes([command, seq, length]) + bytes(address_bytes))
    return bytes(address_bytes) + bytes([achk]) + bytes(data)


IDENTIFY = bytes([3, 2, 0, 0, 0x80, 0x00, 0xA8, 0xC0, 0x00, 0x00, 0x00, 0x25, 0x80, 0xFF, 0x01, 0xFE])


def setup(v3, requests, largest=255, pieces=0x31):
    return bytes([(1 if v3 else 0) | (2 if requests else 0), largest, pieces])


def frames_seeds():
    text = b"Hello from the program\r\n"
    return {
        "v2_answers": setup(False, False) + text[:6] + frame_v2(0x81, IDENTIFY) + text[6:]
        + frame_v2(0x85, [0x5A, 0xA5, 0x00]) + frame_v2(0x84, []) + text,
        "v2_damaged": setup(False, False, 64) + frame_v2(0x82, [1, 2, 3])[:-1] + b"\x00"
        + b"\xa5\x81\xff" + frame_v2(0x87, [0x80]) + b"\xa5\x85\x02\x01",
        "v2_requests": setup(False, True, 64, 0x52) + frame_v2(0x01, []) + frame_v2(0x02, [0x12, 0x34, 16])
        + frame_v2(0x07, [0x90, 2]) + frame_v2(0x06, write_body([0x30], [1, 2], 0x06, 0))
        + frame_v2(0x04, write_body([0x20, 0x00], [0xA5], 0x04, 0))
        + frame_v2(0x08, write_body([0xFF], [1, 2], 0x08, 0)),
        "v3_answers": setup(True, False) + text[:3] + frame_v3(0x81, 0x21, IDENTIFY) + text[3:]
        + frame_v3(0x83, 0x22, [0xC0, 0xDB, 0x00]) + frame_v3(0x86, 0x23, []) + b"\xc0\x81\xdb\x00",
        "v3_requests": setup(True, True, 32, 0x13) + frame_v3(0x01, 0x21, [])
        + frame_v3(0x05, 0x40, [0x80, 4]) + frame_v3(0x06, 0xC0, write_body([0x7F], [0xDB], 0x06, 0xC0))
        + frame_v3(0x08, 0x02, write_body([0x98], [0], 0x08, 0x02)) + frame_v3(0x04, 0x03, write_body([0xFF, 0xFF], [7, 8], 0x04, 0x03)),
        "v3_cut_and_escapes": setup(True, False, 255, 0x00) + frame_v3(0x82, 0xDB, list(range(0xB8, 0xE0)))[:20]
        + frame_v3(0x82, 0xC0, list(range(0xB8, 0xE0))) + b"\xdb\xdc\xc0\xc0",
    }


# ---- cdb and map -------------------------------------------------------------------

# Every kind of global and static a C program for the 8051 has: the program
# the symbol readers' tests build, taken from their header.
def test_program():
    with open(os.path.join(ROOT, "tests/mon/symbols/sdcc_program.h")) as f:
        header = f.read()
    start = header.index('kProgram = R"(') + len('kProgram = R"(')
    return header[start:header.index(')"', start)]


PROGRAM = test_program()


def build_program():
    """The .cdb, .map and .rst texts of PROGRAM, or None without sdcc."""
    if shutil.which("sdcc") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "prog.c"), "w") as f:
            f.write(PROGRAM)
        subprocess.run(["sdcc", "-mmcs51", "--debug", "prog.c"], cwd=tmp, check=True,
                       stdout=subprocess.DEVNULL)
        texts = []
        for ext in ("cdb", "map", "rst"):
            with open(os.path.join(tmp, "prog." + ext), encoding="latin-1") as f:
                texts.append(f.read())
        return texts


def cut_cdb(cdb):
    """The program's own records and a few of the rest (the SFRs of 8051.h,
    line records): what the reader takes, in a few kilobytes."""
    kept, counts = [], {}
    for line in cdb.splitlines():
        kind = line[:2]
        if line.startswith("S:G$") and line.endswith((",I,0,0", ",J,0,0")):
            kind = "sfr"
        elif line.startswith(("L:C$", "L:A$", "F:", "L:XG$", "L:XF")):
            kind = "other"
        counts[kind] = counts.get(kind, 0) + 1
        if kind in ("sfr", "other") and counts[kind] > 6:
            continue
        kept.append(line)
    return "\n".join(kept) + "\n"


def cut_rst(rst):
    """The area lines and the symbol definitions of a relocated listing."""
    return "".join(line + "\n" for line in rst.splitlines()
                   if ".area" in line or line.endswith("==."))


def cut_map(text, per_area=4):
    """Each area of the map with a few of its symbols and one debug name
    (with '$'): the pages that hold them (the area line repeats on every
    page), without the page headers after the first, blank lines and the
    list of files linked."""
    pages = [[]]
    for line in text.splitlines():
        if line.startswith("ASxxxx Linker") and pages[-1]:
            pages.append([])
        if line.strip():
            pages[-1].append(line.rstrip())
    out, kept = [], {}
    for page in pages:
        area = next((line.split() for line in page if "bytes" in line.split()), None)
        if area is None:
            continue
        name = " ".join(area[:2])
        first = name not in kept
        symbols, debug = kept.setdefault(name, [0, 0])
        lines = []
        for line in page:
            words = line.split()
            at = 1 if words and len(words[0]) == 2 and words[0].endswith(":") else 0
            if len(words) > at + 1 and len(words[at]) == 8 and all(
                    c in "0123456789ABCDEF" for c in words[at]):
                if "$" in words[at + 1]:
                    if debug >= 1:
                        continue
                    debug += 1
                else:
                    if symbols >= per_area:
                        continue
                    symbols += 1
            elif out and line.startswith(("ASxxxx", "Hexadecimal", "---")):
                continue
            lines.append(line)
        if first or [symbols, debug] != kept[name]:
            out += lines
        kept[name] = [symbols, debug]
    return "\n".join(out) + "\n"


CORNERS_CDB = (
    "M:m\n"
    "T:Fm$pair[({0}S:S$lo$0_0$0({1}SC:U),Z,0,0)({1}S:S$hi$0_0$0({1}SC:S),Z,0,0)]\n"
    "T:Fm$outer[({0}S:S$p$0_0$0({2}STpair:S),Z,0,0)({2}S:S$q$0_0$0({4}DA2d,STpair:S),Z,0,0)"
    "({6}S:S$bits$0_0$0({2}SB4$9:S),Z,0,0)({8}S:S$g$0_0$0({3}DG,STpair:S),Z,0,0)]\n"
    "S:G$o$0_0$0({11}STouter:S),F,0,0\n"
    "S:G$big$0_0$0({16}DA2d,SI:S),F,0,0\n"
    "S:G$v$0_0$0({1}SC:U),E,0,0\n"
    "S:Lm.f$v$1_0$1({2}SI:S),B,1,-3\n"
    "S:Lm.f$r$1_0$1({2}SI:S),R,0,0,[r6,r7]\n"
    "S:Fm$twice$0_0$0({1}SC:U),E,0,0\n"
    "S:G$ext$0_0$0({2}SI:S),F,0,0\n"
    "S:G$ready$0_0$0({1}SB0$1:U),H,0,0\n"
    "S:G$T2W$0_0$0({2}SI:U),I,0,0\n"
    "S:G$fn$0_0$0({2}DF,SI:S),C,0,0\n"
    "M:n\n"
    "T:Fn$wide[({0}S:S$o$0_0$0({11}STouter:S),Z,0,0)({11}S:S$w$0_0$0({0}DA0d,SL:U),Z,0,0)]\n"
    "S:Fn$twice$0_0$0({1}SC:U),E,0,0\n"
    "S:G$w$0_0$0({24}STwide:S),F,0,0\n"
    "L:G$o$0_0$0:100\n"
    "L:G$big$0_0$0:200\n"
    "L:G$v$0_0$0:30\n"
    "L:Fm$twice$0_0$0:31\n"
    "L:Fn$twice$0_0$0:32\n"
    "L:G$T2W$0_0$0:CDCC\n"
    "L:G$w$0_0$0:FFE8\n"
    "L:C$m.c$3$1_0$1:12\n"
    "L:XG$f$0$0:40\n"
    "\0"
    "                                     56 \t.area BSEG    (BIT)\n"
    "                           000009    57 G$ready$0_0$0==.\n"
)

NARROW_MAP = (
    "Area                    Addr        Size        Decimal Bytes (Attributes)\n"
    "DSEG                00000030    00000003 =  3. bytes (REL,CON)\n"
    "        Value  Global            Value  Global\n"
    "     00000030  _value     |    00000031  _count16_long\n"
    "XSEG                00000100    00000010 = 16. bytes (REL,CON,XDATA)\n"
    "        Value  Global            Value  Global\n"
    "  X: 00000100  _xa        |  X: 0000010C  _xb\n"
    ". .ABS.             00000000    00000000 =  0. bytes (ABS,CON)\n"
    "        Value  Global\n"
    "     000000A8  _IE\n"
    "BSEG                00000000    00000001 =  1. bytes (REL,CON,BIT)\n"
    "        Value  Global\n"
    "     00000000  _flag\n"
)


def cdb_seeds(built):
    seeds = {"corners": CORNERS_CDB.encode()}
    if built is not None:
        cdb, _, rst = built
        seeds["program"] = (cut_cdb(cdb) + "\0" + cut_rst(rst)).encode("latin-1")
    return seeds


def map_seeds(built):
    seeds = {"narrow": NARROW_MAP.encode()}
    if built is not None:
        seeds["program"] = cut_map(built[1]).encode("latin-1")
    return seeds


# ---- hex ---------------------------------------------------------------------------


def hex_seeds():
    with open(os.path.join(ROOT, "examples", "demo.hex"), "rb") as f:
        demo = f.read()
    data = bytes(range(0x20))
    records = "".join(hex_record(a, data[a:a + 16]) for a in (0, 16))
    return {
        "demo": demo,
        "extended": (hex_record(0, [0x01, 0x00], 2).replace("\n", "\r\n")
                     + records.replace("\n", "\r\n") + hex_record(0, [0, 0], 4)
                     + hex_record(0xFFF0, data[:16]) + hex_record(0, [0, 0, 0x12, 0x34], 3)
                     + hex_record(0, [0, 0, 0x12, 0x34], 5) + hex_record(8, data[:4])
                     + ":00000001FF\n" + ":garbage after the end\n").encode(),
        "long_record": (hex_record(0x100, bytes(range(255))) + "\n   \n:00000001FF\n").encode(),
        "bad_checksum": (records[:-3] + "00\n").encode(),
        "above_64k": (hex_record(0, [0, 1], 4) + records).encode(),
        "unknown_type": (records + hex_record(0, data[:2], 6)).encode(),
    }


def main():
    built = build_program()
    if built is None:
        print("make_seeds.py: sdcc is not installed; the cdb and map seeds from it are kept")
    targets = {
        "run": run_seeds(),
        "frames": frames_seeds(),
        "cdb": cdb_seeds(built),
        "map": map_seeds(built),
        "hex": hex_seeds(),
    }
    for target, seeds in targets.items():
        out = os.path.join(HERE, "corpus", target)
        os.makedirs(out, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

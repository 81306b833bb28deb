#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus/.

Each seed is laid out as fuzz_run.cpp reads it: a control byte, a second byte
that with the control byte's high nibble gives the program's share of the
rest in 4095ths, then the program file and then tarlek.bin.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


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


def seed(control, program, tarlek_bin):
    total = len(program) + len(tarlek_bin)
    # The smallest share that gives the program at least its own length.
    share = 0 if total == 0 else -(-len(program) * 4095 // total)
    while total and total * share // 4095 > len(program):
        share -= 1
    assert total == 0 or total * share // 4095 == len(program)
    return bytes([control | (share >> 8) << 4, share & 0xFF]) + program + tarlek_bin


def main():
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    res = resident([0x02, 0x00, 0x10, 0x22, 0x90, 0x00, 0x20], [0, 1, 0, 0, 0, 1, 0])
    image = program_image(0x80)
    hex_text = "".join(hex_record(a, image[a:a + 16]) for a in range(0, len(image), 16))
    ext = ":020000040000FA\n" + hex_text.replace("\n", "\r\n") + ":00000001FF\r\n"
    seeds = {
        "bin_in_place": seed(1, image, res),
        "bin_to_hex": seed(1 | 4, image, res),
        "hex_in_place": seed(0, (hex_text + ":00000001FF\n").encode(), res),
        "hex_crlf_ext_to_bin": seed(2, ext.encode(), res),
        "hex_long_record": seed(4, hex_record(0, image).encode(), res),
        "hex_high_base": seed(0, (":02000002F0000C\n" + hex_text).encode(), res),
        "bad_option": seed(6, image, res),
        "no_resident": seed(8 | 1, image, b""),
        "resident_corrupt": seed(1, image, res[:-1]),
        "start_not_page": seed(1, bytes([0x12, 0x80, 0x01]) + image[3:], res),
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

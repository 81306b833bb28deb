#!/usr/bin/env python3
"""Writes a full 64 KB test program into the current directory.

prog.hex: random code from 0000h to FEFFh in 16-byte data records (about
180 KB of text), with the two hooks of Tarlek.inc: LCALL FF00h at 0000h and an
LJMP at 0023h. tarlek.bin: a resident of 32 random bytes for page FF00h.
    make_program.py [SEED]
"""
import random
import sys


def main():
    rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 1)
    image = bytearray(rng.randrange(256) for _ in range(0xFF00))
    image[0:3] = bytes([0x12, 0xFF, 0x00])
    image[0x23:0x26] = bytes([0x02, 0xFF, 0x03])
    lines = []
    for address in range(0, len(image), 16):
        record = bytes([16, address >> 8, address & 0xFF, 0]) + image[address:address + 16]
        lines.append(":%s%02X\n" % (record.hex().upper(), -sum(record) & 0xFF))
    lines.append(":00000001FF\n")
    with open("prog.hex", "w", newline="\n") as f:
        f.writelines(lines)
    length = 32
    flags = bytes(rng.randrange(2) for _ in range(length))
    code = bytes(rng.randrange(256) for _ in range(length))
    with open("tarlek.bin", "wb") as f:
        f.write(bytes([length, 0]) + flags + code)


if __name__ == "__main__":
    main()

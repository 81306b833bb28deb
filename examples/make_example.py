#!/usr/bin/env python3
"""Makes the bundled example: a tiny 8051 program with the two hooks of
Tarlek.inc (prog.bin) and a small resident image file (tarlek.bin).

prog.bin:  0000h LCALL 8000h   ; the resident's init, at page 80h
           0003h SJMP $        ; the program's own code
           0023h LJMP 8003h    ; serial interrupt into the resident
tarlek.bin: a 6-byte resident assembled at 0000h: RET at +0, then at +1
           LJMP 0001h (a jump to itself), whose high address byte is
           flagged as relocatable, and a NOP.
"""
import os
import sys

out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))

program = bytearray(0x30)
program[0:3] = bytes([0x12, 0x80, 0x00])
program[3:5] = bytes([0x80, 0xFE])
program[0x23:0x26] = bytes([0x02, 0x80, 0x01])

code = bytes([0x22, 0x02, 0x00, 0x01, 0x00, 0x00])
flags = bytes([0x00, 0x00, 0x01, 0x00, 0x00, 0x00])
resident = len(code).to_bytes(2, "little") + flags + code

with open(os.path.join(out, "prog.bin"), "wb") as f:
    f.write(program)
with open(os.path.join(out, "tarlek.bin"), "wb") as f:
    f.write(resident)

#!/usr/bin/env bash
# The whole story on the bundled example: set up only what it needs (the
# build, as31 and the s51 simulator), build the tools without the tests in
# their own directory, assemble examples/demo.asm, merge the resident into it
# with tarlek, run the merged program in s51, send the resident the identify
# request on the simulated serial line and pick its answer out of the
# program's own output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
build=build-demo
bash scripts/build.sh "$build" -DTARLEK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
demo=$build/demo
rm -rf "$demo" && mkdir -p "$demo"
cp examples/demo.asm resident/Tarlek.inc "$build/resident/tarlek.bin" "$demo"
cd "$demo"

echo "== as31 demo.asm"
as31 demo.asm >as31.log 2>&1 || { cat as31.log; exit 1; }
echo "== tarlek demo.hex"
../tarlek demo.hex
echo "demo.hex, rewritten: $(wc -l <demo.hex) lines; its last records, the resident's end:"
tail -n 4 demo.hex

echo "== s51: reset, let the program print, send identify (A5 01 00 FF) at 9600 baud"
printf '\xA5\x01\x00\xFF' >rx.bin
cat >s51.cmd <<'CMDS'
file "demo.hex"
uart0_check_often=1
step 400000
quit
CMDS
s51 -t 8051 -b -S in=rx.bin,out=tx.bin -C s51.cmd </dev/null >s51.log 2>&1
# The line carries the program's text and the resident's answer frame:
# A5h, 81h, length, payload, sum. Pick the frame out, the rest is text.
python3 - tx.bin <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
text, answer, k = bytearray(), None, 0
while k < len(data):
    n = data[k + 2] if k + 2 < len(data) else 0
    frame = data[k:k + 4 + n]
    if (data[k] == 0xA5 and answer is None and len(frame) == 4 + n and frame[1] == 0x81
            and sum(frame[1:]) % 256 == 0):
        answer, k = frame[3:3 + n], k + 4 + n
        text += b"<identify answered here>"
        continue
    text.append(data[k])
    k += 1
lines = text.decode("ascii", "replace").splitlines()
print("the program printed %d lines around the answer:" % len(lines))
print("\n".join("  " + line for line in lines[:3] + ["..."] + lines[-3:]))
if answer is None or len(answer) != 16:
    sys.exit("no identify answer in the serial output")
print("resident answered: protocol %d, Tarlek %d.%d.%d at %02X00h, %d Hz, %d baud, "
      "payload up to %d, commands %04Xh" % (answer[0], answer[1], answer[2], answer[3], answer[4],
      int.from_bytes(answer[5:9], "big"), int.from_bytes(answer[9:13], "big"), answer[13],
      int.from_bytes(answer[14:16], "big")))
PY

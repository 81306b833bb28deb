#!/usr/bin/env bash
# The whole story on the bundled example: set up only what it needs (the
# build, as31 and the s51 simulator), build the tools without the tests in
# their own directory, assemble examples/demo.asm, merge the resident into it
# with tarlek, run the merged program in s51 and send the resident the
# identify command on the simulated serial line.
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

echo "== s51: reset, let the program run, send I (identify) at 9600 baud"
printf 'I' >rx.bin
cat >s51.cmd <<'CMDS'
file "demo.hex"
uart0_check_often=1
break sfr w 0x99 21
step 200000
step 5000
dump /b iram 0x40 0x4e >iram.bin
quit
CMDS
s51 -t 8051 -b -S in=rx.bin,out=tx.bin -C s51.cmd </dev/null >s51.log 2>&1
echo "resident answered: $(tr -d '\r\n' <tx.bin)"
echo "demo's RAM 40h..4Eh (5A: its own code ran; 48h..4Eh: its registers):"
od -A n -t x1 iram.bin

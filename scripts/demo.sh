#!/usr/bin/env bash
# The whole story on the bundled example: set up only what it needs (the
# build, as31 and the s51 simulator), build the tools without the tests in
# their own directory, assemble examples/demo.asm, merge the resident into it
# with tarlek, run the merged program freely in s51, and let tarlek-mon look
# into it over the simulated serial line while it runs and prints.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
build=build-demo
bash scripts/build.sh "$build" -DTARLEK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
demo=$build/demo
rm -rf "$demo" && mkdir -p "$demo"
cp examples/demo.asm resident/Tarlek.inc "$build/resident/tarlek.bin" "$demo"
mon=$PWD/$build/tarlek-mon
cd "$demo"

echo "== as31 demo.asm"
as31 demo.asm >as31.log 2>&1 || { cat as31.log; exit 1; }
echo "== tarlek demo.hex"
../tarlek demo.hex
echo "demo.hex, rewritten: $(wc -l <demo.hex) lines; its last records, the resident's end:"
tail -n 3 demo.hex

echo "== s51 runs the merged program freely, its serial port on two FIFOs"
mkfifo s51.rx s51.tx s51.console
echo "uart0_check_often=1" >s51.cfg
# s51 quits when its console input ends, so this script holds that open; it
# also holds both ends of the serial line open between tarlek-mon's runs.
exec 5<>s51.console
s51 -t 8051 -b -S in=s51.rx,out=s51.tx -C s51.cfg -g demo.hex <s51.console >s51.log 2>&1 &
s51_pid=$!
trap 'kill "$s51_pid" 2>/dev/null; wait "$s51_pid" 2>/dev/null || true' EXIT
exec 3<>s51.rx 4<>s51.tx
export TARLEK_PORT=fifo:s51.rx,s51.tx

mon() {
  echo "\$ tarlek-mon $*"
  "$mon" "$@"
}
echo "== tarlek-mon looks into the program while it runs (the port: \$TARLEK_PORT)"
mon --quiet identify
mon --quiet read code 8000h 20
# Watch and console run until Ctrl-C: here SIGINT after a few seconds, which
# they take as the normal end (timeout then says 124).
for_a_while() {
  local seconds=$1 status=0
  shift
  timeout -s INT "$seconds" "$mon" "$@" >mon.out || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || exit "$status"
  head -n 4 mon.out
}
echo "\$ tarlek-mon --quiet watch --interval 0.5 iram 41 1   (3 s; piped: a line per change)"
for_a_while 3 --quiet watch --interval 0.5 iram 41 1
echo "(40h: 5Ah once the demo runs; 41h: its pass counter; 48h..4Eh: A, B, DPL, DPH, PSW, R0"
echo " and SP as its loop left them: B C3h, PSW 88h, R0 A0h and SP 5Fh whatever the resident did)"
mon --quiet read iram 40 10
mon --quiet write xram 0100 de ad be ef
echo "\$ tarlek-mon console   (2 s: the program's own text, from the same serial line)"
for_a_while 2 console
mon --quiet verify demo.hex

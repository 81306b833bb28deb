#!/usr/bin/env bash
# The whole story on the bundled example: set up only what it needs (the
# build, as31 and the s51 simulator), build the tools without the tests in
# their own directory, assemble examples/demo.asm, merge the resident into it
# with tarlek, run the merged program freely in s51 with tarlek-sim, and let
# tarlek-mon look into it over the simulated serial line while it runs and prints.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
build=build-demo
bash scripts/build.sh "$build" -DTARLEK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
demo=$build/demo
rm -rf "$demo" && mkdir -p "$demo"
cp examples/demo.asm resident/Tarlek.inc "$build/resident/tarlek.bin" "$demo"
mon=$PWD/$build/tarlek-mon
sim=$PWD/$build/tarlek-sim
cd "$demo"

echo "== as31 demo.asm"
as31 demo.asm >as31.log 2>&1 || { cat as31.log; exit 1; }
echo "== tarlek demo.hex"
../tarlek demo.hex
echo "demo.hex, rewritten: $(wc -l <demo.hex) lines; its last records, the resident's end:"
tail -n 3 demo.hex

echo "== tarlek-sim runs the merged program freely in s51, its serial port on two FIFOs"
# It chooses s51's CPU model and clock from the resident, holds the FIFOs open
# for the simulator's whole life, prints the port once s51 reads it, and stops
# s51 and removes the FIFOs when it is stopped (Ctrl-C; here SIGINT when the
# script ends).
exec 3< <(exec "$sim" --print-port demo.hex 2>sim.log)
sim_pid=$!
trap 'kill -INT "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
read -r TARLEK_PORT <&3 || { cat sim.log; exit 1; }
cat sim.log
export TARLEK_PORT

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

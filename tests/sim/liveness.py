"""How much of its own time a program keeps while tarlek-mon talks to the
resident: tests/sim/liveness.asm (a 1 kHz tick at the serial port's
priority, a counting main loop) merged with a resident and run freely in s51,
measured through s51's console, never through the resident, so that
measuring adds no traffic. Time is s51's own: its cycle count at each
reading, never the wall clock.

A load (tarlek-mon doing something) is measured as a phase: the program's
worst figures reset and a reading before the client starts, readings while
it runs, a reading after it ends. Its figures:

- lost: the ticks that s51's cycles say were due from the first reading to
  the last, less the ticks the program took; missed: the ticks the program
  saw it had missed itself (it can see that only for delays below 65536
  cycles, so the first figure is the one to trust);
- late: the tick's worst lateness, in machine cycles;
- worst window: the fewest counts the main loop made in any window of 32
  ticks, against its idle speed (the most it made in a window while the
  line was quiet);
- main loop: its counts per cycle between the first and the last reading
  taken while the client ran, against the same on a quiet line.

Shared by tests/sim/liveness_sim_test.py (the goals) and
bench/liveness_sim.py (the figures)."""

import contextlib
import os
import re
import signal
import subprocess
import threading
import time

import sim_support

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "liveness.asm")
PERIOD = 922            # machine cycles per tick (liveness.asm)
WINDOW = 32             # ticks per window of the main loop's count
FIRST, LAST = 0x30, 0x42  # the program's bytes
MAIN_LOOP = b"\xA3\x80\xFD"  # count: INC DPTR / SJMP count
QUIET_TICKS = 4000


class Reading:
    """The program's figures and s51's cycle count at one instant."""

    def __init__(self, cycles, ram, dptr):
        def value(at, size):
            return int.from_bytes(bytes(ram[at - FIRST:at - FIRST + size]), "little")
        self.cycles = cycles
        self.ticks = value(0x30, 3)
        self.lost = value(0x33, 2)
        self.late = value(0x35, 2)
        self.win_min = value(0x37, 2)
        self.win_max = value(0x39, 2)
        self.count = value(0x3D, 4) + ((dptr - value(0x3B, 2)) & 0xFFFF)


class Program:
    """The running program as s51's console shows it."""

    def __init__(self, sim, image):
        self.sim = sim
        at = image.find(MAIN_LOOP)
        assert 0 < at < 0x8000, "the main loop is in the program"
        self.main_loop = (at, at + 1)

    def read(self, reset=False):
        """A reading taken while the program is in its main loop, so that
        DPTR is its count and no interrupt is half way through an update.
        reset: the worst figures are reset at the same instant, before it."""
        first = ["set mem iram 0x35 0 0 0xFF 0xFF 0 0"] if reset else []
        while True:
            lines = self.sim.console(first + ["state", "di 0x%x 0x%x" % (FIRST, LAST),
                                              "ds 0x82 0x83"])
            first = []
            clocks = [int(m.group(1)) for m in
                      map(re.compile(r"^Total time since last reset=.*\((\d+) clks\)").search,
                          lines) if m]
            pc = [int(m.group(1), 16) for m in
                  map(re.compile(r"^CPU state=.* PC= 0x([0-9a-fA-F]+)").search, lines) if m]
            ram = self.sim.dumped(lines, FIRST, LAST)
            dptr = self.sim.dumped(lines, 0x82, 0x83)
            if len(clocks) != 1 or len(pc) != 1 or len(ram) != LAST + 1 - FIRST or len(dptr) != 2:
                raise RuntimeError("s51's console gave no reading: %s" % lines)
            if pc[0] in self.main_loop:
                return Reading(clocks[0] // 12, ram, dptr[1] << 8 | dptr[0])

    def wait_ticks(self, reading, ticks):
        """Readings until ticks more than at reading have been taken."""
        while True:
            now = self.read()
            if (now.ticks - reading.ticks) & 0xFFFFFF >= ticks:
                return now
            time.sleep(0.05)


class Phase:
    """The figures of a load between the readings before, during (a list,
    taken while the client ran) and after."""

    def __init__(self, name, before, during, after, quiet=None):
        self.name = name
        self.cycles = after.cycles - before.cycles
        self.ticks = (after.ticks - before.ticks) & 0xFFFFFF
        self.due = self.cycles // PERIOD
        # A reading falls anywhere inside a period: one tick more or less.
        self.lost = max(0, self.due - self.ticks - 1)
        self.missed = (after.lost - before.lost) & 0xFFFF
        self.late = after.late
        self.win_min = after.win_min
        self.idle_window = quiet.idle_window if quiet else after.win_max
        self.worst_window = self.win_min / self.idle_window if self.idle_window else 0.0
        ends = (before, after) if quiet is None else \
            (during[0], during[-1]) if len(during) >= 2 else None
        self.speed = (ends[1].count - ends[0].count) / (ends[1].cycles - ends[0].cycles) \
            if ends else None
        self.main = self.speed / quiet.speed if quiet and self.speed is not None else None

    def line(self):
        main = "" if self.main is None else ", main loop %.1f %% of idle" % (100 * self.main)
        return ("%s: %d cycles, %d ticks (%d due, %d lost, %d missed), late by at most %d "
                "cycles, worst window %.1f %% of idle (%d of %d counts)%s" % (
                    self.name, self.cycles, self.ticks, self.due, self.lost, self.missed,
                    self.late, 100 * self.worst_window, self.win_min, self.idle_window, main))


def quiet(program, name="quiet line"):
    """A phase with nothing on the line: the idle speed."""
    before = program.read(reset=True)
    after = program.wait_ticks(before, QUIET_TICKS)
    return Phase(name, before, [], after)


def loaded(program, name, command, cwd, quiet_phase, until=None):
    """A phase: the client command runs (to its end, or until ticks' worth
    of s51's cycles have passed, then stopped as Ctrl-C would). Returns the
    phase and the client's (exit status, stdout bytes, stderr text)."""
    before = program.read(reset=True)
    process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    during = []
    try:
        # Read while the client runs: a reading counts as during the load
        # when the client was still there after it.
        reader = _Collector(process)
        while True:
            reading = program.read()
            if process.poll() is not None:
                break
            during.append(reading)
            # Stopped only once it answers: a Ctrl-C during its start-up
            # (identify) is rightly an interruption, not the end of a load.
            if (until is not None and reader.parts["out"] and
                    reading.cycles - before.cycles >= until * PERIOD):
                process.send_signal(signal.SIGINT)
                break
        out, err = reader.finish(timeout=600)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    after = program.read()
    return Phase(name, before, during, after, quiet_phase), \
        (process.returncode, out, err.decode(errors="replace"))


class _Collector:
    """Drains a process's stdout and stderr in threads, so that a long
    answer never blocks it."""

    def __init__(self, process):
        self.process = process
        self.parts = {"out": b"", "err": b""}
        self.threads = [threading.Thread(target=self._drain, args=(key, stream), daemon=True)
                        for key, stream in (("out", process.stdout), ("err", process.stderr))]
        for thread in self.threads:
            thread.start()

    def _drain(self, key, stream):
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            self.parts[key] += chunk

    def finish(self, timeout):
        self.process.wait(timeout=timeout)
        for thread in self.threads:
            thread.join()
        return self.parts["out"], self.parts["err"]


@contextlib.contextmanager
def running(work, resident, cpu):
    """The program merged with resident (file bytes) at page 80h, running in
    s51 (cpu) with its first windows counted: yields (Program, image)."""
    path, image = sim_support.merge(work, SOURCE, 0x80, "hex", resident)
    with sim_support.session(work, path, cpu) as sim:
        program = Program(sim, image)
        first = program.read()
        program.wait_ticks(first, 2 * WINDOW)
        yield program, image


def client(mon, program, baud):
    """tarlek-mon's command line on the program's FIFOs at baud."""
    sim = program.sim
    return [mon, "--port", "fifo:%s,%s" % (sim.rx, sim.tx), "--baud", str(baud), "--slack", "5",
            "--quiet"]

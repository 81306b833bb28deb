"""A merged program running freely in the s51 simulator, its serial port on
two FIFOs in a directory of the caller's. The host side opens the
simulator's output FIFO for reading (non-blocking) before its input FIFO for
writing, as s51 opens them in the other order. Stops s51 by its PID.

    with S51Session(workdir, "prog.hex") as sim:
        sim.send(b"...")
        data = sim.receive(count, timeout=2.0)

The simulator's serial line is paced in simulated time, and with
uart0_check_often=1 it takes input bytes as soon as they come.

For a client that opens the port itself (tarlek-mon --port fifo:RX,TX),
S51Session(..., attach=False) only starts s51; sim.rx and sim.tx are the
FIFO paths (rx: what the simulator reads)."""

import os
import re
import select
import signal
import subprocess
import time


class S51Session:
    def __init__(self, workdir, program_hex, s51="s51", cpu="8051", clock_hz=None,
                 attach=True, extra_commands=()):
        self.workdir = workdir
        self.program_hex = program_hex
        self.s51 = s51
        self.cpu = cpu
        self.clock_hz = clock_hz
        self.attach = attach
        self.extra_commands = list(extra_commands)
        self.rx = os.path.join(workdir, "s51.rx")
        self.tx = os.path.join(workdir, "s51.tx")
        self.process = None
        self.read_fd = None
        self.write_fd = None

    def __enter__(self):
        for path in (self.rx, self.tx):
            if os.path.exists(path):
                os.remove(path)
            os.mkfifo(path)
        cfg = os.path.join(self.workdir, "s51.cfg")
        with open(cfg, "w") as f:
            f.write("uart0_check_often=1\n")
            for line in self.extra_commands:
                f.write(line + "\n")
        cmd = [self.s51, "-t", self.cpu, "-b", "-S", "in=%s,out=%s" % (self.rx, self.tx),
               "-C", cfg, "-g", self.program_hex]
        if self.clock_hz:
            cmd[1:1] = ["-X", str(self.clock_hz)]
        self.log = open(os.path.join(self.workdir, "s51.log"), "wb")
        # Its command console gets a pipe that stays open and silent: on end
        # of input (as from /dev/null) s51 quits at some point of the run.
        self.process = subprocess.Popen(cmd, cwd=self.workdir, stdin=subprocess.PIPE,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        if self.attach:
            self.open_port()
        return self

    def open_port(self, timeout=10.0):
        """Opens the FIFOs from the host's side."""
        self.read_fd = os.open(self.tx, os.O_RDONLY | os.O_NONBLOCK)
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.write_fd = os.open(self.rx, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                # No reader yet: s51 is still starting.
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("s51 did not open its serial input")
                time.sleep(0.01)
        os.set_blocking(self.write_fd, True)

    def send(self, data):
        view = memoryview(bytes(data))
        while view:
            written = os.write(self.write_fd, view)
            view = view[written:]

    def receive(self, count, timeout):
        """Up to count bytes, fewer when timeout seconds pass first."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.read_fd], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self.read_fd, count - len(out))
            except BlockingIOError:
                continue
            if not chunk:
                # No writer (yet): the simulator has not opened its output.
                time.sleep(0.005)
                continue
            out += chunk
        return bytes(out)

    def drain(self, quiet=0.05, limit=5.0):
        """Everything that arrives until the line has been quiet for quiet seconds."""
        out = bytearray()
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            chunk = self.receive(4096, quiet)
            if not chunk:
                break
            out += chunk
        return bytes(out)

    def console(self, commands, timeout=30.0):
        """Runs s51 console commands (strings) at one instant of the running
        program, between two of its instructions: they go on one line, which
        s51 takes whole at its next look at the console. Returns the lines
        they printed."""
        self.marks = getattr(self, "marks", 0) + 1
        mark = "%d" % (9000000 + self.marks)
        self.process.stdin.write((";".join(list(commands) + ["expression " + mark]) + "\n").encode())
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        with open(os.path.join(self.workdir, "s51.log"), "rb") as log:
            while True:
                lines = log.read().decode(errors="replace").splitlines()
                if mark in lines:
                    end = lines.index(mark)
                    start = max(k for k in range(end) if lines[k].endswith("expression " + mark))
                    return lines[start + 1:end]
                if time.monotonic() > deadline or not self.running():
                    raise RuntimeError("s51's console did not answer %s" % commands)
                log.seek(0)
                time.sleep(0.02)

    @staticmethod
    def dumped(lines, first, last):
        """The bytes first..last from the lines of a console dump (di, dx,
        ds, dch): "0x2f f6 b3 35 85 6c fb b2 07 ..5.l...", 8 bytes a line,
        then the same as text."""
        out = []
        for line in lines:
            fields = line.split()
            if len(fields) > 1 and re.fullmatch(r"0x[0-9a-fA-F]+", fields[0]) and \
                    int(fields[0], 16) == first + len(out):
                out += [int(f, 16) for f in fields[1:1 + min(8, last + 1 - first - len(out))]]
        return out

    def memory(self, command, first, last):
        """Bytes first..last as the simulator itself holds them; command is
        the console's dump of that memory: di (internal RAM), dx (external
        RAM), ds (SFRs), dch (code)."""
        out = self.dumped(self.console(["%s 0x%x 0x%x" % (command, first, last)]), first, last)
        if len(out) != last + 1 - first:
            raise RuntimeError("s51's console dumped no %s %02Xh..%02Xh" % (command, first, last))
        return bytes(out)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def __exit__(self, *exc):
        for fd in (self.read_fd, self.write_fd):
            if fd is not None:
                os.close(fd)
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None:
            self.process.stdin.close()
        self.log.close()
        return False

#!/usr/bin/env python3
"""Drives the bridge from Linux: two pseudo-terminals carry 4 KiB each way byte-exact at 115200
paced to the wall clock, a rate set on the terminals reaches the line, and SIGINT ends the run
with clean verdicts. The two are COM3 and COM4 over a null-modem cable, or with --device COM3
and the far end of its cable."""
import os
import random
import select
import signal
import subprocess
import sys
import termios
import threading
import time

try:
    import serial  # python3-serial
except ImportError:
    # Debian's package is where a python3 of another origin (pyenv, a venv) does not look.
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import serial
    except ImportError:
        serial = None

BRIDGE = sys.argv[1]
DEVICE = "--device" in sys.argv[2:]
A, B = ("COM3", "COM3 device") if DEVICE else ("COM3", "COM4")
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


class Terminal:
    """One end as a serial program opens it: pyserial when installed, else termios."""

    def __init__(self, path, rate):
        self.path = path
        if serial:
            self.port = serial.Serial(path, rate, timeout=0)
            self.fd = self.port.fileno()
        else:
            self.port = None
            self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.set_rate(rate)

    def set_rate(self, rate):
        if self.port:
            self.port.baudrate = rate
            return
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = 0
        attrs[1] = 0
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[3] = 0
        speed = getattr(termios, "B%d" % rate)
        attrs[4] = attrs[5] = speed
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.fd], [], 1.0)
            try:
                n = os.write(self.fd, view)
            except BlockingIOError:
                n = 0
            view = view[n:]

    def read(self, count, limit):
        got = bytearray()
        deadline = time.monotonic() + limit
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    got += os.read(self.fd, count - len(got))
                except BlockingIOError:
                    pass
        return bytes(got)

    def close(self):
        if self.port:
            self.port.close()
        else:
            os.close(self.fd)


def transfer(source, sink, data, limit):
    """Writes while reading, as a terminal program does; returns the bytes and the seconds."""
    start = time.monotonic()
    writer = threading.Thread(target=source.write, args=(data,))
    writer.start()
    got = sink.read(len(data), limit)
    seconds = time.monotonic() - start
    writer.join()
    # Nothing more may follow.
    return got + sink.read(1, 0.3), seconds


def main():
    started = time.monotonic()
    print("python3-serial" if serial else "termios (python3-serial not installed)", flush=True)
    command = [BRIDGE, "--zel-cable=pty", "COM3"] if DEVICE else [BRIDGE, "--zel-cable=null-modem", "COM3", "COM4"]
    bridge = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    paths = {}
    lines = []
    timer = threading.Timer(20, bridge.kill)
    timer.start()
    for raw in bridge.stdout:
        line = raw.decode(errors="replace").rstrip("\n")
        lines.append(line)
        if " <-> " in line:
            name, path = line.split(" <-> ")
            paths[name] = path
        if line.startswith("bridge:"):
            break
    timer.cancel()
    found = {A, B} <= set(paths) and all(p.startswith("/dev/pts/") for p in paths.values())
    check(found, "the bridge prints a pseudo-terminal for %s and %s: %s" % (A, B, paths))
    if not found:
        bridge.kill()
        out, err = bridge.communicate()
        print("\n".join(lines), out.decode(), err.decode(), sep="\n")
        return 1
    # The bridge's later lines are read on the side so that its pipe never fills.
    later = []
    reader = threading.Thread(target=lambda: later.extend(l.decode(errors="replace").rstrip("\n") for l in bridge.stdout))
    reader.start()

    a = Terminal(paths[A], 115200)
    b = Terminal(paths[B], 115200)
    rng = random.Random(11)
    for source, sink, what in ((a, b, A + " -> " + B), (b, a, B + " -> " + A)):
        data = bytes(rng.randrange(256) for _ in range(4096))
        got, seconds = transfer(source, sink, data, 8.0)
        check(got == data, "%s: 4096 bytes at 115200 arrive byte-exact (%d bytes came, %s)" %
              (what, len(got), "same" if got == data else "differ"))
        # 4096 ten-bit characters take 0.356 s on the line: a machine running ahead of the
        # wall clock would deliver them sooner.
        check(0.3 <= seconds < 6.0, "%s: took %.2f s, the line time at 115200 or a little more" % (what, seconds))

    # Both ends at 9600: the bridge sets the ports, and the far end its line, to the terminals' rate.
    a.set_rate(9600)
    b.set_rate(9600)
    time.sleep(0.6)
    data = bytes(rng.randrange(256) for _ in range(240))
    got, seconds = transfer(a, b, data, 5.0)
    check(got == data, "%s -> %s at 9600: 240 bytes byte-exact (%d came)" % (A, B, len(got)))
    check(seconds >= 0.22, "%s -> %s at 9600: took %.2f s, at least the 0.25 s line time" % (A, B, seconds))
    a.close()
    b.close()

    bridge.send_signal(signal.SIGINT)
    try:
        status = bridge.wait(10)
    except subprocess.TimeoutExpired:
        bridge.kill()
        status = None
    reader.join(5)
    err = bridge.stderr.read().decode(errors="replace")
    print("\n".join(later))
    print(err, end="")
    check(status == 0, "SIGINT: the bridge exits with %s" % status)
    if DEVICE:
        check("COM3: 9600 8N1" in later, "the bridge reports COM3 following 9600 8N1")
        check("COM3: 4336 bytes to the port, 4096 from it" in later and
              "zel-win32: COM3 device: 4336 bytes to its terminal, 4096 from it" in err,
              "the port's and the far end's byte counts match what went through")
    else:
        check("COM3: 9600 8N1" in later and "COM4: 9600 8N1" in later, "the bridge reports both ports following 9600 8N1")
        check("COM3: 4336 bytes to the port, 4096 from it" in later and
              "COM4: 4096 bytes to the port, 4336 from it" in later, "the bridge's byte counts match what went through")
    check("bridge: stopped" in later, "the bridge says it stopped")
    check("program exited with 0; verifier: 0 report(s); pool: 0 block(s) held" in err,
          "the verifier and pool verdicts are printed and clean")
    elapsed = time.monotonic() - started
    check(elapsed < 30, "the whole run took %.1f s" % elapsed)
    return 1 if failures else 0


sys.exit(main())

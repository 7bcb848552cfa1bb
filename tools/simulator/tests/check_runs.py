#!/usr/bin/env python3
"""Runs the simulator as a user would and checks what it says, what it writes and how it exits.

check_runs.py SIMULATOR CASE [OPTION...], CASE one of: default, null-modem, no-cable, bad-options,
trace, terminal.
Options after the case go to the default run (a sanitized build runs it shorter), which then
is not held to the minute of wall time.
"""
import json
import os
import pty
import re
import subprocess
import sys
import tempfile

SIMULATOR = sys.argv[1]
CASE = sys.argv[2]
EXTRA = sys.argv[3:]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(*args, timeout=120):
    return subprocess.run([SIMULATOR, *args], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def table_rows(stdout):
    """Rows of the summary table: (adapter.port, COM, baud, out, in, lost, errors)."""
    rows = []
    for line in stdout.splitlines():
        m = re.match(r"^\s+(\d+\.\d)\s+(COM\d+)\s+(\d+) 8N1 (\S+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s", line)
        if m:
            rows.append((m[1], m[2], int(m[3]), int(m[5]), int(m[6]), int(m[7]), int(m[8])))
    return rows


def default_run():
    result = run(*EXTRA, timeout=900)
    out = result.stdout
    check(result.returncode == 0, f"default run exited {result.returncode}:\n{out}\n{result.stderr}")
    check("564 firmware requests" in out, "the download is not shown")
    rows = table_rows(out)
    check(len(rows) == 16, f"expected 16 rows (4 ports x 4 rates), got {len(rows)}")
    check(sorted({r[1] for r in rows}) == ["COM3", "COM4", "COM5", "COM6"], f"COM names: {sorted({r[1] for r in rows})}")
    check(sorted({r[2] for r in rows}) == [9600, 57600, 115200, 460800], "baud schedule")
    for port, com, baud, sent, back, lost, errors in rows:
        check(sent > 0 and sent == back and lost == 0 and errors == 0,
              f"{com} at {baud}: out {sent}, in {back}, lost {lost}, errors {errors}")
    check(re.search(r"^Verifier: 0 report\(s\)$", out, re.M), "verifier verdict missing")
    check(re.search(r"^Race detector: ", out, re.M), "race detector verdict missing")
    check("pool outstanding after unload: 0 block(s)" in out, "pool verdict missing")
    check(re.search(r"^PASS", out, re.M), "no PASS line")
    # Not a terminal: no carriage-return progress line, one plain line per phase.
    check("\r" not in out, "progress line written to a pipe")
    check(len(re.findall(r"^  \d/4 ", out, re.M)) == 4, "one progress line per phase")
    wall = re.search(r"Summary \([\d.]+ virtual s, ([\d.]+) wall s\)", out)
    check(wall and (EXTRA or float(wall[1]) < 60), f"wall time: {wall[1] if wall else '?'}")


def null_modem():
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "summary.json")
        capture = os.path.join(scratch, "usb.pcap")
        result = run("--cable", "null-modem", "--adapters", "2", "--baud", "19200,230400", "--duration", "0.2",
                     "--seed", "7", "--json", path, "--capture", capture)
        check(result.returncode == 0, f"exited {result.returncode}:\n{result.stdout}\n{result.stderr}")
        check(os.path.exists(capture) and os.path.getsize(capture) > 24, "no USB capture written")
        # The capture is for tshark: it must read it, bulk transfers of both adapters included.
        decoded = subprocess.run(["tshark", "-r", capture, "-Y", "usb.transfer_type == 0x03", "-T", "fields",
                                  "-e", "usb.device_address"], capture_output=True, text=True, timeout=120)
        check(decoded.returncode == 0, f"tshark: {decoded.stderr}")
        check(len(set(decoded.stdout.split())) == 2, f"bulk traffic of {set(decoded.stdout.split())}")
        with open(path) as f:
            summary = json.load(f)
    check(summary["passed"] is True and summary["seed"] == 7 and summary["cable"] == "null-modem", "header")
    ports = summary["ports"]
    check(len(ports) == 8 and len({p["com"] for p in ports}) == 8, "eight distinct COM names")
    by_place = {(p["adapter"], p["port"]): p for p in ports}
    for (adapter, number), port in by_place.items():
        peer = by_place[(adapter, number + 1 if number % 2 else number - 1)]
        check([ph["baud"] for ph in port["phases"]] == [19200, 230400], "phases")
        for mine, theirs in zip(port["phases"], peer["phases"]):
            # What a port read is exactly what the other end of its cable wrote.
            check(mine["received"] == theirs["written"] > 0,
                  f"{port['com']} at {mine['baud']}: read {mine['received']}, peer wrote {theirs['written']}")
            check(mine["latencyMs"]["samples"] == mine["received"], "one latency sample per byte")
            check(0 < mine["latencyMs"]["median"] <= mine["latencyMs"]["p99"] < 20, f"latency {mine['latencyMs']}")
            check(90 < mine["txPercent"] <= 100.5, f"{port['com']} TX {mine['txPercent']}")
    check(summary["verifier"] == [] and summary["poolOutstanding"] == [] and summary["driverUnloaded"], "verdicts")


def no_cable():
    result = run("--cable", "none", "--duration", "0.1", "--baud", "9600,115200")
    check(result.returncode == 0, f"exited {result.returncode}:\n{result.stdout}\n{result.stderr}")
    rows = table_rows(result.stdout)
    check(len(rows) == 8, f"rows: {len(rows)}")
    for port, com, baud, sent, back, lost, errors in rows:
        check(sent > 0 and back == 0 and errors == 0, f"{com} at {baud}: out {sent}, in {back}")


def bad_options():
    for args in (["--baud", "fast"], ["--baud", "100"], ["--cable", "coax"], ["--adapters", "0"],
                 ["--duration", "-1"], ["--no-such-option"], ["stray"], ["--seed"]):
        result = run(*args, timeout=20)
        check(result.returncode == 2, f"{args}: exit {result.returncode}")
        lines = result.stderr.splitlines()
        check(len(lines) == 1 and lines[0].startswith("simulator: "), f"{args}: stderr {result.stderr!r}")
        check(result.stdout == "", f"{args}: printed {result.stdout!r}")
    result = run("--capture", "/nonexistent/dir/usb.pcap", timeout=20)
    check(result.returncode == 2 and len(result.stderr.splitlines()) == 1, f"--capture: {result.stderr!r}")
    # A summary that cannot be written is a failed run, said in one line after the table.
    result = run("--json", "/nonexistent/dir/summary.json", "--duration", "0.05", "--baud", "9600")
    check(result.returncode == 1 and result.stderr.startswith("simulator: --json: ")
          and len(result.stderr.splitlines()) == 1 and "PASS" in result.stdout, f"--json: {result.stderr!r}")
    result = run("--help", timeout=20)
    check(result.returncode == 0 and "--cable" in result.stdout and "--json" in result.stdout, "--help")


def traced():
    result = run("--trace", "--duration", "0.05", "--baud", "57600")
    out = result.stdout
    check(result.returncode == 0, f"exited {result.returncode}:\n{out}\n{result.stderr}")
    stamped = re.findall(r"^  \[\s*([\d.]+) ms\] (.*)$", out, re.M)
    times = [float(t) for t, _ in stamped]
    check(times == sorted(times), "trace lines out of time order")
    lines = [text for _, text in stamped]
    # Every port opened, configured and closed through the command channel, each answered.
    for port in range(1, 5):
        for name in ("open", "configure", "close"):
            check(any(re.match(rf"adapter 1 command  -> {name}\s+[0-9A-F]{{2}} 0{port} ", l) for l in lines),
                  f"no {name} command for port {port}")
    check(any("response <- done" in l for l in lines), "no command answered")
    # Plug and play: the blank adapter started, removed after the download, the running one and
    # its four ports started, and all of it surprise-removed at the unplug, in that order.
    starts = [l for l in lines if "START_DEVICE" in l]
    check(len(starts) == 6, f"{len(starts)} starts")
    check(sum("ZELBUS\\BRPORTS" in l for l in starts) == 4, "the four ports' starts")
    first_open = next((i for i, l in enumerate(lines) if "-> open" in l), None)
    last_start = max((i for i, l in enumerate(lines) if "START_DEVICE" in l), default=None)
    removals = [i for i, l in enumerate(lines) if "SURPRISE_REMOVAL" in l and "BRPORTS" in l]
    check(first_open is not None and last_start is not None and last_start < first_open, "opened before started")
    check(len(removals) == 4 and min(removals) > first_open, "the ports' removal at the unplug")
    check(any("DriverUnload" in l for l in lines[min(removals or [0]):]), "no unload after the unplug")


def terminal():
    # On a terminal the progress line is rewritten in place and cleared before each phase's line.
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(SIMULATOR, [SIMULATOR, "--duration", "0.3", "--baud", "9600,460800"])
    chunks = []
    while True:
        try:
            data = os.read(fd, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    _, status = os.waitpid(pid, 0)
    out = b"".join(chunks).decode(errors="replace")
    check(os.waitstatus_to_exitcode(status) == 0, f"exit {status}")
    updates = re.findall(r"\r\x1b\[K  (\d)/2 .*?([\d.]+)/0.30 virtual s", out)
    check(len(updates) > 10, f"{len(updates)} progress updates")
    check({u[0] for u in updates} == {"1", "2"}, "updates for both phases")
    check(re.search(r"\r\x1b\[K  2/2 460800 8N1 RTS/CTS\s+4 port\(s\): \d+ bytes out", out), "phase line")
    # No progress line left standing: the last update is overwritten by the last phase's line.
    check(out.rfind("/0.30 virtual s") < out.rfind("4 port(s):") < out.find("Unplugging"), "progress line left")


{"default": default_run, "terminal": terminal, "trace": traced, "null-modem": null_modem, "no-cable": no_cable, "bad-options": bad_options}[CASE]()
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)

#!/usr/bin/env python3
# Morvik started again and again while every core is busy with another job:
# start-up with a path that names nothing (closed from outside), and batches
# of files whose names hold blanks, Japanese and characters outside the BMP,
# written with the first profile (ZIP at the highest level, on the library's
# worker threads) and closing by themselves. A run that does not end in time
# is a hang: the test prints where each of the program's threads waits, then
# kills it and goes on; any hang or wrong result fails the test.
#
#   stress_e2e.py BUILD_APP_DIR PROBE OUTPUT_DIR [SECONDS]
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import Morvik, check, fresh, holds, ini_text, probe_run, win_path, write_ini  # noqa: E402

app_dir, probe, out_dir = (os.path.abspath(a) for a in sys.argv[1:4])
seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 90
e2elib.probe_exe = probe
here = fresh(os.path.join(out_dir, "e2e-stress"))
# Generous: an unloaded run takes two to three seconds.
RUN_LIMIT = 60
# The last one is two deflate segments long: more than one task per run.
NAMES = {"a b  c.txt": b"blank names\n" * 400, "日本語 の 名前.txt": "こんにちは\n".encode() * 400,
         "𠮷野家 😀.txt": "𠮷".encode() * 300, "two segments.txt": b"0123456789abcdef" * 70000}


def missing_path_run(m, n):
    write_ini(m.ini, ini_text())
    m.start("/n", win_path(os.path.join(here, f"missing-{n}.txt")), wait=False)
    if probe_run("wait-window", RUN_LIMIT * 1000)[0] != 0:
        if m.wait_exit(1, f"missing-path run {n}: no window after {RUN_LIMIT} s") is None:
            return "the window never showed"
        return f"ended without showing its window (exit code {m.proc.returncode})"
    try:
        probe_run("wait-stable", 300, RUN_LIMIT * 1000)
        probe_run("close")
    except subprocess.TimeoutExpired:
        pass  # a probe stuck on a window that does not answer: the wait below reports it
    rc = m.wait_exit(RUN_LIMIT, f"missing-path run {n}: still there {RUN_LIMIT} s after the close request")
    return None if rc == 0 else f"exit code {rc}"


def names_run(m, data):
    write_ini(m.ini, ini_text({"AutoClose": "1"}))
    archives = {name: os.path.join(data, os.path.splitext(name)[0] + ".zip") for name in NAMES}
    for a in archives.values():
        if os.path.exists(a):
            os.remove(a)
    m.start("/n", *[win_path(os.path.join(data, name)) for name in NAMES], wait=False)
    rc = m.wait_exit(RUN_LIMIT, f"names run: the batch has not closed the program after {RUN_LIMIT} s")
    if rc != 0:
        return f"exit code {rc}"
    wrong = [name for name, a in archives.items() if not holds(a, name, NAMES[name])]
    return f"wrong archives {wrong}" if wrong else None


if not os.environ.get("DISPLAY"):
    print("SKIPPED: no DISPLAY (scripts/test starts a private display)")
    sys.exit(0)
e2elib.cleanup_leftovers()
data = os.path.join(here, "data")
os.makedirs(data)
for name, content in NAMES.items():
    with open(os.path.join(data, name), "wb") as f:
        f.write(content)
m = Morvik(app_dir, here)
# The other job: a busy loop on every core for as long as the runs go on.
load = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 2)]
started = time.time()
runs = {"missing path": 0, "names": 0}
bad = []
try:
    while time.time() - started < seconds:
        kind = "missing path" if runs["missing path"] <= runs["names"] else "names"
        runs[kind] += 1
        n = sum(runs.values())
        fault = missing_path_run(m, n) if kind == "missing path" else names_run(m, data)
        if fault:
            bad.append(f"run {n} ({kind}): {fault}")
            print("FAIL " + bad[-1], flush=True)
            e2elib.cleanup_leftovers()
finally:
    for p in load:
        p.send_signal(signal.SIGKILL)
        p.wait()
    m.kill()
    e2elib.cleanup_leftovers()
check(not bad, f"{sum(runs.values())} runs ({runs['missing path']} with a missing path, {runs['names']} with "
               f"awkward names) in {time.time() - started:.0f} s under load, each ended in time with the right "
               f"result ({len(bad)} did not)")
if not check.failures:
    subprocess.run(["rm", "-rf", here])
sys.exit(1 if check.failures else 0)

#!/usr/bin/env python3
# The archiver library's progress window under Wine: a long job shows it over
# Morvik's window, a press on its cancel button from outside stops the job,
# the log says NG, and nothing is left or changed: no archive, no temporary
# file, an archive that was already there byte for byte as it was, and the
# source still there although the settings ask to delete sources.
#
#   progress_e2e.py BUILD_APP_DIR PROBE OUTPUT_DIR
import os
import shutil
import subprocess
import sys
import time
import zipfile

import e2elib
from e2elib import check, digest, leftovers, probe_run, tree_digest, win_path

app_dir, probe, out_dir = (os.path.abspath(a) for a in sys.argv[1:4])
e2elib.probe_exe = probe
here = os.path.join(out_dir, "e2e-progress")
PROGRESS_CLASS = "MorvikArchiverProgress"
# Random letters from an alphabet of four: short matches everywhere, which
# keeps the near-optimal parse of the default profile busy (about four
# times as long as on incompressible bytes), so that the job runs for
# several seconds under Wine and is seen and cancelled before it ends.
DATA_FILES, DATA_FILE_SIZE = 6, 16 << 20
FOUR_LETTERS = bytes.maketrans(bytes(range(256)), bytes(b"abcd"[i % 4] for i in range(256)))


def write_settings(path):
    # The program's settings file: profile 1 (ZIP at the highest level),
    # archives beside their sources, and sources deleted after a success.
    o = {"X": "300", "Y": "300", "DelFile": "1", "TopFolderCompress": "0",
         "7zCommandLine": "a -tzip -mx=9 -mfb=64 -mpass=4 -r", "7zCommandLine2": "a -tzip -mx=0 -r",
         "7zCommandLine3": "a -t7z -mx=9 -r", "7zCommandLine4": "a -t7z -mx=0 -r", "7zCommandLineSelect": "0",
         "7zExt": ".zip", "7zExt2": ".zip", "7zExt3": ".7z", "7zExt4": ".7z",
         "DestFolder": "", "AutoClose": "0", "DeleteMode": "0", "DestFolderMode": "1"}
    text = ("[Main]\nX=100\nY=100\nW=420\nH=300\nDir=\n\n[Option]\n" +
            "".join(f"{k}={v}\n" for k, v in o.items()) + "\n")
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le"))


def run_and_cancel(app, source, existing=0, shot=None):
    """Starts Morvik on SOURCE, waits for the progress window, optionally
    takes a screenshot of it, presses its cancel button; returns the log.
    EXISTING is the size of an archive already there (part of the total)."""
    err = open(os.path.join(here, "morvik-stderr.txt"), "ab")
    proc = subprocess.Popen(["wine", os.path.join(app, "Morvik.exe"), "/n", win_path(source)],
                            stdin=subprocess.DEVNULL, stdout=err, stderr=err)
    err.close()
    check(probe_run("wait-window", 30000)[0] == 0, "the main window appears")
    rc, rect = probe_run("wait-class", 120000, PROGRESS_CLASS)
    if not check(rc == 0 and rect, "the progress window appears while the job runs"):
        probe_run("close")
        proc.wait(timeout=60)
        return []
    _, state = probe_run("state")
    check(state == ["disabled visible"], f"Morvik's window is disabled meanwhile ({state})")
    time.sleep(1.5)  # a few updates of the bar
    _, texts = probe_run("texts", PROGRESS_CLASS)
    print("progress window: " + " | ".join(texts))
    name = os.path.basename(source) + ".zip"
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(source) for f in files)
    total = f"{size + existing:,} バイト"
    check(texts[:1] == ["圧縮中"], f"its caption ({texts[:1]})")
    check(f"書庫: {name}" in texts, f"it names the archive {name}")
    counts = [t for t in texts if t.endswith(" / " + total)]
    check(len(counts) == 1, f"it counts the bytes read of {total}")
    check("キャンセル" in texts, "it has a cancel button")
    if shot:
        x, y, w, h = (int(v) for v in rect[0].split())
        subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", shot], check=False)
        print("screenshot: " + shot)
    check(probe_run("press", 10000, PROGRESS_CLASS, "キャンセル")[0] == 0, "the cancel button is pressed")
    rc, lines = probe_run("wait-lines", 1, 120000)
    probe_run("wait-stable", 1000, 60000)
    _, lines = probe_run("lines")
    check(probe_run("wait-class", 100, PROGRESS_CLASS)[0] == 1, "the progress window is gone")
    probe_run("close")
    try:
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        check(False, "Morvik closes")
    return lines


def main():
    shutil.rmtree(here, ignore_errors=True)
    app = os.path.join(here, "app")
    os.makedirs(app)
    for f in ("Morvik.exe", "7-ZIP32.DLL"):
        shutil.copy(os.path.join(app_dir, f), app)
    write_settings(os.path.join(app, "Morvik.ini"))
    data = os.path.join(here, "data")
    source = os.path.join(data, "big")
    os.makedirs(os.path.join(source, "sub"))
    for i in range(DATA_FILES):
        with open(os.path.join(source, "sub" if i % 2 else "", f"part{i}.bin"), "wb") as f:
            f.write(os.urandom(DATA_FILE_SIZE).translate(FOUR_LETTERS))
    before = tree_digest(source)
    archive = source + ".zip"
    os.makedirs(out_dir, exist_ok=True)

    # A new archive: none is left after the cancel.
    lines = run_and_cancel(app, source, shot=os.path.join(out_dir, "e2e-progress.png"))
    check(lines == ["[DirectoryNG] big"],
          f"the log says NG for the folder ({lines})")
    check(not os.path.exists(archive), "no archive is left")
    check(not leftovers(data), f"no temporary file is left ({leftovers(data)})")
    check(tree_digest(source) == before, "the source is all there")

    # An archive already at that path stays as it was.
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("earlier.txt", "an earlier archive\n")
    old = digest(archive)
    lines = run_and_cancel(app, source, existing=os.path.getsize(archive))
    check(lines == ["[DirectoryNG] big"], f"the log says NG again ({lines})")
    check(os.path.exists(archive) and digest(archive) == old, "the existing archive is unchanged")
    check(not leftovers(data), f"no temporary file is left ({leftovers(data)})")
    check(tree_digest(source) == before, "the source is still all there")


if not os.environ.get("DISPLAY"):
    print("SKIPPED: no DISPLAY (scripts/test starts a private display)")
    sys.exit(0)


def case():
    try:
        main()
    finally:
        # The data is large: never keep it, whatever the outcome.
        shutil.rmtree(os.path.join(here, "data"), ignore_errors=True)


e2elib.run_case("progress", case, here)

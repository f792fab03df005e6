#!/usr/bin/env python3
# Morvik end to end with faults caused on purpose: a read-only destination, a
# destination that vanishes during a batch, a full disk while an archive is
# written and while the settings are saved, a source held open by another
# program, an archiver library that fails every source, and the program
# killed in the middle of a large archive, a close request from outside to
# every window of the program. After each: nothing the user had is lost, and
# the user got a readable result.
#
#   faults_e2e.py CASE BUILD_APP_DIR PROBE OUTPUT_DIR RECORDER_DLL
import os
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import Morvik, Tmpfs, check, digest, fresh, holds, ini_text, leftovers, make_file, probe_run, read_ini, \
    tree_digest, win_path, write_ini  # noqa: E402

case, app_dir, probe, out_dir, recorder = sys.argv[1:6]
app_dir, out_dir = os.path.abspath(app_dir), os.path.abspath(out_dir)
e2elib.probe_exe = probe
here = fresh(os.path.join(out_dir, "e2e-faults-" + case))


def earlier_archive(path):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("earlier.txt", "an archive the user made before\n")
    return digest(path)


def still_open(seconds):
    # The window is still there after SECONDS: auto-close did not fire.
    time.sleep(seconds)
    return probe_run("wait-window", 100)[0] == 0


def readonly_dest():
    # Archives go into a folder on a read-only file system (a tmpfs remounted
    # read-only: as root, permission bits alone would not stop anything).
    # The folder already holds an archive under the name of the first job.
    m = Morvik(app_dir, here)
    d = os.path.join(here, "data")
    make_file(os.path.join(d, "a.txt"), b"a\n" * 1000)
    make_file(os.path.join(d, "b", "inner.txt"), b"inner\n")
    with Tmpfs(os.path.join(here, "ro"), "1m", "r") as fs:
        before_zip = earlier_archive(os.path.join(fs.dir, "a.zip"))
        fs.remount("ro")
        before = tree_digest(d)
        write_ini(m.ini, ini_text({"DestFolderMode": "2", "DestFolder": "R:\\", "DelFile": "1", "DeleteMode": "2",
                                   "AutoClose": "1"}))
        m.start("/n", win_path(os.path.join(d, "a.txt")), win_path(os.path.join(d, "b")))
        lines = m.settle(2)
        check(lines == ["[FileNG] a.txt", "[DirectoryNG] b"], f"an NG line for each source ({lines})")
        check(still_open(2), "auto-close does not fire after a failed batch")
        m.stop()
        check(tree_digest(d) == before, "both sources are intact, nothing deleted")
        check(sorted(os.listdir(fs.dir)) == ["a.zip"] and digest(os.path.join(fs.dir, "a.zip")) == before_zip,
              "the earlier archive is unchanged and nothing else appeared")


def vanishing_dest():
    # The chosen folder is moved away while a batch of 30 sources runs, with
    # direct deletion on: every source is either still there, or its archive
    # holds its bytes (where the folder went, or where it is again).
    m = Morvik(app_dir, here)
    d = os.path.join(here, "data")
    dest, gone = os.path.join(here, "out"), os.path.join(here, "out.gone")
    os.makedirs(dest)
    sources = {}
    for i in range(30):
        data = os.urandom(256 * 1024)
        make_file(os.path.join(d, f"s{i:02d}.bin"), data)
        sources[f"s{i:02d}"] = data
    write_ini(m.ini, ini_text({"DestFolderMode": "2", "DestFolder": win_path(dest), "DelFile": "1",
                               "DeleteMode": "2"}))
    m.start("/n", *[win_path(os.path.join(d, n + ".bin")) for n in sorted(sources)])
    deadline = time.time() + 120
    while time.time() < deadline and len([n for n in os.listdir(dest) if n.endswith(".zip")]) < 3:
        time.sleep(0.02)
    os.rename(dest, gone)
    moved_at = len([n for n in os.listdir(gone) if n.endswith(".zip")])
    lines = m.settle(30, 300000)
    m.stop()
    print(f"the folder vanished after {moved_at} archives; log: {lines}")
    check(len(lines) == 30 and all(l in (f"[FileOK] {n}.bin", f"[FileNG] {n}.bin")
                                   for l, n in zip(lines, sorted(sources))), "one line per source, in order")
    lost = []
    for (n, data), line in zip(sorted(sources.items()), lines):
        src = os.path.join(d, n + ".bin")
        archived = any(holds(os.path.join(f, n + ".zip"), n + ".bin", data) for f in (dest, gone))
        kept = os.path.exists(src) and open(src, "rb").read() == data
        if not (archived or kept):
            lost.append(n)
        if line.startswith("[FileOK]"):
            check(archived, f"{n}: OK and its archive holds it")
        else:
            check(kept, f"{n}: NG and the source is kept")
    check(not lost, f"nothing lost ({lost})")
    # The archiver writes into a temporary file beside the archive and renames
    # it at the end; the one job whose folder went away under it cannot rename
    # or remove its temporary file, which moved along with the folder.
    stray = leftovers(here)
    check(all(os.path.dirname(p) == gone for p in stray), f"no partial archive but in the moved folder ({stray})")
    ng = [n for (n, _), line in zip(sorted(sources.items()), lines) if line.startswith("[FileNG]")]
    check(len(stray) <= 1 and all(os.path.basename(p).split(".")[0] in ng for p in stray),
          f"at most the one of the job in flight ({[os.path.basename(p) for p in stray]}, NG: {ng})")


def disk_full_archive():
    # A destination drive of 8 MB: a 12 MB incompressible file cannot fit, as
    # file and as folder; a small file after them still can. The drive holds
    # an earlier archive under the first job's name.
    m = Morvik(app_dir, here)
    d = os.path.join(here, "data")
    big = os.urandom(12 << 20)
    make_file(os.path.join(d, "big.bin"), big)
    make_file(os.path.join(d, "bigdir", "big.bin"), big)
    make_file(os.path.join(d, "small.txt"), b"small\n" * 100)
    with Tmpfs(os.path.join(here, "m"), "8m", "m") as fs:
        before_zip = earlier_archive(os.path.join(fs.dir, "big.zip"))
        before = {k: v for k, v in tree_digest(d).items() if "small" not in k}
        write_ini(m.ini, ini_text({"DestFolderMode": "2", "DestFolder": "M:\\", "DelFile": "1", "DeleteMode": "2",
                                   "7zCommandLineSelect": "1"}))
        m.start("/n", *[win_path(os.path.join(d, n)) for n in ("big.bin", "bigdir", "small.txt")])
        lines = m.settle(3, 180000)
        m.stop()
        check(lines == ["[FileNG] big.bin", "[DirectoryNG] bigdir", "[FileOK] small.txt"],
              f"NG for what does not fit, OK for what does ({lines})")
        check(digest(os.path.join(fs.dir, "big.zip")) == before_zip, "the earlier archive is unchanged")
        check(sorted(os.listdir(fs.dir)) == ["big.zip", "small.zip"], f"no partial archive ({os.listdir(fs.dir)})")
        check(holds(os.path.join(fs.dir, "small.zip"), "small.txt", b"small\n" * 100), "small.zip is whole")
        check({k: v for k, v in tree_digest(d).items() if "small" not in k} == before,
              "the sources that failed are intact")
        check(not os.path.exists(os.path.join(d, "small.txt")), "the one that succeeded was deleted as asked")


def disk_full_settings():
    # The program runs from a drive that is full when it saves its settings:
    # a message in Japanese at the close, and the previous file intact.
    with Tmpfs(os.path.join(here, "s"), "6m", "s") as fs:
        m = Morvik(app_dir, here)
        m.place(app_dir, fs.dir)
        exe = "S:\\Morvik.exe"
        extra = "".join(f"note{i}=a note the user keeps\n" for i in range(3000))
        write_ini(m.ini, ini_text({"7zCommandLineSelect": "2"}, {"X": "120"}) + "[Notes]\n" + extra)
        before = digest(m.ini)
        filler = os.path.join(fs.dir, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        src = os.path.join(here, "data", "doc.txt")
        make_file(src, b"doc\n" * 100)
        m.start("/n", win_path(src), exe=exe)
        lines = m.settle(1)
        check(lines == ["[FileOK] doc.txt"], f"the job ran ({lines})")
        m.stop(expect_message="設定ファイルを保存できません\nS:\\Morvik.ini")
        check(digest(m.ini) == before, "the previous settings file is intact")
        check(not leftovers(fs.dir), f"no temporary file left on the full drive ({leftovers(fs.dir)})")
        # With room again, the next run saves as usual and keeps the notes.
        os.remove(filler)
        m.start("/n", win_path(src), exe=exe)
        m.settle(1)
        m.stop()
        after = read_ini(m.ini)
        check("7zCommandLineSelect=2\r\n" in after and "note2999=a note the user keeps\r\n" in after,
              "the next run saves, keeping what the user had")


def locked_source():
    # Another program holds a file open without sharing: once as a source of
    # its own, once inside a source folder. Direct deletion is on.
    m = Morvik(app_dir, here)
    d = os.path.join(here, "data")
    make_file(os.path.join(d, "locked.txt"), b"locked\n" * 100)
    make_file(os.path.join(d, "box", "held.txt"), b"held\n" * 100)
    make_file(os.path.join(d, "box", "other.txt"), b"other\n" * 100)
    make_file(os.path.join(d, "free.txt"), b"free\n" * 100)
    before = {k: v for k, v in tree_digest(d).items() if "free" not in k}
    holders = []
    try:
        for p in (os.path.join(d, "locked.txt"), os.path.join(d, "box", "held.txt")):
            log = p + ".holder"
            holders.append((subprocess.Popen(["wine", probe, "hold", "120000", win_path(p)],
                                             stdin=subprocess.DEVNULL, stdout=open(log, "wb"),
                                             stderr=subprocess.DEVNULL), log))
        for _, log in holders:
            deadline = time.time() + 30
            while time.time() < deadline and b"held" not in open(log, "rb").read():
                time.sleep(0.1)
            check(b"held" in open(log, "rb").read(), "the other program holds its file")
        write_ini(m.ini, ini_text({"DelFile": "1", "DeleteMode": "2"}))
        m.start("/n", *[win_path(os.path.join(d, n)) for n in ("locked.txt", "box", "free.txt")])
        lines = m.settle(2)
        m.stop()
        # A file that cannot be opened is no source the program can read: it
        # is skipped without a line, like a path that names nothing.
        check(lines == ["[DirectoryNG] box", "[FileOK] free.txt"], f"log {lines}")
    finally:
        for p in (os.path.join(d, "locked.txt"), os.path.join(d, "box", "held.txt")):
            open(p + ".release", "w").close()
        for h, log in holders:
            try:
                h.wait(timeout=10)
            except subprocess.TimeoutExpired:
                h.kill()
            os.remove(log)
        for p in (os.path.join(d, "locked.txt"), os.path.join(d, "box", "held.txt")):
            os.remove(p + ".release")
    check({k: v for k, v in tree_digest(d).items() if "free" not in k} == before,
          "the locked file and the folder are intact, nothing deleted")
    check(not os.path.exists(os.path.join(d, "locked.zip")) and not os.path.exists(os.path.join(d, "box.zip")),
          "no archive for what failed")
    check(holds(os.path.join(d, "free.zip"), "free.txt", b"free\n" * 100), "the free file was archived")
    check(not leftovers(d), "no partial archive")


def failing_library():
    # A library that fails every call: NG lines, nothing deleted although
    # deletion and auto-close are on, and the program stays open.
    m = Morvik(app_dir, here, library=recorder)
    d = os.path.join(here, "data")
    make_file(os.path.join(d, "one.txt"), b"one\n")
    make_file(os.path.join(d, "dir", "inner.txt"), b"inner\n")
    make_file(os.path.join(d, "two.txt"), b"two\n")
    before = tree_digest(d)
    write_ini(m.ini, ini_text({"DelFile": "1", "DeleteMode": "2", "AutoClose": "1"}))
    calls = os.path.join(here, "calls.txt")
    env = dict(os.environ, MORVIK_RECORDER_RESULTS="1", MORVIK_RECORDER_LOG=win_path(calls),
               MORVIK_RECORDER_VERSION="922")
    m.start("/n", *[win_path(os.path.join(d, n)) for n in ("one.txt", "dir", "two.txt")], env=env)
    lines = m.settle(3)
    check(lines == ["[FileNG] one.txt", "[DirectoryNG] dir", "[FileNG] two.txt"],
          f"NG lines for every source ({lines})")
    check(still_open(3), "auto-close does not fire")
    m.stop()
    recorded = [l for l in open(calls, encoding="utf-8").read().splitlines() if l.startswith("SevenZip\t")]
    check(len(recorded) == 3, f"the library was asked three times ({len(recorded)})")
    check(tree_digest(d) == before, "nothing deleted or changed")


def kill_large():
    # The program is killed while it writes a large archive over an earlier
    # one of that name: the earlier archive is unchanged, the source and the
    # settings file too; a new run then makes the archive as usual.
    m = Morvik(app_dir, here)
    d = os.path.join(here, "data")
    big = os.urandom(64 << 20)
    make_file(os.path.join(d, "big.bin"), big)
    before_zip = earlier_archive(os.path.join(d, "big.zip"))
    write_ini(m.ini, ini_text({"DelFile": "1", "DeleteMode": "2"}, {"X": "150"}))
    before_ini = digest(m.ini)
    m.start("/n", win_path(os.path.join(d, "big.bin")))
    deadline = time.time() + 120
    temp = []
    while time.time() < deadline:
        temp = [os.path.join(d, n) for n in os.listdir(d) if n not in ("big.bin", "big.zip")]
        if temp and os.path.getsize(temp[0]) > (4 << 20):
            break
        time.sleep(0.05)
    _, caption = probe_run("caption")
    check(bool(temp) and caption == ["[圧縮中/File] big.bin"],
          f"killed in the middle of the job ({caption}, {[os.path.basename(t) for t in temp]})")
    m.kill()
    check(probe_run("wait-gone", 10000)[0] == 0, "the program is gone")
    check(digest(os.path.join(d, "big.zip")) == before_zip, "the earlier archive under the final name is unchanged")
    check(open(os.path.join(d, "big.bin"), "rb").read() == big, "the source is intact")
    check(digest(m.ini) == before_ini, "the settings file is unchanged")
    left = leftovers(d)
    print("left by the kill:", [os.path.basename(p) for p in left])
    # Made to look abandoned long ago: the next run for this archive removes it.
    for p in left:
        os.utime(p, (time.time() - 7200, time.time() - 7200))
    # Faster profile for the new run: the point is the result, not the time.
    write_ini(m.ini, ini_text({"DelFile": "0", "7zCommandLineSelect": "1"}))
    m.start("/n", win_path(os.path.join(d, "big.bin")))
    lines = m.settle(1, 120000)
    m.stop()
    check(lines == ["[FileOK] big.bin"], f"a new run succeeds ({lines})")
    check(left and not leftovers(d), f"and removes the temporary file the kill left ({leftovers(d)})")
    check(holds(os.path.join(d, "big.zip"), "big.bin", big) and holds(os.path.join(d, "big.zip"), "earlier.txt",
          b"an archive the user made before\n"), "and the archive holds the old entry and the new one")


def taskkill():
    with open(os.path.join(here, "taskkill.txt"), "ab") as out:
        r = subprocess.run(["wine", "taskkill", "/im", "Morvik.exe"], stdin=subprocess.DEVNULL, stdout=out,
                           stderr=out, timeout=60)
    check(r.returncode == 0, f"taskkill sent its close requests (exit code {r.returncode})")


def close_request():
    # taskkill without /f sends a close request to every top-level window of
    # the program, the drop-down lists of the options dialog's combo boxes
    # included. The profiles and extensions survive it: with the main window
    # alone, and with the options dialog open (the program then ends when
    # the dialog is confirmed, without running the batch).
    m = Morvik(app_dir, here)
    src = os.path.join(here, "data", "kept.txt")
    make_file(src, b"kept\n")
    option = {"7zCommandLine": "a -tzip -mx=7 -r", "7zCommandLine5": "a -tzip -mx=1 -r", "7zExt5": ".cbz",
              "7zCommandLineSelect": "4"}
    write_ini(m.ini, ini_text(option))
    wanted = [line for line in ini_text(option).split("\n") if line.startswith("7z")]

    def kept(when):
        text = read_ini(m.ini)
        lost = [line for line in wanted if line + "\r\n" not in text]
        check(not lost, f"{when}: every profile, extension and the selection are kept (lost: {lost})")

    m.start()
    taskkill()
    check(m.wait_exit() == 0, "the program ends with code 0")
    kept("main window alone")

    m.start(win_path(src))
    check(probe_run("wait-class", 30000, "TMV_OPTION")[0] == 0, "the options dialog opens first")
    taskkill()
    time.sleep(2)
    check(probe_run("wait-class", 100, "TMV_OPTION")[0] == 0 and m.proc.poll() is None,
          "the dialog and the program are still there")
    probe_run("press", 10000, "TMV_OPTION", "OK")
    check(m.wait_exit() == 0, "confirming the dialog ends the program with code 0")
    check(not os.path.exists(os.path.join(here, "data", "kept.cbz")), "the batch asked for did not run")
    kept("options dialog open")


CASES = {"readonly-dest": readonly_dest, "vanishing-dest": vanishing_dest, "disk-full-archive": disk_full_archive,
         "disk-full-settings": disk_full_settings, "locked-source": locked_source,
         "failing-library": failing_library, "kill-large": kill_large, "close-request": close_request}
NEEDS_MOUNT = {"readonly-dest", "disk-full-archive", "disk-full-settings"}

if not os.environ.get("DISPLAY"):
    print("SKIPPED: no DISPLAY (scripts/test starts a private display)")
    sys.exit(0)
if case in NEEDS_MOUNT and not e2elib.can_mount():
    print("FAIL: this case mounts a tmpfs and needs root")
    sys.exit(1)
e2elib.run_case(case, CASES[case], here)

#!/usr/bin/env python3
# Morvik end to end with hostile input: settings files that are noise, huge,
# or full of sections; a profile of 100,000 characters; paths at and beyond
# the classic limits; names outside the Basic Multilingual Plane; a folder of
# 10,000 files; a drop of 1,000 paths. Each case runs its own copy of the
# program and checks that the user gets a readable result and loses nothing.
#
#   badinput_e2e.py CASE BUILD_APP_DIR PROBE OUTPUT_DIR
import os
import random
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import Morvik, check, digest, drop, fresh, holds, ini_text, make_file, probe_run, read_ini, \
    win_path, write_ini  # noqa: E402

case, app_dir, probe, out_dir = sys.argv[1:5]
app_dir, out_dir = os.path.abspath(app_dir), os.path.abspath(out_dir)
e2elib.probe_exe = probe
here = fresh(os.path.join(out_dir, "e2e-badinput-" + case))


def run_one(m, source, settings_bytes=None):
    """Runs a /n batch of SOURCE with the settings given; returns the log."""
    if settings_bytes is not None:
        with open(m.ini, "wb") as f:
            f.write(settings_bytes)
    m.start("/n", win_path(source))
    return m.settle(1)


# --- Settings files -------------------------------------------------------

def settings_random():
    # 256 KiB of noise (seeded: a failure is reproducible). Read as UTF-16
    # text it holds no section: not a settings file the program recognises.
    # The start says so, the run has its defaults, and the file is left
    # exactly as it was, without a word at the close.
    m = Morvik(app_dir, here)
    src = os.path.join(here, "data", "noise-test.txt")
    data = b"settings noise\n" * 100
    make_file(src, data)
    noise = random.Random(9).randbytes(256 * 1024)
    with open(m.ini, "wb") as f:
        f.write(noise)
    m.start("/n", win_path(src), wait=False)
    rc, box = probe_run("message", 30000)
    check(rc == 0 and box[:2] == ["エラー", "設定ファイルを読み込めません"], f"the start shows why ({box[:2]})")
    lines = m.settle(1)
    check(lines == ["[FileOK] noise-test.txt"], f"defaults run the job ({lines})")
    m.stop()
    check(holds(os.path.join(here, "data", "noise-test.zip"), "noise-test.txt", data), "the default profile's .zip")
    check(open(m.ini, "rb").read() == noise, "the settings file is unchanged")


def settings_10mb():
    # A settings file of 10 MB: a section of filler between Main and Option.
    # Option selects profile 3 (7z), so a .7z shows that the file was read
    # past the filler; everything comes back at the end.
    m = Morvik(app_dir, here)
    src = os.path.join(here, "data", "big-settings.txt")
    make_file(src, b"ten megabytes of settings\n" * 100)
    filler = "".join(f"key{i:06d}={'v' * 40}\n" for i in range(110000))
    text = ini_text({"7zCommandLineSelect": "2"})
    text = text.replace("\n[Option]\n", "\n[Filler]\n" + filler + "\n[Option]\n")
    write_ini(m.ini, text)
    size = os.path.getsize(m.ini)
    check(size > 10_000_000, f"the settings file has {size} bytes")
    t = time.time()
    lines = run_one(m, src)
    check(lines == ["[FileOK] big-settings.txt"], f"the job ran ({lines}) after {time.time() - t:.1f} s")
    m.stop()
    check(os.path.exists(os.path.join(here, "data", "big-settings.7z")), "profile 3 was read past the filler")
    after = read_ini(m.ini)
    check(("[Filler]\r\n" + filler.replace("\n", "\r\n")) in after, "the filler section is written back whole")
    check("7zCommandLineSelect=2\r\n" in after, "the selection is written back")


def settings_too_big():
    # Beyond what a settings file can be (16 MiB): not read, a message in
    # Japanese, the defaults, and the file left exactly as it was.
    m = Morvik(app_dir, here)
    src = os.path.join(here, "data", "huge-settings.txt")
    make_file(src, b"x" * 1000)
    write_ini(m.ini, ini_text({"7zCommandLineSelect": "2"}) + "[Filler]\n" + ("k=" + "v" * 1000 + "\n") * 9000)
    before = digest(m.ini)
    m.start("/n", win_path(src), wait=False)
    rc, box = probe_run("message", 30000)
    check(rc == 0 and box[:2] == ["エラー", "設定ファイルを読み込めません"], f"the start shows why ({box[:2]})")
    lines = m.settle(1)
    check(lines == ["[FileOK] huge-settings.txt"], f"the job ran with defaults ({lines})")
    m.stop()
    check(os.path.exists(os.path.join(here, "data", "huge-settings.zip")), "the default profile's .zip")
    check(digest(m.ini) == before, "the settings file is unchanged")
    check([n for n in os.listdir(m.app) if ".new-" in n] == [], "no temporary file left beside it")


def settings_sections():
    # 100,000 sections before Option, which selects profile 3 (7z).
    m = Morvik(app_dir, here)
    src = os.path.join(here, "data", "sections.txt")
    make_file(src, b"sections\n" * 100)
    many = "".join(f"[S{i:06d}]\nk=v{i}\n\n" for i in range(100000))
    text = ini_text({"7zCommandLineSelect": "2"}).replace("\n[Option]\n", "\n" + many + "[Option]\n")
    write_ini(m.ini, text)
    t = time.time()
    lines = run_one(m, src)
    check(lines == ["[FileOK] sections.txt"], f"the job ran ({lines}) after {time.time() - t:.1f} s")
    t = time.time()
    m.stop()
    print(f"closing took {time.time() - t:.1f} s")
    check(os.path.exists(os.path.join(here, "data", "sections.7z")), "Option was found after 100,000 sections")
    after = read_ini(m.ini)
    check(after.count("\r\n[S") == 100000 and "[S099999]\r\nk=v99999\r\n" in after,
          "all 100,000 sections are written back")


def long_profile():
    # A profile of 100,000 characters: the switches of a valid profile with
    # blanks between them, then one of 100,000 characters of nonsense. The
    # first must work or fail with a line, the second must fail with a line;
    # both must come back unchanged in the settings file.
    m = Morvik(app_dir, here)
    src = os.path.join(here, "data", "profile.txt")
    data = b"long profile\n" * 100
    make_file(src, data)
    padded = "a -tzip" + " " * (100000 - len("a -tzip -mx=1 -r")) + " -mx=1 -r"
    nonsense = "a -tzip -r -" + "q" * (100000 - 12)
    check(len(padded) == 100000 and len(nonsense) == 100000, "both profiles have 100,000 characters")
    write_ini(m.ini, ini_text({"7zCommandLine5": padded, "7zExt5": ".zip", "7zCommandLine6": nonsense,
                               "7zExt6": ".zip", "7zCommandLineSelect": "4"}))
    lines = run_one(m, src)
    check(lines == ["[FileOK] profile.txt"], f"the long valid profile works ({lines})")
    m.stop()
    check(holds(os.path.join(here, "data", "profile.zip"), "profile.txt", data), "profile.zip holds the file")
    text = read_ini(m.ini)
    check(("7zCommandLine5=" + padded + "\r\n") in text and ("7zCommandLine6=" + nonsense + "\r\n") in text,
          "both profiles are written back unchanged")
    os.remove(os.path.join(here, "data", "profile.zip"))
    write_ini(m.ini, text.replace("7zCommandLineSelect=4", "7zCommandLineSelect=5"))
    lines = run_one(m, src)
    check(lines == ["[FileNG] profile.txt"], f"the nonsense profile fails with a line ({lines})")
    m.stop()
    check(not os.path.exists(os.path.join(here, "data", "profile.zip")), "and leaves no archive")
    check(digest(src) == digest_of(data), "the source is intact")


def digest_of(data):
    import hashlib
    return hashlib.sha256(data).hexdigest()


# --- Paths and names -------------------------------------------------------

def path_of_length(root, n, stem):
    """A file path under ROOT whose Windows form (Z:\\...) is N characters:
    folders of 200 characters, then the file's name padded to fit."""
    parts = []
    need = n - len(win_path(root)) - 1  # what the folders and the name take
    while need - 201 > len(stem) + 8:
        parts.append("d" * 200)
        need -= 201
    name = stem + "_" * (need - len(stem) - 4) + ".txt"
    path = os.path.join(root, *parts, name)
    assert len(win_path(path)) == n, (len(win_path(path)), n)
    return path


def long_paths():
    # Files whose full paths are 259, 260, 261, 300 and 1,000 characters
    # long, a folder whose archive path crosses 260, and a file whose path has
    # more than 32,767 bytes of UTF-8 (Japanese folder names, three bytes a
    # character). Sources are deleted directly after success, long ones
    # through their long form: a source is either still there, or its archive
    # holds its bytes.
    m = Morvik(app_dir, here)
    root = os.path.join(here, "L")
    os.makedirs(root)
    sources = []
    for n in (259, 260, 261, 300, 1000):
        p = path_of_length(os.path.join(root, str(n)), n, f"f{n}")
        data = f"path of {n} characters\n".encode() * 20
        make_file(p, data)
        sources.append((p, data))
    folder = path_of_length(os.path.join(root, "dir"), 262, "g")[:-4]  # its archive: 262
    make_file(os.path.join(folder, "inner.txt"), b"inner\n")
    check(len(win_path(folder)) == 258 and len(win_path(folder + ".zip")) == 262,
          "a folder of 258 characters, whose archive path crosses 260")
    # The deepest: built step by step, as no single system call takes it.
    deep_root = os.path.join(root, "deep")
    os.makedirs(deep_root)
    fd = os.open(deep_root, os.O_RDONLY)
    comps = []
    try:
        while len(win_path(deep_root).encode()) + sum(len(c.encode()) + 1 for c in comps) < 33000:
            c = "深" * 80
            os.mkdir(c, dir_fd=fd)
            nfd = os.open(c, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = nfd
            comps.append(c)
        wfd = os.open("deep.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(wfd, b"deep\n")
        os.close(wfd)
    finally:
        os.close(fd)
    deep = win_path(deep_root) + "\\" + "\\".join(comps) + "\\deep.txt"
    check(len(deep.encode()) > 32767 and len(deep) < 32767,
          f"the deep path has {len(deep.encode())} bytes of UTF-8 ({len(deep)} characters)")
    last = os.path.join(root, "last.txt")
    make_file(last, b"last\n")
    write_ini(m.ini, ini_text({"DelFile": "1", "DeleteMode": "2"}))
    args = [win_path(p) for p, _ in sources] + [win_path(folder), deep, win_path(last)]
    m.start("/n", *args)
    lines = m.settle(len(sources) + 2, 180000)
    print("log:", [l[:60] for l in lines])
    expected = ["[FileOK] " + os.path.basename(p) for p, _ in sources] + \
        ["[DirectoryOK] " + os.path.basename(folder), "[FileOK] last.txt"]
    check(lines == expected, "every long path is compressed; the path no system call can reach is skipped "
                                 "without a line, as any unreadable path is")
    m.stop()
    for p, data in sources:
        archive = p[:-4] + ".zip"
        ok = holds(archive, os.path.basename(p), data)
        check(ok and not os.path.exists(p), f"{len(win_path(p))} characters: archived, then deleted")
        check(ok or (os.path.exists(p) and open(p, "rb").read() == data), f"{len(win_path(p))}: nothing lost")
    check(holds(folder + ".zip", "inner.txt", b"inner\n"), "the folder's archive")
    # Its content's path is beyond what the shell takes: deleted or kept
    # (Wine's shell keeps it), never half.
    check(not os.path.exists(folder) or open(os.path.join(folder, "inner.txt"), "rb").read() == b"inner\n",
          f"the folder is deleted whole or kept whole (kept: {os.path.exists(folder)})")
    # The deep file is still there (read back by relative steps).
    fd = os.open(deep_root, os.O_RDONLY)
    try:
        for c in comps:
            nfd = os.open(c, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        rfd = os.open("deep.txt", os.O_RDONLY, dir_fd=fd)
        check(os.read(rfd, 100) == b"deep\n", "the deep file is untouched")
        os.close(rfd)
        check(sorted(os.listdir(fd)) == ["deep.txt"], "and nothing was written beside it")
    finally:
        os.close(fd)
    subprocess.run(["rm", "-rf", root])


def non_bmp():
    # Names with characters outside the Basic Multilingual Plane, for a
    # file, a folder, its contents and the chosen destination folder.
    m = Morvik(app_dir, here)
    d = os.path.join(here, "data")
    f_name, dir_name, dest_name = "𠮷野家😀.txt", "𝄞楽譜🎵", "出力🗂"
    fdata, idata = "𠮷".encode() * 500, b"piano\n"
    make_file(os.path.join(d, f_name), fdata)
    make_file(os.path.join(d, dir_name, "🎹.txt"), idata)
    dest = os.path.join(d, dest_name)
    os.makedirs(dest)
    write_ini(m.ini, ini_text({"DestFolderMode": "2", "DestFolder": win_path(dest)}))
    m.start("/n", win_path(os.path.join(d, f_name)), win_path(os.path.join(d, dir_name)))
    lines = m.settle(2)
    check(lines == ["[FileOK] " + f_name, "[DirectoryOK] " + dir_name], f"both jobs, names intact ({lines})")
    _, caption = probe_run("caption")
    m.stop()
    check(sorted(os.listdir(dest)) == sorted(["𠮷野家😀.zip", dir_name + ".zip"]), "archives named after their sources")
    check(holds(os.path.join(dest, "𠮷野家😀.zip"), f_name, fdata), "the file's entry keeps its name and bytes")
    check(holds(os.path.join(dest, dir_name + ".zip"), "🎹.txt", idata), "the folder's entry keeps its name and bytes")
    r = subprocess.run(["bsdtar", "-tf", os.path.join(dest, dir_name + ".zip")], capture_output=True)
    check(r.returncode == 0 and r.stdout.decode() == "🎹.txt\n", f"bsdtar reads the name ({r.stdout!r})")
    check(("DestFolder=" + win_path(dest) + "\r\n") in read_ini(m.ini), "the destination is written back intact")


def big_folder():
    # A folder of 10,000 small files becomes one archive holding them all.
    m = Morvik(app_dir, here)
    folder = os.path.join(here, "data", "many")
    os.makedirs(folder)
    for i in range(10000):
        with open(os.path.join(folder, f"f{i:05d}.txt"), "wb") as f:
            f.write(f"file {i}\n".encode())
    t = time.time()
    m.start("/n", win_path(folder))
    lines = m.settle(1, 300000)
    check(lines == ["[DirectoryOK] many"], f"one line for the folder ({lines}) after {time.time() - t:.1f} s")
    m.stop()
    with zipfile.ZipFile(folder + ".zip") as z:
        names = z.namelist()
        check(len(names) == 10000, f"10,000 entries ({len(names)})")
        bad = [n for n in names if z.read(n) != f"file {int(n[1:6])}\n".encode()]
        check(not bad, f"every entry holds its file's bytes ({len(bad)} differ)")
    check(len(os.listdir(folder)) == 10000, "the folder is untouched")


def drop_1000():
    # A drop of 1,000 paths, as a file manager makes it: 1,000 lines in the
    # order of the drop, 1,000 archives, every source kept.
    m = Morvik(app_dir, here)
    d = os.path.join(here, "d")
    os.makedirs(d)
    paths = []
    for i in range(1000):
        p = os.path.join(d, f"{i:04d}.txt")
        with open(p, "wb") as f:
            f.write(f"dropped {i}\n".encode())
        paths.append(p)
    write_ini(m.ini, ini_text({"7zCommandLineSelect": "1"}))
    m.start()
    probe_run("wait-lines", 1, 30000)
    t = time.time()
    drop(paths)
    rc, lines = probe_run("wait-lines", 1000, 300000)
    probe_run("wait-stable", 1500, 60000)
    lines = m.lines()
    print(f"the drop took {time.time() - t:.1f} s")
    check(lines == [f"[FileOK] {i:04d}.txt" for i in range(1000)], f"1,000 lines in drop order ({len(lines)} lines)")
    m.stop()
    missing = [i for i in range(1000) if not holds(os.path.join(d, f"{i:04d}.zip"), f"{i:04d}.txt",
                                                      f"dropped {i}\n".encode())]
    check(not missing, f"1,000 archives ({len(missing)} missing or wrong)")
    check(all(open(p, "rb").read() == f"dropped {i}\n".encode() for i, p in enumerate(paths)), "every source kept")


CASES = {"settings-random": settings_random, "settings-10mb": settings_10mb, "settings-too-big": settings_too_big,
         "settings-sections": settings_sections, "long-profile": long_profile, "long-paths": long_paths,
         "non-bmp": non_bmp, "big-folder": big_folder, "drop-1000": drop_1000}

if not os.environ.get("DISPLAY"):
    print("SKIPPED: no DISPLAY (scripts/test starts a private display)")
    sys.exit(0)
morvik = None
e2elib.run_case(case, CASES[case], here)

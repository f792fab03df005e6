#!/usr/bin/env python3
# Morvik end to end with sources that test where archives go and when a
# source may be deleted: a destination that reaches into its source through a
# link, sources of one name in one batch, a source holding links, names the
# system reads as devices, and every form of path a user can type. Deletion is on (to the recycle bin and directly) wherever a source
# could be lost; after each case every source's bytes are on the disk or in an
# archive.
#
#   sources_e2e.py CASE BUILD_APP_DIR PROBE OUTPUT_DIR
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import Morvik, check, fresh, holds, ini_text, make_file, tree_digest, win_path, write_ini  # noqa: E402

case, app_dir, probe, out_dir = sys.argv[1:5]
app_dir, out_dir = os.path.abspath(app_dir), os.path.abspath(out_dir)
e2elib.probe_exe = probe
here = fresh(os.path.join(out_dir, "e2e-sources-" + case))
# The recycle bin of these runs: a folder of their own.
trash_env = dict(os.environ, XDG_DATA_HOME=os.path.join(here, "xdg"))
MODES = {"1": "recycle bin", "2": "direct"}


def run(m, *paths, settings, lines_expected, cwd=None):
    """A /n batch of PATHS with SETTINGS (Option keys); returns the log."""
    write_ini(m.ini, ini_text(settings))
    m.start("/n", *paths, env=trash_env, cwd=cwd)
    lines = m.settle(lines_expected)
    m.stop()
    return lines


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def alias_dest():
    # The chosen folder is "link/out", and "link" is a link to the source
    # folder: by its text the destination lies elsewhere, on the disk inside
    # the source. The folder's archive lands in the folder, which must stay.
    for mode, how in MODES.items():
        m = Morvik(app_dir, here)
        base = fresh(os.path.join(here, "alias" + mode))
        src = os.path.join(base, "photos")
        photo = b"photo\n" * 1000
        make_file(os.path.join(src, "a.jpg"), photo)
        os.makedirs(os.path.join(src, "out"))
        os.symlink(src, os.path.join(base, "link"))
        lines = run(m, win_path(src), lines_expected=1,
                    settings={"DelFile": "1", "DeleteMode": mode, "DestFolderMode": "2",
                              "DestFolder": win_path(os.path.join(base, "link", "out"))})
        check(lines == ["[DirectoryOK] photos"], f"{how}: the folder is compressed ({lines})")
        check(read(os.path.join(src, "a.jpg")) == photo, f"{how}: the folder is kept")
        check(holds(os.path.join(src, "out", "photos.zip"), "a.jpg", photo), f"{how}: and its archive in it")


def same_names():
    # One batch, one chosen folder: two files named report.txt, two folders
    # named photos, and Data.txt beside data.TXT, which map to one archive and
    # one entry as Windows compares names. Each later one would replace what
    # the archive holds for the earlier one: it fails, and only the earlier
    # one is deleted.
    for mode, how in MODES.items():
        m = Morvik(app_dir, here)
        base = fresh(os.path.join(here, "names" + mode))
        out = os.path.join(base, "out")
        os.makedirs(out)
        data = {os.path.join("a", "report.txt"): b"A\n" * 100, os.path.join("b", "report.txt"): b"B\n" * 100,
                os.path.join("x", "photos", "1.jpg"): b"X\n" * 100, os.path.join("y", "photos", "1.jpg"): b"Y\n" * 100,
                os.path.join("c", "Data.txt"): b"upper\n" * 100, os.path.join("c", "data.TXT"): b"lower\n" * 100}
        for rel, content in data.items():
            make_file(os.path.join(base, rel), content)
        sources = ["a/report.txt", "b/report.txt", "x/photos", "y/photos", "c/Data.txt", "c/data.TXT"]
        lines = run(m, *[win_path(os.path.join(base, s)) for s in sources], lines_expected=6,
                    settings={"DelFile": "1", "DeleteMode": mode, "DestFolderMode": "2", "DestFolder": win_path(out)})
        check(lines == ["[FileOK] report.txt", "[FileNG] report.txt", "[DirectoryOK] photos", "[DirectoryNG] photos",
                        "[FileOK] Data.txt", "[FileNG] data.TXT"], f"{how}: the later of each pair fails ({lines})")
        archive = {"report.txt": "report.zip", "1.jpg": "photos.zip", "Data.txt": "Data.zip", "data.TXT": "Data.zip"}
        for rel, content in data.items():
            name = os.path.basename(rel)
            kept = read(os.path.join(base, rel)) == content
            archived = holds(os.path.join(out, archive[name]), name, content)
            check(kept or archived, f"{how}: {rel} is on the disk or in its archive")
        check(not os.path.exists(os.path.join(base, "a", "report.txt")) and
              read(os.path.join(base, "b", "report.txt")) == data[os.path.join("b", "report.txt")],
              f"{how}: only the first report.txt is deleted")


def links_inside():
    # A folder that holds links to a folder and a file outside it: its archive
    # holds the links, not what they point to, and removing a link can take
    # its target along (Wine's shell deletes the target's contents). The folder
    # is kept whole, and what the links point to is never touched.
    for mode, how in MODES.items():
        m = Morvik(app_dir, here)
        base = fresh(os.path.join(here, "links" + mode))
        src = os.path.join(base, "album")
        make_file(os.path.join(src, "a.jpg"), b"photo\n")
        outside = os.path.join(base, "outside")
        make_file(os.path.join(outside, "precious.txt"), b"precious\n")
        os.symlink(outside, os.path.join(src, "to-folder"))
        os.symlink(os.path.join(outside, "precious.txt"), os.path.join(src, "to-file"))
        lines = run(m, win_path(src), lines_expected=1, settings={"DelFile": "1", "DeleteMode": mode})
        check(lines == ["[DirectoryOK] album"], f"{how}: the folder is compressed ({lines})")
        check(read(os.path.join(outside, "precious.txt")) == b"precious\n", f"{how}: what the links point to is intact")
        check(read(os.path.join(src, "a.jpg")) == b"photo\n" and os.path.islink(os.path.join(src, "to-folder")) and
              os.path.islink(os.path.join(src, "to-file")), f"{how}: the folder is kept whole")


def device_names():
    # Files and folders named like devices, made from Linux (Windows would not
    # make them). Their usual paths name devices (under Wine "aux" and "COM1"
    # are a serial port, whose read waits for good): skipped like paths that
    # name nothing, never opened; the batch goes on.
    d = os.path.join(here, "dev")
    for name in ("aux", "con.txt", "nul.doc", "Com1.tar.gz", "lpt1. "):
        make_file(os.path.join(d, name), b"a file, not a device\n")
    make_file(os.path.join(d, "COM1", "inner.txt"), b"inner\n")
    before = tree_digest(d)
    last = os.path.join(here, "last", "last.txt")
    make_file(last, b"last\n")
    m = Morvik(app_dir, here)
    sources = [win_path(os.path.join(d, n)) for n in ("aux", "COM1", "con.txt", "nul.doc", "Com1.tar.gz", "lpt1. ")]
    t = time.time()
    lines = run(m, *sources, win_path(os.path.join(d, "COM1")) + "\\", win_path(last), lines_expected=1,
                settings={"DelFile": "1", "DeleteMode": "2"})
    check(lines == ["[FileOK] last.txt"], f"only the last file has a line ({lines}) after {time.time() - t:.1f} s")
    check(tree_digest(d) == before, "the device-named files and folder are untouched")
    check(os.listdir(os.path.dirname(last)) == ["last.zip"], "the last file was compressed and deleted")


def path_forms():
    # The same files named in each form a user can type: relative to the
    # program's current folder, with "/", in the long form "\\?\", and a drive
    # root. Each archive holds what the usual full path gives: the file under
    # its own name, a drive's contents.
    base = fresh(os.path.join(here, "forms"))
    cwd = os.path.join(base, "cwd")
    out = os.path.join(base, "out")
    os.makedirs(out)
    content = {n: f"{n}\n".encode() * 50 for n in ("f.txt", "g.txt", "h.txt", "l.txt", "r.txt")}
    make_file(os.path.join(cwd, "deeper", "f.txt"), content["f.txt"])
    make_file(os.path.join(base, "other", "g.txt"), content["g.txt"])
    make_file(os.path.join(base, "slash", "h.txt"), content["h.txt"])
    make_file(os.path.join(base, "long", "l.txt"), content["l.txt"])
    root = os.path.join(base, "drive")
    make_file(os.path.join(root, "r.txt"), content["r.txt"])
    link = e2elib.wine_drive("q")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(root, link)
    try:
        m = Morvik(app_dir, here)
        lines = run(m, "deeper\\f.txt", "..\\other\\g.txt", win_path(os.path.join(base, "slash", "h.txt")).replace("\\", "/"),
                    "\\\\?\\" + win_path(os.path.join(base, "long", "l.txt")), "Q:\\", cwd=cwd, lines_expected=5,
                    settings={"DestFolderMode": "2", "DestFolder": win_path(out)})
    finally:
        os.remove(link)
    check(lines == ["[FileOK] f.txt", "[FileOK] g.txt", "[FileOK] h.txt", "[FileOK] l.txt", "[DirectoryOK] Q"],
          f"one line per form, named as usual ({lines})")
    check(sorted(os.listdir(out)) == ["Q.zip", "f.zip", "g.zip", "h.zip", "l.zip"],
          f"the archives are in the chosen folder ({sorted(os.listdir(out))})")
    for name in ("f", "g", "h", "l"):
        check(e2elib.zip_names(os.path.join(out, name + ".zip")) == [name + ".txt"] and
              holds(os.path.join(out, name + ".zip"), name + ".txt", content[name + ".txt"]),
              f"{name}.zip holds {name}.txt under its own name")
    check(holds(os.path.join(out, "Q.zip"), "r.txt", content["r.txt"]), "the drive's archive holds its contents")


CASES = {"alias-dest": alias_dest, "same-names": same_names, "links-inside": links_inside,
         "device-names": device_names, "path-forms": path_forms}

if not os.environ.get("DISPLAY"):
    print("SKIPPED: no DISPLAY (scripts/test starts a private display)")
    sys.exit(0)
e2elib.run_case(case, CASES[case], here)

#!/usr/bin/env python3
# Morvik end to end: the real Morvik.exe beside the real 7-ZIP32.DLL under
# Wine on the test display. The log, caption and state are read from outside
# by the probe; archives are checked with Python's zipfile and bsdtar.
#
#   morvik_e2e.py commandline|interactive|options|dialogs BUILD_APP_DIR PROBE OUTPUT_DIR
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import app_title, check, drop, main_rect, probe_run, read_ini, win_path, write_ini, x_window, zip_names  # noqa: E402

scenario, app_dir, probe, out_dir = sys.argv[1:5]
app_dir, out_dir = os.path.abspath(app_dir), os.path.abspath(out_dir)
exe = os.path.join(app_dir, "Morvik.exe")
settings_file = os.path.join(app_dir, "Morvik.ini")
e2elib.probe_exe = probe


def screenshot(name):
    path = os.path.join(out_dir, name)
    subprocess.run(f"import -window root png:- | convert - -trim +repage '{path}'", shell=True, check=False)
    print("screenshot: " + path)


def bsdtar_extract(path, into):
    os.makedirs(into, exist_ok=True)
    r = subprocess.run(["bsdtar", "-xf", path, "-C", into], capture_output=True)
    check(r.returncode == 0, f"bsdtar extracts {os.path.basename(path)}")


def same_tree(a, b):
    for root, _, files in os.walk(a):
        for f in files:
            p = os.path.join(root, f)
            q = os.path.join(b, os.path.relpath(p, a))
            if not os.path.isfile(q) or open(p, "rb").read() != open(q, "rb").read():
                return False
    return True


def start(*args):
    err = open(os.path.join(out_dir, f"morvik-{scenario}-stderr.txt"), "ab")
    proc = subprocess.Popen(["wine", exe, *args], stdin=subprocess.DEVNULL, stdout=err, stderr=err)
    rc, _ = probe_run("wait-window", 30000)
    check(rc == 0, "the main window appears")
    return proc


def stop(proc):
    probe_run("close")
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        check(False, "Morvik did not close")
    check(proc.returncode == 0, f"Morvik exits with code 0 (got {proc.returncode})")
    check(probe_run("wait-gone", 5000)[0] == 0, "the main window is gone after close")


def fresh(name):
    d = os.path.join(out_dir, name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    return d


def commandline():
    d = fresh("e2e-commandline")
    with open(os.path.join(d, "report.txt"), "w") as f:
        f.write("quarterly report\n" * 100)
    os.makedirs(os.path.join(d, "photos", "2014"))
    with open(os.path.join(d, "photos", "a.jpg"), "wb") as f:
        f.write(os.urandom(3000))
    with open(os.path.join(d, "photos", "2014", "b.txt"), "w") as f:
        f.write("b")
    with open(os.path.join(d, "日本語の名前.txt"), "w", encoding="utf-8") as f:
        f.write("こんにちは")
    with zipfile.ZipFile(os.path.join(d, "letter.docx"), "w") as z:
        z.writestr("word/document.xml", "<doc/>")

    sources = ["report.txt", "photos", "日本語の名前.txt", "letter.docx", "does-not-exist.txt"]
    proc = start("/n", *[win_path(os.path.join(d, s)) for s in sources])
    rc, lines = probe_run("wait-lines", 4, 120000)
    expected = ["[FileOK] report.txt", "[DirectoryOK] photos", "[FileOK] 日本語の名前.txt", "[RenameOK] letter.docx"]
    time.sleep(1)
    _, lines = probe_run("lines")
    check(lines == expected, f"log lines {lines}")
    _, caption = probe_run("caption")
    check(caption == ["完了."], f"caption {caption}")
    _, state = probe_run("state")
    check(state == ["enabled visible"], f"window state {state}")
    screenshot("e2e-commandline.png")
    stop(proc)

    check(zip_names(os.path.join(d, "report.zip")) == ["report.txt"], "report.zip holds report.txt")
    check(zip_names(os.path.join(d, "photos.zip")) == ["2014/", "2014/b.txt", "a.jpg"],
          "photos.zip holds the folder's contents, not the folder")
    check(zip_names(os.path.join(d, "日本語の名前.zip")) == ["日本語の名前.txt"], "the Japanese name round-trips")
    check(os.path.exists(os.path.join(d, "letter.zip")) and not os.path.exists(os.path.join(d, "letter.docx")),
          "the ZIP-signature file was renamed, not compressed")
    check(zip_names(os.path.join(d, "letter.zip")) == ["word/document.xml"], "the renamed file is the same archive")
    check(not os.path.exists(os.path.join(d, "does-not-exist.zip")), "a path that names nothing leaves no archive")
    x = os.path.join(d, "extracted-photos")
    bsdtar_extract(os.path.join(d, "photos.zip"), x)
    check(same_tree(os.path.join(d, "photos"), x), "photos.zip extracts to the same bytes")
    r = subprocess.run(["unzip", "-t", os.path.join(d, "report.zip")], capture_output=True)
    check(r.returncode == 0, "unzip -t report.zip")


def open_files(folder, names):
    # As a user: click into the log, then Ctrl+O.
    x, y, w, h = main_rect()
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"], check=False)
    time.sleep(0.3)
    subprocess.run(["xdotool", "key", "ctrl+o"], check=False)
    rc, _ = probe_run("open-files", 20000, win_path(folder) + "\\", *names)
    check(rc == 0, "the open dialog took the names and closed")


def interactive():
    d = fresh("e2e-interactive")
    for n in ("one.txt", "two.txt", "three.txt", "four.txt"):
        with open(os.path.join(d, n), "w") as f:
            f.write(n * 50)
    os.makedirs(os.path.join(d, "folder with blanks"))
    with open(os.path.join(d, "folder with blanks", "inner.txt"), "w") as f:
        f.write("inner")

    proc = start()
    rc, lines = probe_run("wait-lines", 1, 30000)
    check(len(lines) == 1 and lines[0].startswith("7-ZIP32.DLL "), f"the version line alone {lines}")
    version = lines[:1]

    # File > Open file appends below the version line.
    open_files(d, ["one.txt", "two.txt"])
    rc, lines = probe_run("wait-lines", 3, 60000)
    check(lines == version + ["[FileOK] one.txt", "[FileOK] two.txt"], f"menu job appends {lines}")
    screenshot("e2e-menu.png")

    # A drop clears the log first.
    drop([os.path.join(d, "three.txt"), os.path.join(d, "folder with blanks")])
    rc, lines = probe_run("wait-lines", 2, 60000)
    time.sleep(1)
    _, lines = probe_run("lines")
    check(lines == ["[FileOK] three.txt", "[DirectoryOK] folder with blanks"], f"drop batch {lines}")
    screenshot("e2e-drop.png")

    # And the menu appends to what the drop left.
    open_files(d, ["four.txt"])
    rc, lines = probe_run("wait-lines", 3, 60000)
    check(lines == ["[FileOK] three.txt", "[DirectoryOK] folder with blanks", "[FileOK] four.txt"],
          f"menu after drop {lines}")
    screenshot("e2e-menu-after-drop.png")
    stop(proc)

    for n in ("one", "two", "three", "four"):
        check(zip_names(os.path.join(d, n + ".zip")) == [n + ".txt"], f"{n}.zip")
    check(zip_names(os.path.join(d, "folder with blanks.zip")) == ["inner.txt"], "folder with blanks.zip")


def options():
    d = fresh("e2e-options")
    src = os.path.join(d, "notes.txt")
    with open(src, "w") as f:
        f.write("notes\n" * 50)
    # Started with a path and without /n: the options dialog comes first, with
    # its quit button; quitting compresses nothing and still saves settings.
    proc = subprocess.Popen(["wine", exe, win_path(src)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rc, rect = probe_run("wait-class", 30000, "TMV_OPTION")
    check(rc == 0, "the options dialog shows before the command-line batch")
    time.sleep(0.5)
    if rc == 0 and rect:
        x, y, w, h = (int(v) for v in rect[0].split())
        shot = os.path.join(out_dir, "e2e-options-dialog.png")
        subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", shot], check=False)
        print("screenshot: " + shot)
    check(probe_run("press", 10000, "TMV_OPTION", "終了")[0] == 0, "the quit button is there and pressed")
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        check(False, "Morvik did not end after the quit button")
    check(not os.path.exists(os.path.join(d, "notes.zip")), "no archive after quitting")
    check(os.path.exists(settings_file), "the settings file is written all the same")
    text = read_ini(settings_file)
    check(text.startswith("[Main]\r\nX="), "section Main comes first")
    check("\r\n[Option]\r\n" in text and "7zCommandLine=a -tzip -mx=9 -mfb=64 -mpass=4 -r\r\n" in text,
          "section Option holds the profiles")

    # A settings file edited between runs: profile 5 filled in and selected,
    # archives into a chosen folder. /N skips the dialog.
    out = os.path.join(d, "out")
    os.makedirs(out)
    text = text.replace("7zCommandLine5=\r\n", "7zCommandLine5=a -t7z -mx=1 -r\r\n")
    text = text.replace("7zExt5=\r\n", "7zExt5=.7z\r\n")
    text = text.replace("7zCommandLineSelect=0", "7zCommandLineSelect=4")
    text = text.replace("DestFolder=\r\n", "DestFolder=" + win_path(out) + "\r\n")
    text = text.replace("DestFolderMode=1", "DestFolderMode=2")
    write_ini(settings_file, text.replace("\r\n", "\n"))
    proc = start("/N", win_path(src))
    rc, lines = probe_run("wait-lines", 1, 60000)
    check(lines[-1:] == ["[FileOK] notes.txt"], f"the job ran at once (log {lines})")
    archive = os.path.join(out, "notes.7z")
    check(os.path.exists(archive), "profile 5 wrote notes.7z into the chosen folder")
    if os.path.exists(archive):
        x = os.path.join(d, "x")
        bsdtar_extract(archive, x)
        check(open(os.path.join(x, "notes.txt"), "rb").read() == open(src, "rb").read(), "the 7z holds the file")
    stop(proc)
    after = read_ini(settings_file)
    check("7zCommandLineSelect=4\r\n" in after and "DestFolderMode=2\r\n" in after,
          "the edited settings are written back")


def window_shot(cls, name):
    rc, rect = probe_run("wait-class", 10000, cls)
    if rc == 0 and rect:
        time.sleep(0.5)
        x, y, w, h = (int(v) for v in rect[0].split())
        shot = os.path.join(out_dir, name)
        subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", shot], check=False)
        print("screenshot: " + shot)
    return rc == 0


def keys(*combos):
    # The main window's X window, found by its caption as it is now.
    caption = probe_run("caption")[1]
    wid = x_window("^" + re.escape(caption[0]) + "$") if caption else None
    check(wid is not None, "the main window is found on the display")
    subprocess.run(["xdotool", "windowfocus", "--sync", wid], check=False)
    for k in combos:
        subprocess.run(["xdotool", "key", "--window", wid, k], check=False)
        time.sleep(0.4)


def dialogs():
    d = fresh("e2e-dialogs")
    pick = os.path.join(d, "pick")
    os.makedirs(pick)
    with open(os.path.join(pick, "inside.txt"), "w") as f:
        f.write("inside\n")
    long_name = "a-very-long-document-name-" + "x" * 120 + "-end.txt"
    with open(os.path.join(d, long_name), "w") as f:
        f.write("long\n")
    # The remembered folder roots the folder browser.
    write_ini(settings_file, "[Main]\nX=100\nY=100\nW=300\nH=300\nDir=" + win_path(pick) + "\n\n")
    proc = start("/n", win_path(os.path.join(d, long_name)))
    rc, lines = probe_run("wait-lines", 1, 60000)
    check(rc == 0 and lines[-1:] == ["[FileOK] " + long_name], "the long-named file is compressed")
    rc, out = probe_run("scroll-right")
    extent, width = (int(v) for v in out[0].split()) if rc == 0 and out else (0, 1)
    check(extent > width, f"the log's scroll range covers its widest line ({extent} > {width})")
    time.sleep(0.5)
    screenshot("e2e-log-scrolled.png")

    # File > Open folder (Ctrl+F): cancelled first, then confirmed.
    keys("ctrl+f")
    check(window_shot("#32770", "e2e-folder-browser.png"), "the folder browser opens")
    probe_run("press", 5000, "#32770", "Cancel")
    time.sleep(1)
    check(probe_run("lines")[1] == ["[FileOK] " + long_name], "a cancelled browser runs nothing")
    keys("ctrl+f")
    probe_run("wait-class", 10000, "#32770")
    probe_run("press", 5000, "#32770", "OK")
    rc, lines = probe_run("wait-lines", 2, 60000)
    check(lines[-1:] == ["[DirectoryOK] pick"], f"the picked folder is compressed and appended (log {lines})")
    check(os.path.exists(os.path.join(d, "pick.zip")), "pick.zip beside the picked folder")

    # Help > About, by the keyboard as a user would.
    keys("alt+h", "a")
    check(window_shot("TMV_ABOUT", "e2e-about.png"), "the about dialog opens")
    rc, texts = probe_run("texts", "TMV_ABOUT")
    check("バージョン情報" in texts and app_title() in texts, f"the about dialog's texts ({texts})")
    probe_run("close-class", "TMV_ABOUT")
    time.sleep(0.5)
    check(probe_run("wait-class", 200, "TMV_ABOUT")[0] != 0, "the about dialog closes through its close box")
    stop(proc)
    text = read_ini(settings_file)
    check("Dir=" + win_path(pick) + "\r\n" in text, "the picked folder is remembered")


if not os.environ.get("DISPLAY"):
    print("SKIPPED: no DISPLAY (scripts/test starts a private display)")
    sys.exit(0)
if not os.path.exists(os.path.join(app_dir, "7-ZIP32.DLL")):
    print("FAIL: no 7-ZIP32.DLL beside Morvik.exe")
    sys.exit(1)
os.makedirs(out_dir, exist_ok=True)
# A Morvik left over from an earlier failure would answer for this one.
probe_run("close")
probe_run("wait-gone", 10000)
try:
    # Every scenario starts from a first run's settings.
    if os.path.exists(settings_file):
        os.remove(settings_file)
    {"commandline": commandline, "interactive": interactive, "options": options,
     "dialogs": dialogs}[scenario]()
except Exception as e:  # report, and leave no Morvik behind for the next test
    check(False, repr(e))
    probe_run("close")
# Leave no settings of a test behind for the next user of this build.
if os.path.exists(settings_file):
    os.remove(settings_file)
print(f"{len(check.failures)} failure(s)")
sys.exit(1 if check.failures else 0)

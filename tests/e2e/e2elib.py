# Shared helpers of the end-to-end scripts that run a private copy of
# Morvik.exe per case: each case gets its own folder with the program, its
# archiver library and therefore its own settings file, so that cases do not
# see each other's settings and nothing is left beside the build's program.
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile


class Checks:
    def __init__(self):
        self.failures = []
        self.count = 0

    def __call__(self, cond, what):
        self.count += 1
        print(("ok   " if cond else "FAIL ") + what, flush=True)
        if not cond:
            self.failures.append(what)
        return cond


check = Checks()
probe_exe = None


def app_title():
    """The application's title as the program defines it (settings/About.h)."""
    about_h = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "settings", "About.h")
    with open(about_h, encoding="utf-8") as f:
        return re.search(r'kApplicationTitle\[\] = L"([^"]*)"', f.read()).group(1)


def probe_run(*args, timeout=None, env=None):
    # Output through a file, not a pipe: a Wine service started on the way
    # could inherit a pipe and keep it open long after the probe has ended.
    if timeout is None:  # a wait's own limit, and time to report
        waits = [int(a) for a in args[1:3] if str(a).isdigit()]
        timeout = 60 + (max(waits) / 1000 if waits else 0)
    with tempfile.TemporaryFile() as out:
        r = subprocess.run(["wine", probe_exe, *[str(a) for a in args]], stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, timeout=timeout, env=env)
        out.seek(0)
        return r.returncode, out.read().decode("utf-8", "replace").splitlines()


def win_path(p):
    return "Z:" + os.path.abspath(p).replace("/", "\\")


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def tree_digest(root):
    # Every file and folder under root with the hash of each file's bytes.
    out = {}
    for dirpath, dirs, files in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        out[rel + "/"] = "dir"
        for f in files:
            out[os.path.join(rel, f)] = digest(os.path.join(dirpath, f))
    return out


def make_file(path, data):
    """Writes DATA to PATH, making its folders; returns the bytes' digest."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return hashlib.sha256(data).hexdigest()


def leftovers(folder):
    """Files a failed or interrupted write could leave below FOLDER."""
    out = []
    for dirpath, _, files in os.walk(folder):
        out += [os.path.join(dirpath, f) for f in files if f.endswith(".tmp") or ".new-" in f]
    return out


def x_window(name):
    """The first X window whose name matches NAME, or None."""
    r = subprocess.run(["xdotool", "search", "--name", name], capture_output=True, text=True)
    ids = r.stdout.split()
    return ids[0] if ids else None


def geometry(wid):
    r = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True)
    g = dict(line.split("=", 1) for line in r.stdout.split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def main_rect():
    # Without a window manager Wine's screen coordinates are the display's.
    _, out = probe_run("rect")
    return tuple(int(v) for v in out[0].split())


def drop(paths):
    """Drags PATHS from an X drag source onto Morvik's main window with the
    mouse, as a user does from a file manager."""
    src = subprocess.Popen(["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                             "drag_source.py"), "700", "100", *paths])
    try:
        wid = None
        for _ in range(100):
            wid = x_window("morvik-drag-source")
            if wid:
                break
            time.sleep(0.1)
        time.sleep(0.5)
        sx, sy, sw, sh = geometry(wid)
        mx, my, mw, mh = main_rect()
        for s in [["mousemove", str(sx + sw // 2), str(sy + sh // 2)], ["mousedown", "1"],
                  ["mousemove", str(sx + sw // 2 + 10), str(sy + sh // 2 + 10)], ["sleep", "0.3"],
                  ["mousemove", str(mx + mw // 2), str(my + mh // 2)], ["sleep", "0.3"],
                  ["mousemove", str(mx + mw // 2 + 5), str(my + mh // 2 + 5)], ["sleep", "0.5"], ["mouseup", "1"]]:
            subprocess.run(["xdotool", *s])
        time.sleep(1)
    finally:
        src.terminate()
        src.wait()


def holds(archive, entry, data):
    """True when ARCHIVE has ENTRY with exactly these bytes."""
    try:
        with zipfile.ZipFile(archive) as z:
            return z.read(entry) == data
    except (OSError, KeyError, zipfile.BadZipFile):
        return False


def write_ini(path, text):
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-16-le"))


def read_ini(path):
    data = open(path, "rb").read()
    check(data[:2] == b"\xff\xfe", f"{os.path.basename(path)} starts with FF FE")
    return data[2:].decode("utf-16-le", "replace")


def ini_text(option=None, main=None):
    # A settings file as the program writes it, with keys replaced as given.
    m = {"X": "100", "Y": "100", "W": "300", "H": "300", "Dir": ""}
    o = {"X": "300", "Y": "300", "DelFile": "0", "TopFolderCompress": "0",
         "7zCommandLine": "a -tzip -mx=9 -mfb=64 -mpass=4 -r", "7zCommandLine2": "a -tzip -mx=0 -r",
         "7zCommandLine3": "a -t7z -mx=9 -r", "7zCommandLine4": "a -t7z -mx=0 -r"}
    for i in range(5, 11):
        o[f"7zCommandLine{i}"] = ""
    o["7zCommandLineSelect"] = "0"
    o.update({"7zExt": ".zip", "7zExt2": ".zip", "7zExt3": ".7z", "7zExt4": ".7z"})
    for i in range(5, 11):
        o[f"7zExt{i}"] = ""
    o.update({"DestFolder": "", "AutoClose": "0", "DeleteMode": "1", "DestFolderMode": "1"})
    m.update(main or {})
    o.update(option or {})
    return ("[Main]\n" + "".join(f"{k}={v}\n" for k, v in m.items()) + "\n[Option]\n" +
            "".join(f"{k}={v}\n" for k, v in o.items()) + "\n")


def zip_names(path):
    with zipfile.ZipFile(path) as z:
        check(z.testzip() is None, f"zipfile reads every entry of {os.path.basename(path)}")
        return sorted(z.namelist())


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


class Morvik:
    """One private copy of the program and its library in FOLDER/app."""

    def __init__(self, app_dir, folder, library=None, out_dir=None):
        self.app = fresh(os.path.join(folder, "app")) if folder else None
        self.place(app_dir, self.app, library)
        self.err_path = os.path.join(out_dir or folder, "morvik-stderr.txt")
        self.proc = None

    def place(self, app_dir, into, library=None):
        self.app = into
        os.makedirs(into, exist_ok=True)
        shutil.copy(os.path.join(app_dir, "Morvik.exe"), into)
        shutil.copy(library or os.path.join(app_dir, "7-ZIP32.DLL"), os.path.join(into, "7-ZIP32.DLL"))
        self.exe = os.path.join(into, "Morvik.exe")
        self.ini = os.path.join(into, "Morvik.ini")

    def start(self, *args, env=None, wait=True, exe=None, cwd=None):
        err = open(self.err_path, "ab")
        self.proc = subprocess.Popen(["wine", exe or self.exe, *args], stdin=subprocess.DEVNULL, stdout=err,
                                     stderr=err, env=env, cwd=cwd)
        err.close()
        if wait:
            rc, _ = probe_run("wait-window", 30000)
            check(rc == 0, "the main window appears")
        return self.proc

    def wait_exit(self, timeout=30, what=None):
        """The exit code; None when the program did not end in time (it is
        then reported as hanging, WHAT saying what it was waited for, and
        killed)."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            report_hang(self.proc.pid, what or f"Morvik did not end within {timeout} s")
            self.kill()
            return None
        return self.proc.returncode

    def stop(self, expect_message=None):
        """Closes the window; EXPECT_MESSAGE is the text a message box at the
        close must show (it is read and dismissed), None when none may show."""
        probe_run("close")
        if expect_message is not None:
            rc, box = probe_run("message", 20000)
            check(rc == 0 and len(box) >= 2 and box[0] == "エラー" and "\n".join(box[1:]) == expect_message,
                  f"the close shows the message {expect_message!r} ({box})")
        rc = self.wait_exit()
        check(rc == 0, f"Morvik exits with code 0 (got {rc})")
        check(probe_run("wait-gone", 5000)[0] == 0, "the main window is gone after close")

    def kill(self):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def lines(self):
        return probe_run("lines")[1]

    def settle(self, n, timeout_ms=120000):
        """Waits for N log lines and an idle window; returns the lines."""
        rc, lines = probe_run("wait-lines", n, timeout_ms)
        probe_run("wait-stable", 1000, 30000)
        return self.lines()


def _output_of(args, timeout):
    try:
        r = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout)
        return r.stdout.decode("utf-8", "replace")
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"({args[0]}: {e!r})\n"


def report_hang(pid, what):
    """Prints where each thread of the Wine process PID waits: the kernel's
    view of each thread, gdb's backtraces (the Unix side: which lock or
    futex), and winedbg's (the Windows side, with Wine's and our frames)."""
    print(f"--- hang: {what}; process {pid}", flush=True)
    try:
        tids = sorted(os.listdir(f"/proc/{pid}/task"), key=int)
    except OSError:
        tids = []
    for tid in tids:
        t = f"/proc/{pid}/task/{tid}"
        info = []
        for name in ("comm", "wchan"):
            try:
                info.append(open(f"{t}/{name}").read().strip())
            except OSError:
                pass
        try:
            info.append("state " + open(f"{t}/stat").read().rsplit(")", 1)[1].split()[0])
            info.append("kernel: " + " <- ".join(line.split()[-1] for line in open(f"{t}/stack")))
        except (OSError, IndexError):
            pass
        print(f"thread {tid}: " + ", ".join(info))
    if shutil.which("gdb"):
        print(_output_of(["gdb", "-p", str(pid), "-batch", "-ex", "info threads", "-ex", "thread apply all bt 40"], 180))
    # winedbg lists every process of the prefix: only the program's threads.
    out = _output_of(["winedbg", "--command", "bt all"], 180).split("\nBacktracing for thread ")
    print("\n".join("Backtracing for thread " + b for b in out[1:] if "Morvik.exe" in b.split("\n", 1)[0]),
          flush=True)


def cleanup_leftovers():
    # A Morvik left over from an earlier failure would answer for this one.
    probe_run("close")
    if probe_run("wait-gone", 10000)[0] != 0:
        probe_run("message", 500)
        probe_run("close")
        probe_run("wait-gone", 10000)


def wine_drive(letter):
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "dosdevices", letter.lower() + ":")


class Tmpfs:
    """A small tmpfs mounted at DIR and seen by Wine as drive LETTER, for as
    long as the with-block runs; unmounted and unmapped on every path."""

    def __init__(self, folder, size, letter):
        self.dir, self.size, self.link = folder, size, wine_drive(letter)
        self.letter = letter.upper()

    def __enter__(self):
        os.makedirs(self.dir, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.size}", "tmpfs", self.dir], check=True)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(self.dir, self.link)
        return self

    def remount(self, options):
        subprocess.run(["mount", "-o", "remount," + options, self.dir], check=True)

    def __exit__(self, *exc):
        if os.path.islink(self.link):
            os.remove(self.link)
        for _ in range(20):
            if subprocess.run(["umount", self.dir], capture_output=True).returncode == 0:
                break
            time.sleep(0.5)
        else:
            subprocess.run(["umount", "-l", self.dir])
        return False


def can_mount():
    return os.geteuid() == 0 and shutil.which("mount") is not None


def run_case(name, case, here):
    """Runs one case of a script and exits: its checks' summary, its folder
    removed when every check passed, no Morvik left behind either way."""
    cleanup_leftovers()
    started = time.time()
    try:
        case()
    except Exception as e:  # report, and leave no Morvik behind for the next test
        import traceback
        traceback.print_exc()
        check(False, repr(e))
    finally:
        cleanup_leftovers()
    print(f"{name}: {check.count} checks, {len(check.failures)} failure(s), {time.time() - started:.1f} s")
    if not check.failures:
        subprocess.run(["rm", "-rf", here])
    sys.exit(1 if check.failures else 0)

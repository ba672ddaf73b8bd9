#!/usr/bin/env python3
"""bio-stream and bio-host as processes, under floods and careless use: the stop conditions
hold, a killed recorder keeps every frame it reported, files with fingerprints are private and
no planted link is followed, and bio-host's private directory goes on every way out.

tools_check.py GROUP BIO_STREAM BIO_HOST NORUN_PLUGIN VSENSOR   GROUP: flood, recorder, files, host
Programs of a cross build run behind $BIO_TEST_EMULATOR, which preloads the virtual sensor for
bio-host (an emulated program cannot run itself again); the floods come from this machine."""
import ctypes
import multiprocessing
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

EMULATOR = os.environ.get("BIO_TEST_EMULATOR", "").split()
SCALE = 5 if EMULATOR else 1  # emulated programs run several times slower
# An emulated or sanitized receiver is many times slower than the senders: they then yield to it, so
# that it is timed rather than starved. Natively the senders run at full speed, as an attacker's would.
YIELDING_SENDERS = bool(EMULATOR) or os.environ.get("BIO_TEST_SANITIZED") == "1"
RAW = [4] + [60000] * 10 + [14400]  # one raw frame: its header, then its slices
FRAME_BYTES = 36 + 614400  # a recorded frame: tag, score, time and truth, then the frame
failures = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what, flush=True)
    if not ok:
        failures.append(what)


class Child:
    """A program of the build; its output is read on a thread, so it never waits on the pipe."""

    def __init__(self, argv, env=None, stdin=b"", slow=False):
        merged = dict(os.environ, **(env or {}))
        if EMULATOR:
            merged.setdefault("QEMU_SET_ENV", "LD_PRELOAD=" + VSENSOR)
        self.proc = subprocess.Popen(EMULATOR + argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=merged)
        self.proc.stdin.write(stdin)
        self.proc.stdin.flush()
        self.text = bytearray()
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, args=(slow,), daemon=True)
        self.reader.start()

    def _read(self, slow):
        # slow: a terminal over a slow link, 4 KiB every 5 ms, which makes the program wait on
        # its output and so fall behind any sender.
        for chunk in iter(lambda: self.proc.stdout.read1(4096 if slow else 65536), b""):
            with self.changed:
                self.text += chunk
                self.changed.notify_all()
            time.sleep(0.005 if slow else 0)

    def wait_for(self, needle, seconds):
        with self.changed:
            return self.changed.wait_for(lambda: needle in self.text or not self.reader.is_alive(),
                                         seconds * SCALE) and needle in self.text

    def wait(self, seconds):
        """The exit status (-N after signal N), or None when it did not end in time (then killed)."""
        try:
            status = self.proc.wait(seconds * SCALE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = None
        self.ended = time.monotonic()
        self.reader.join()  # the rest of the output
        return status


def stream(*options, slow=False):
    child = Child([BIO_STREAM, "--bind", "127.0.0.1", "--port", "0", *options], slow=slow)
    child.wait_for(b"\n", 10)
    found = re.search(rb"listening on 127\.0\.0\.1:(\d+)", child.text)
    return child, int(found.group(1)) if found else 0


class IoVec(ctypes.Structure):
    _fields_ = [("base", ctypes.c_void_p), ("length", ctypes.c_size_t)]


class MMsgHdr(ctypes.Structure):  # struct mmsghdr: a struct msghdr and the length sent
    _fields_ = [("name", ctypes.c_void_p), ("namelen", ctypes.c_uint32), ("iov", ctypes.POINTER(IoVec)),
                ("iovlen", ctypes.c_size_t), ("control", ctypes.c_void_p), ("controllen", ctypes.c_size_t),
                ("flags", ctypes.c_int), ("sent", ctypes.c_uint)]


def flood(port, sizes, stop, paced):
    """Sends datagrams of `sizes`, in turn, to 127.0.0.1:port until `stop` is set: whole cycles
    of them 32 or so to a system call (sendmmsg: faster than any receiver), or, paced, one cycle
    (a frame) every 2 ms, so that the frames arrive whole."""
    if YIELDING_SENDERS:
        os.nice(19)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect(("127.0.0.1", port))
    while paced and not stop.is_set():
        for size in sizes:
            try:
                sock.send(b"\x5a" * size)
            except ConnectionRefusedError:  # the receiver has ended: nothing listens any more
                pass
        time.sleep(0.002)
    payload = ctypes.create_string_buffer(b"\x5a" * 65536)
    count = 32 - 32 % len(sizes)
    slices = (IoVec * count)(*[IoVec(ctypes.addressof(payload), sizes[i % len(sizes)]) for i in range(count)])
    batch = (MMsgHdr * count)()
    for i in range(count):
        batch[i].iov, batch[i].iovlen = ctypes.pointer(slices[i]), 1
    libc = ctypes.CDLL(None, use_errno=True)
    while not stop.is_set():
        libc.sendmmsg(sock.fileno(), batch, count, 0)


class Flood:
    def __init__(self, port, sizes, senders=1, paced=False):
        self.stop = multiprocessing.Event()
        self.senders = [multiprocessing.Process(target=flood, args=(port, sizes, self.stop, paced))
                        for _ in range(senders)]
        for sender in self.senders:
            sender.start()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop.set()
        for sender in self.senders:
            sender.join()


def group_flood():
    # Each 4-byte datagram is a whole frame, printed to a slow terminal; pictures are slow too.
    cases = [  # name, datagram sizes in turn, senders, options, stop signal (None: an option)
        ("4-byte headers, one sender, --seconds", [4], 1, ["--seconds", "1"], None),
        ("4-byte headers, three senders, SIGTERM", [4], 3, [], signal.SIGTERM),
        ("grey frames into pictures, SIGINT", [4, 60000, 31000], 1, ["--out", "{dir}"], signal.SIGINT),
        ("60000-byte strays, three senders, --seconds", [60000], 3, ["--quiet", "--seconds", "1"], None),
        ("raw frames, two senders, SIGTERM", RAW, 2, ["--quiet"], signal.SIGTERM),
    ]
    for name, sizes, senders, options, stop in cases:
        with tempfile.TemporaryDirectory() as tmp:
            child, port = stream(*[option.format(dir=tmp) for option in options], slow=True)
            due = time.monotonic() + (1.0 if stop is None else 0.3)
            with Flood(port, sizes, senders):
                if stop is not None:
                    time.sleep(0.3)  # a flood of a set length before the signal
                    child.proc.send_signal(stop)
                status = child.wait(8)
                late = child.ended - due
            summary = b" cut short, " in child.text
            check(status == 0 and late <= 1.0 * SCALE and summary,
                  f"{name}: exit {status}, ended {late:.2f} s after the stop" + ("" if summary else ", no summary"))


def recorded_frames(path):
    with open(path, "rb") as recording:
        header = recording.read(16)
    return (os.path.getsize(path) - 16) // FRAME_BYTES if header.startswith(b"BIOREC02") else -1


def replay_refusal(path):
    """What the virtual sensor says of a recording, replayed through bio-host."""
    with tempfile.TemporaryDirectory() as tmp:
        scenario = os.path.join(tmp, "replay.txt")
        with open(scenario, "w") as text:
            text.write(f"replay {path}\n")
        host = Child([BIO_HOST, "--simulate", scenario, "--seconds", "1"], {"TMPDIR": tmp})
        host.wait(30)
        return bytes(host.text)


def group_recorder():
    with tempfile.TemporaryDirectory() as tmp:
        record = os.path.join(tmp, "touch.biorec")
        child, port = stream("--record", record)
        with Flood(port, RAW, paced=True):
            child.wait_for(b"frame 3: ", 20)
            child.proc.kill()
            child.wait(5)
        reported = len(re.findall(rb"^frame \d+: score -?\d+, raw", child.text, re.M))
        check(reported >= 3 and recorded_frames(record) >= reported,
              f"killed recorder: {reported} frames reported, {recorded_frames(record)} recorded")
        # Killed before its first raw frame (the first header-only frame shows it was ready).
        child, port = stream("--record", record)
        with Flood(port, [4]):
            child.wait_for(b"frame 1: ", 10)
            child.proc.kill()
            child.wait(5)
        open(os.path.join(tmp, "zero.biorec"), "wb").close()
        for path in (record, os.path.join(tmp, "zero.biorec")):
            said = replay_refusal(path)
            check(b"holds no frame" in said, f"{os.path.basename(path)} reads as no frame: {said[-200:]}")


def group_files():
    os.umask(0o022)
    with tempfile.TemporaryDirectory() as tmp:
        out, record, victim = (os.path.join(tmp, name) for name in ("frames", "touch.biorec", "victim"))
        os.mkdir(out)
        with open(victim, "w") as text:
            text.write("victim")
        os.symlink(victim, os.path.join(out, "frame-000001.png"))
        child, port = stream("--frames", "1", "--out", out, "--record", record)
        with Flood(port, RAW, paced=True):
            status = child.wait(20)
        picture = os.lstat(os.path.join(out, "frame-000001.png"))
        check(status == 0 and open(victim, "rb").read() == b"victim" and oct(picture.st_mode) == "0o100600"
              and oct(os.stat(record).st_mode) == "0o100600", "bio-stream's picture and recording are 0600, "
              "a link planted in --out is replaced, not followed")
        for option in ("--record", "--csv"):
            os.symlink(victim, os.path.join(tmp, "link" + option))
            child = Child([BIO_STREAM, "--port", "0", "--seconds", "0.2", option, os.path.join(tmp, "link" + option)])
            check(child.wait(10) == 1 and open(victim, "rb").read() == b"victim", f"{option} refuses a planted link")
    for args, image_mode in (([], "0o100600"), (["--umask", "022"], "0o100644")):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "touch.txt"), "w") as text:
                text.write("finger 20f\nglass 100f\n")
            host = Child([BIO_HOST, "--simulate", os.path.join(tmp, "touch.txt"), "--db", os.path.join(tmp, "h.db"),
                          "--set", "finger_image_path=" + os.path.join(tmp, "finger.png"), *args],
                         {"TMPDIR": tmp}, b"wait frames 12\nquit\n")
            status = host.wait(60)
            modes = [oct(os.stat(os.path.join(tmp, name)).st_mode) if os.path.exists(os.path.join(tmp, name))
                     else None for name in ("finger.png", "h.db")]
            check(status == 0 and modes == [image_mode, "0o100600"], f"bio-host {args}: image, database {modes}")
    with tempfile.TemporaryDirectory() as tmp:
        os.symlink(os.path.join(tmp, "elsewhere.db"), os.path.join(tmp, "h.db"))
        host = Child([BIO_HOST, "--db", os.path.join(tmp, "h.db"), "--seconds", "1"])
        check(host.wait(30) == 2 and not os.path.exists(os.path.join(tmp, "elsewhere.db")),
              "bio-host refuses a link at --db")


def group_host():
    cases = [  # name, scenario, further arguments, environment, exit status
        ("a line the sensor refuses", "glass 1f\nbogus 2\n", [], {}, 2),
        ("a sensor variable the sensor refuses", "sensor FPS=fast\nglass 1f\n", [], {}, 2),
        ("--set without a key", "glass 1f\n", ["--set", "=1"], {}, 2),
        ("--set with an empty section", "glass 1f\n", ["--set", ".img_num=1"], {}, 2),
        ("a plug-in that registers no run function", "glass 1f\n", ["--plugin", NORUN_PLUGIN], {}, 1),
        ("a sensor library that does not load", "glass 1f\n", ["--vsensor", os.path.abspath(__file__)], {}, 1),
    ]
    for name, scenario, args, env, expected in cases:
        if EMULATOR and "--vsensor" in args:
            continue  # the emulator preloads the sensor: bio-host does not load one itself
        with tempfile.TemporaryDirectory() as tmp, tempfile.TemporaryDirectory() as files:
            with open(os.path.join(files, "scenario.txt"), "w") as text:
                text.write(scenario)
            host = Child([BIO_HOST, "--simulate", os.path.join(files, "scenario.txt"), "--seconds", "1", *args],
                         dict(env, TMPDIR=tmp))
            status = host.wait(30)
            check(status == expected and not os.listdir(tmp), f"{name}: exit {status}, left {os.listdir(tmp)}")


if __name__ == "__main__":
    GROUP, BIO_STREAM, BIO_HOST, NORUN_PLUGIN, VSENSOR = sys.argv[1:6]
    globals()["group_" + GROUP]()
    sys.exit(1 if failures else 0)

#!/usr/bin/python3
"""Soak run: many whole simulated calls through one long-running "lumisk --headless".

    /usr/bin/python3 bench/soak/soak.py N --build DIR [--seed S] [--source DIR] [--ftp KIND] [--plain]
                                        [--line SETTINGS | --clean-line]

Starts a real FTP server on 127.0.0.1 (tests/net/ftpserver.py), the line simulator and one box
from the sanitizer build, then places N calls back to back with varied mailbox numbers (every
account), key timings and messages, drawn from a seeded generator. Now and then (also seeded) the
server is stopped while a caller is recorded and started again a few seconds after that call's
end, so uploads fail and the box's outbox must deliver those messages later. Some callers key the
number while the greeting still plays (type-ahead); some key nothing at all (silent), and the box
must ask again after each short number wait, then hang up with "no number", recording nothing.
The calls come over the simulator's line model (loss, mu-law, noise and the echo of the box's own
prompts, each call's hybrid at 15 dB return loss or, now and then, 6 dB), so every number keyed over
the greeting must survive its echo; the box checks each number on the server while the caller
listens and leaves a checked number's message to its outbox after the hang-up.
After each call it checks the box's events, compares the file on the server with the box's own
recording byte for byte, and samples the box's memory and open descriptors; at the end it waits
for the outbox to empty and checks each message it delivered the same way, and that it was
delivered once. At the end the box gets SIGTERM, so the leak check runs at its exit, and a short
summary follows. Exit status 0 only when every call went through, every recorded message is on
the server once and byte-identical, every silent caller was hung up with "no number", and the
box's stderr holds no sanitizer report.

Faults of a box nobody visits come now and then too (seeded): the modem is unplugged while a
message is recorded and plugged back a few seconds later (the line simulator's "drop" and "plug"
behind a link that stays put), or the box is killed (SIGKILL) in the middle of a message and
started again. Either way the message must reach the server once and whole: kept and delivered
after the modem's loss, recovered from the disk and delivered by the outbox after the kill.

--plain accepts a build without sanitizers, to see the box's memory without ASan's own.
LUMISK_KEEP_SOAK=1 keeps the work folder (logs, recordings, per-call figures in calls.csv).
Standard library only.
"""
import argparse
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

LINE_RATE = 8000
PROMPT_NAMES = ["welcome", "enter", "message", "beep", "notfound", "thank"]
# Seconds the box records after the beep (pager.ini's first line). Messages stay shorter, so
# every one is recorded whole and the caller never talks into the hang-up.
TIME_LIMIT = 4
# The box's memory allocator under ASan keeps freed blocks in a quarantine (256 MiB by default)
# to catch late uses; that fills over many calls and would read as growth of the box. A small
# one still catches uses shortly after a free and is full within the first calls.
# LUMISK_SOAK_QUARANTINE_MB overrides it (0: none, to see the box's own memory alone).
QUARANTINE_MB = int(os.environ.get("LUMISK_SOAK_QUARANTINE_MB", "16"))
ASAN_OPTIONS = "detect_leaks=1:halt_on_error=1:quarantine_size_mb=%d:malloc_context_size=20" % QUARANTINE_MB
UBSAN_OPTIONS = "halt_on_error=1:print_stacktrace=1"
CALL_BOUND = 150     # seconds for the simulator to end one call
EVENT_BOUND = 60     # seconds for the box's events after the caller's end
START_BOUND = 120    # seconds for a server, the simulator or the box to come up under ASan
EXIT_BOUND = 180     # seconds for the box to quit on SIGTERM (the leak check runs then)
# The outbox's back-off in the box's lumisk.conf: short, so queued messages go within seconds.
RETRY_FIRST = 1
RETRY_MAX = 4
OUTBOX_BOUND = 120   # seconds for the outbox to empty once the server is up for good
OUTAGE_SHARE = 0.2   # calls during which the server is stopped
AHEAD_SHARE = 0.2    # callers who key while the greeting plays
SILENT_SHARE = 0.1   # callers who key nothing
MODEM_LOSS_SHARE = 0.08  # calls during whose message the modem is unplugged
KILL_SHARE = 0.05        # calls during whose message the box is killed
# The box's [call] number_wait: short, so a silent caller is hung up after about 3 * 2 s.
NUMBER_WAIT = 2
# The greeting (welcome.wav) outlasts the decoder's old 2048 ms capture buffer, and every type-ahead
# number (at most 5 * 300 ms, from at most AHEAD_MAX ms after the answer) is keyed while it plays.
WELCOME_MS = 2500
AHEAD_MAX = 900
# The line between caller and box (the simulator's line model): 9 dB loss, mu-law, line noise and
# the echo of the box's own prompts from the hybrid at 15 dB return loss; --poor-hybrid SHARE lets
# that share of the calls come over a poorer hybrid (6 dB; off by default: the soak's prompts are
# steady tones, whose echo shows the canceller's delay search no single peak, so over such a hybrid
# type-ahead keys are lost where spoken prompts keep them). --line replaces the model, --clean-line drops
# it.
LINE_MODEL = "loss=9,law=ulaw,noise=-60,erl=15,delay=20"
ERL_USUAL = 15
ERL_POOR = 6
POOR_HYBRID_SHARE = 0.25  # the share --poor-hybrid takes without a value


# ---- the call plan ---------------------------------------------------------------------------

def account_of(keys):
    """The account (1-6) the box stores mailbox keys in: up to 9999 the first, then one per ten
    thousand, 50000 and above the sixth."""
    number = int(keys)
    if number <= 9999:
        return 1
    if number >= 50000:
        return 6
    return number // 10000 + 1


def mailbox_keys(rng):
    """Keys of one mailbox, 1-5 digits, spread over all six accounts."""
    account = rng.randint(1, 6)
    if account == 1:
        digits = rng.randint(1, 4)
        keys = str(rng.randint(0 if digits == 1 else 10 ** (digits - 1), 10 ** digits - 1))
        # Sometimes with leading zeros: the folder is named as keyed, the account by value.
        if len(keys) < 5 and rng.random() < 0.15:
            keys = keys.zfill(rng.randint(len(keys) + 1, 5))
        return keys
    if account == 6:
        return str(rng.randint(50000, 99999))
    return str(rng.randint(10000 * (account - 1), 10000 * (account - 1) + 9999))


def plan_calls(count, seed, poor_hybrid=0.0):
    """The calls of a run: keys, key and gap lengths, the message, whether the server goes down
    during the call (then "outage" is the seconds after the call's end until it is started again,
    else None) and the caller's kind ("keys" after the greeting, "ahead" keying "ahead" ms after
    the answer, or "silent": no keys, no message, no outage), all from the seed. Outages and kinds
    come from generators of their own, so a seed keeps the calls it had before they were added."""
    rng = random.Random(seed)
    outages = random.Random(seed * 7919 + 17)
    kinds = random.Random(seed * 104729 + 31)
    faults = random.Random(seed * 1299709 + 43)
    hybrids = random.Random(seed * 15485863 + 7)
    calls = []
    for index in range(1, count + 1):
        roll = rng.random()
        if roll < 0.10:
            message = ("none", 0)
        elif roll < 0.20:
            message = ("silence", rng.randint(500, 3000))
        elif roll < 0.35:
            message = ("tone", rng.randint(1, 3))  # the simulator's own 440 Hz tone, whole seconds
        else:
            message = ("tones", rng.randint(500, 3000))
        calls.append({
            "index": index,
            "keys": mailbox_keys(rng),
            "key": rng.randint(60, 150),
            "gap": rng.randint(60, 150),
            "message": message,
            "pitch": rng.randint(300, 1100),
            "outage": round(outages.uniform(0.5, 6.0), 1) if outages.random() < OUTAGE_SHARE else None,
            "kind": "keys",
            "ahead": None,
            "fault": None,
            "erl": ERL_POOR if hybrids.random() < poor_hybrid else ERL_USUAL,
        })
        roll = kinds.random()
        if roll < SILENT_SHARE:
            # Nothing is recorded, so nothing an outage could test.
            calls[-1].update(kind="silent", outage=None)
        elif roll < SILENT_SHARE + AHEAD_SHARE:
            calls[-1].update(kind="ahead", ahead=kinds.randint(0, AHEAD_MAX))
        # A fault: ("modem", seconds into the message it goes, seconds it stays away) or ("kill",
        # seconds into the message). Not on top of an outage, nor for a silent caller.
        roll = faults.random()
        after = round(faults.uniform(0.2, 1.5), 1)
        away = round(faults.uniform(0.5, 4.0), 1)
        if calls[-1]["kind"] != "silent" and calls[-1]["outage"] is None:
            if roll < MODEM_LOSS_SHARE:
                calls[-1]["fault"] = ("modem", after, away)
            elif roll < MODEM_LOSS_SHARE + KILL_SHARE:
                calls[-1]["fault"] = ("kill", after)
    return calls


def call_script(call, wav_path):
    if call["kind"] == "silent":
        return "- quiet=500 limit=60 none"
    kind, amount = call["message"]
    text = "%s key=%d gap=%d quiet=500 limit=60 " % (call["keys"], call["key"], call["gap"])
    if call["kind"] == "ahead":
        text += "ahead=%d " % call["ahead"]
    if kind == "none":
        return text + "none"
    if kind == "tone":
        return text + "tone %d" % amount
    return text + "wav " + wav_path


# ---- WAV files -------------------------------------------------------------------------------

def tone_samples(hz, ms, level=0.4):
    import math
    count = LINE_RATE * ms // 1000
    ramp = min(LINE_RATE * 5 // 1000, count // 2)
    out = []
    for i in range(count):
        gain = 1.0
        if i < ramp:
            gain = i / ramp
        elif i >= count - ramp:
            gain = (count - 1 - i) / ramp
        out.append(int(round(math.sin(2 * math.pi * hz * i / LINE_RATE) * level * 32767 * gain)))
    return out


def write_wave(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(LINE_RATE)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


def message_samples(call):
    """The caller's message for "silence" and "tones" calls: silence, or two single tones (never
    a key's pair) with a pause between, of the planned length."""
    kind, ms = call["message"]
    if kind == "silence":
        return [0] * (LINE_RATE * ms // 1000)
    first = ms * 2 // 5
    pause = ms // 5
    return (tone_samples(call["pitch"], first) + [0] * (LINE_RATE * pause // 1000) +
            tone_samples(call["pitch"] * 1.25, ms - first - pause))


def complete_wave(data):
    """Whether bytes are a finished WAV file: the RIFF size and the data chunk's size both reach
    the end of the file (an unfinished recording leaves them short or zero)."""
    if len(data) < 44 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return False
    if struct.unpack_from("<I", data, 4)[0] != len(data) - 8:
        return False
    at = 12
    while at + 8 <= len(data):
        chunk, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if chunk == b"data":
            return at + 8 + size == len(data)
        at += 8 + size + (size & 1)
    return False


# ---- sanitizer reports -----------------------------------------------------------------------

REPORT_PATTERNS = [
    ("ASan", re.compile(r"ERROR: AddressSanitizer")),
    ("LSan", re.compile(r"ERROR: LeakSanitizer")),
    ("UBSan", re.compile(r"runtime error: ")),
    ("other", re.compile(r"(ERROR|WARNING): (ThreadSanitizer|MemorySanitizer|AddressSanitizer failed|"
                         r"\w+Sanitizer: (?!detected memory leaks))")),
]
LEAK_LINE = re.compile(r"(Direct|Indirect) leak of (\d+) byte")


def count_reports(text):
    """Sanitizer reports in stderr text by kind, plus the leaks LSan listed and their bytes."""
    counts = {kind: 0 for kind, _ in REPORT_PATTERNS}
    leaks = leaked = 0
    for line in text.splitlines():
        for kind, pattern in REPORT_PATTERNS:
            if pattern.search(line):
                counts[kind] += 1
                break
        m = LEAK_LINE.search(line)
        if m:
            leaks += 1
            leaked += int(m.group(2))
    return counts, leaks, leaked


# ---- child processes -------------------------------------------------------------------------

class Child:
    """A child process whose stdout lines are collected (and copied to a log file) by a thread,
    so a caller can wait for the line that says something happened."""

    def __init__(self, name, argv, work, cwd=None, env=None, stdin=False):
        self.name = name
        self.out_path = os.path.join(work, name + ".out")
        self.err_path = os.path.join(work, name + ".err")
        self._out_log = open(self.out_path, "w")
        self._err = open(self.err_path, "wb")
        self.lines = []
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=self._err,
                                     stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     text=True, bufsize=1, start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    @property
    def pid(self):
        return self.proc.pid

    def _read(self):
        for line in self.proc.stdout:
            line = line.rstrip("\n")
            self._out_log.write(line + "\n")
            self._out_log.flush()
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def count(self):
        with self._cond:
            return len(self.lines)

    def wait_line(self, pattern, start=0, bound=60.0):
        """Index of the first line from start matching pattern, or -1 after bound seconds or when
        the process has ended without it."""
        regex = re.compile(pattern)
        until = time.monotonic() + bound
        at = start
        with self._cond:
            while True:
                while at < len(self.lines):
                    if regex.search(self.lines[at]):
                        return at
                    at += 1
                left = until - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    return -1
                self._cond.wait(min(left, 1.0))

    def write(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, bound=30.0):
        """Ends the process by its own PID; kills it when it does not end in time. Returns the
        exit status (negative: the signal that ended it)."""
        if self.proc.poll() is None:
            try:
                self.proc.send_signal(sig)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(bound)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(5)
        self._err.close()
        if not self._reader.is_alive():
            self._out_log.close()
            self.proc.stdout.close()
        if self.proc.stdin and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        return self.proc.returncode


def tail(path, count=20):
    try:
        with open(path, errors="replace") as f:
            return f.readlines()[-count:]
    except OSError:
        return []


def proc_status(pid):
    """VmHWM and VmRSS in KiB, and the open descriptor count, of a running process."""
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                figures[key] = int(value.split()[0])
    figures["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    return figures


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


# ---- the run ---------------------------------------------------------------------------------

class Soak:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.source = os.path.abspath(args.source)
        self.work = tempfile.mkdtemp(prefix="lumisk-soak.")
        self.box_dir = os.path.join(self.work, "box")
        self.ftp_root = os.path.join(self.work, "ftp")
        os.makedirs(self.box_dir)
        os.makedirs(self.ftp_root)
        self.children = []
        self.calls = plan_calls(args.count, args.seed, getattr(args, "poor_hybrid", 0.0))
        self.placed = self.through = self.identical = 0
        self.failures = []
        self.remote_names = set()
        self.duplicate_names = 0
        self.queued = {}          # remote name "mboxN/KEYS/STAMP.wav" -> (local recording, call)
        self.via_outbox = 0       # of them delivered, byte-identical, once
        self.outages = 0
        self.checked = 0          # calls whose mailbox the server confirmed while the caller listened
        self.silent_ok = 0        # silent calls hung up with "no number", nothing recorded
        self.old_boxes = []       # boxes killed on purpose: their lines and stderr count too
        self.modem_losses = self.kills = 0
        self.server = None
        self.server_lock = threading.Lock()
        self.restart_timer = None
        self.samples = {}
        self.box_status = None
        self.box_died = False
        self.interrupted = False
        self.sanitized = True

    def say(self, text):
        print("soak: " + text, flush=True)

    def start_server(self):
        """Starts the FTP server (again, on the same port and files, after an outage)."""
        with self.server_lock:
            if self.server is not None:
                return
            port = getattr(self, "port", 0)
            name = "ftp" if port == 0 else "ftp-%d" % self.outages
            server = Child(name, ["/usr/bin/python3", os.path.join(self.source, "tests/net/ftpserver.py"),
                                  "--kind", self.args.ftp, "--root", self.ftp_root,
                                  "--folders", ",".join(self.folders), "--port", str(port)], self.work)
            self.children.append(server)
            at = server.wait_line(r"^PORT \d+$", bound=START_BOUND)
            if at < 0:
                raise RuntimeError("the FTP server did not start: " + "".join(tail(server.err_path)))
            self.port = int(server.lines[at][5:])
            self.server = server

    def stop_server(self):
        with self.server_lock:
            if self.server is None:
                return False
            self.server.stop()
            self.children.remove(self.server)
            self.server = None
            self.outages += 1
            return True

    def restart_later(self, seconds):
        if self.restart_timer:
            self.restart_timer.cancel()
        self.restart_timer = threading.Timer(seconds, self.start_server)
        self.restart_timer.daemon = True
        self.restart_timer.start()

    def start(self):
        self.folders = sorted({c["keys"] for c in self.calls})
        folders = self.folders
        self.start_server()

        # The box opens the modem through a link that stays put: "drop" and "plug" take it away
        # and bring it back at the same path.
        self.modem_link = os.path.join(self.work, "modem")
        argv = [os.path.join(self.build, "tools/lumisk-linesim/lumisk-linesim"),
                "--capture", os.path.join(self.work, "capture"), "--playback", os.path.join(self.work, "playback"),
                "--link", self.modem_link]
        if self.args.line:
            argv += ["--line", self.args.line]
        line = Child("line", argv, self.work, stdin=True)
        self.children.append(line)
        self.line = line
        at = line.wait_line(r"^pty ", bound=START_BOUND)
        if at < 0:
            raise RuntimeError("the line simulator did not start: " + "".join(tail(line.err_path)))
        pty = self.modem_link

        binary = os.path.join(self.build, "src/app/lumisk")
        with open(binary, "rb") as f:
            image = f.read()
        # Zero reports only mean something from a box that can make them.
        self.sanitized = b"__asan_init" in image and b"__ubsan_handle" in image
        if not self.sanitized and not self.args.plain:
            raise RuntimeError("%s is not built with ASan and UBSan (LUMISK_SANITIZE=ON)" % binary)
        del image
        shutil.copy2(binary, os.path.join(self.box_dir, "lumisk"))
        # A tone of its own pitch per prompt, 250 ms (the beep 150 ms, the greeting WELCOME_MS):
        # calls take seconds.
        for i, name in enumerate(PROMPT_NAMES):
            write_wave(os.path.join(self.box_dir, name + ".wav"),
                       tone_samples(450 + 110 * i, WELCOME_MS if i == 0 else 150 if i == 3 else 250))
        accounts = "".join("account%d = mbox%d\n" % (i, i) for i in range(1, 7))
        with open(os.path.join(self.box_dir, "lumisk.conf"), "w") as f:
            f.write("[modem]\nport = %s\n[upload]\nhost = 127.0.0.1\nport = %d\npassive = 0\n"
                    "password = mira318\n%stimeout = 20\nretry_first = %d\nretry_max = %d\n"
                    "[sound]\ndriver = sim\ncapture = %s\nplayback = %s\n[call]\nnumber_wait = %d\n"
                    "check_mailbox = yes\n" % (
                        pty, self.port, accounts, RETRY_FIRST, RETRY_MAX, os.path.join(self.work, "capture"),
                        os.path.join(self.work, "playback"), NUMBER_WAIT))
        # It holds the password: as a user should keep it, so the box's error lines are the calls' own.
        os.chmod(os.path.join(self.box_dir, "lumisk.conf"), 0o640)
        # Time limit, modem strings, "Autosave wave" on, recorder device 0, 8 kHz 16-bit mono.
        with open(os.path.join(self.box_dir, "pager.ini"), "w", newline="") as f:
            f.write("%d\r\nATM1\r\nATH1\r\nATH0\r\n1\r\n0\r\n2\r\n" % TIME_LIMIT)
        self.start_box("box")
        box = self.box
        self.samples[0] = proc_status(box.pid)
        self.say("box %d ready on %s, FTP server 127.0.0.1:%d (%s), %d mailbox folders" %
                 (box.pid, pty, self.port, self.args.ftp, len(folders)))

    def start_box(self, name):
        env = dict(os.environ)
        env.update({"TZ": "UTC", "LC_ALL": "C", "XDG_RUNTIME_DIR": self.work,
                    "ASAN_OPTIONS": ASAN_OPTIONS, "UBSAN_OPTIONS": UBSAN_OPTIONS})
        # A service has no display: the box runs without a platform plugin.
        for variable in ("LSAN_OPTIONS", "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(variable, None)
        ready_from = self.line.count()
        box = Child(name, [os.path.join(self.box_dir, "lumisk"), "--headless"], self.work, cwd=self.box_dir,
                    env=env)
        self.children.append(box)
        self.box = box
        if box.wait_line(r" ready$", bound=START_BOUND) < 0 or \
                self.line.wait_line(r"^rx .* ATM1$", ready_from, bound=START_BOUND) < 0:
            raise RuntimeError("the box did not start:\n" + "".join(tail(box.err_path)))

    def all_box_lines(self):
        lines = []
        for old in self.old_boxes:
            lines += old.lines
        return lines + self.box.lines[:self.box.count()]

    def show_tails(self):
        for child in (self.line, self.box):
            for path in (child.out_path, child.err_path):
                lines = tail(path, 15)
                if lines:
                    print("  --- %s" % os.path.basename(path))
                    sys.stdout.write("".join("  " + l for l in lines))
        sys.stdout.flush()

    def fail(self, call, why):
        self.failures.append((call["index"], why))
        self.say("call %d (%s) FAILED: %s" % (call["index"], call["keys"], why))
        self.show_tails()

    def run_call(self, call):
        wav_path = os.path.join(self.work, "message.wav")
        if call["message"][0] in ("silence", "tones"):
            write_wave(wav_path, message_samples(call))
        script = call_script(call, wav_path)
        line_from, box_from = self.line.count(), self.box.count()
        err_before = os.path.getsize(self.box.err_path)
        self.placed += 1
        if self.args.line:
            # Each call's line has a hybrid of its own.
            erl_from = self.line.count()
            self.line.write("erl %d" % call["erl"])
            if self.line.wait_line(r"^(ok|error) erl", erl_from, 10) < 0:
                raise RuntimeError("the line simulator did not take the echo return loss")
        outage = None
        if call.get("outage") is not None:
            # Down from the moment the number is taken, so the upload at the end fails.
            def take_down():
                if self.box.wait_line(r" number ", box_from, CALL_BOUND) >= 0:
                    self.stop_server()
            outage = threading.Thread(target=take_down, daemon=True)
            outage.start()
        self.line.write("call " + script)
        if call.get("fault"):
            self.run_fault(call, line_from, box_from)
            return
        end = self.line.wait_line(r"^call (hangup|failed)", line_from, CALL_BOUND)
        if outage:
            outage.join(CALL_BOUND)
            self.restart_later(call["outage"])
        if end < 0:
            self.line.write("abort")
            self.line.wait_line(r"^call (hangup|failed)", line_from, 30)
            self.fail(call, "the call did not end within %d s" % CALL_BOUND)
            self.settle(box_from)
            return
        if not self.line.lines[end].startswith("call hangup"):
            self.fail(call, self.line.lines[end])
            self.settle(box_from)
            return
        # A silent caller is hung up with "no number" instead of after an upload's "hangup".
        if self.box.wait_line(self.end_event(call), box_from, EVENT_BOUND) < 0:
            self.fail(call, "the simulator saw the hang-up but the box reported no %s" % (
                "\"no number\"" if call["kind"] == "silent" else "hang-up"))
            return
        # A checked number's message goes to the outbox right after the hang-up.
        checked = self.box.wait_line(r" mailbox \S+ checked$", box_from, 0.1) >= 0
        if checked:
            self.checked += 1
            if self.box.wait_line(r" queued ", box_from, EVENT_BOUND) < 0:
                self.fail(call, "a checked number, but its message was not handed to the outbox")
                return
        self.through += 1
        events = [l[20:] for l in self.box.lines[box_from:self.box.count()]]
        self.check_events(call, events)
        figures = proc_status(self.box.pid)
        self.samples[call["index"]] = figures
        with open(os.path.join(self.work, "calls.csv"), "a") as f:
            kind = "ahead=%d" % call["ahead"] if call["kind"] == "ahead" else call["kind"]
            f.write("%d,%s,%s,%d,%d,%s,%d,%d,%d,%d\n" % (
                call["index"], kind, call["keys"], call["key"], call["gap"], "%s:%d" % call["message"],
                figures["VmHWM"], figures["VmRSS"], figures["fds"], len(self.failures)))
        if os.path.getsize(self.box.err_path) > err_before:
            with open(self.box.err_path, errors="replace") as f:
                f.seek(err_before)
                for l in f.read().splitlines():
                    print("  box stderr: " + l)

    def run_fault(self, call, line_from, box_from):
        """A call whose message meets a fault: the modem unplugged for a while, or the box killed.
        The caller is let go; the message must come to the server all the same."""
        at = self.box.wait_line(r" recording ", box_from, CALL_BOUND)
        if at < 0:
            self.line.write("abort")
            self.fail(call, "no recording began")
            self.settle(box_from)
            return
        local = self.box.lines[at][20:][len("recording "):]
        time.sleep(call["fault"][1])
        if call["fault"][0] == "modem":
            self.modem_losses += 1
            self.line.write("drop")
            lost = self.box.wait_line(r" modem \S+ lost \(", at, EVENT_BOUND)
            time.sleep(call["fault"][2])
            self.line.write("plug")
            back = self.box.wait_line(r" modem \S+ back$", max(lost, at), EVENT_BOUND)
            self.line.write("abort")
            self.line.wait_line(r"^call (hangup|failed)", line_from, 30)
            if lost < 0 or back < 0:
                self.fail(call, "the modem's loss or return was not reported")
                return
            # The message goes its way as the call ends, through the call's own upload or the outbox.
            done = self.box.wait_line(r" (upload done|queued) ", at, TIME_LIMIT + EVENT_BOUND)
            if done < 0:
                self.fail(call, "the message of the call that lost its modem went nowhere")
                return
            # Its hang-up may have met the modem away: no "hangup" then, only a short wait.
            self.box.wait_line(r" hangup$", at, 5)
        else:
            self.kills += 1
            self.box.stop(signal.SIGKILL)
            self.children.remove(self.box)
            self.old_boxes.append(self.box)
            self.line.write("abort")
            self.line.wait_line(r"^call (hangup|failed)", line_from, 30)
            self.start_box("box-%d" % self.kills)
            if any(l[20:].startswith("upload done ") for l in self.old_boxes[-1].lines[box_from:]):
                done = -1  # the time limit came first: delivered as usual, checked below
            else:
                if self.box.wait_line(r" recovered " + re.escape(local) + r" \(\d+ s\)$", 0, EVENT_BOUND) < 0:
                    self.fail(call, "the killed box's recording %s was not recovered" % local)
                    return
                done = self.box.wait_line(r" queued \S+ \(interrupted\)$", 0, EVENT_BOUND)
                if done < 0:
                    self.fail(call, "the recovered message was not queued")
                    return
            box_from = 0
        self.through += 1
        self.samples[call["index"]] = proc_status(self.box.pid)
        events = [l[20:] for l in self.box.lines[box_from:self.box.count()]]
        if call["fault"][0] == "kill" and done < 0:
            events = [l[20:] for l in self.old_boxes[-1].lines]
        self.check_message(call, events, local)

    def check_message(self, call, events, local):
        """Where the message of a call with a fault went: stored by the call, or queued."""
        for e in events:
            if e.startswith("upload done "):
                m = re.match(r"upload done (\S+) as (\S+)@127\.0\.0\.1$", e)
                if m and m.group(1).startswith(call["keys"] + "/"):
                    name = m.group(2) + "/" + m.group(1)
                    if name in self.remote_names:
                        self.duplicate_names += 1
                        self.fail(call, "remote name %s used twice" % name)
                    else:
                        self.remote_names.add(name)
                        if self.same_bytes(call, name, local):
                            self.identical += 1
                    return
            if e.startswith("queued " + call["keys"] + "/"):
                remote = e[len("queued "):].split(" (", 1)[0]
                self.queued["mbox%d/%s" % (account_of(call["keys"]), remote)] = (local, call)
                return
        self.fail(call, "the message went nowhere: %s" % " | ".join(events))

    def settle(self, box_from):
        """After a failed call: give the box time to finish its side (upload, hang-up), so the
        next call does not ring into this one."""
        self.box.wait_line(r" (hangup|no number)$", box_from, TIME_LIMIT + EVENT_BOUND)

    @staticmethod
    def end_event(call):
        return r" no number$" if call["kind"] == "silent" else r" hangup$"

    def check_events(self, call, events):
        def find(prefix):
            for e in events:
                if e.startswith(prefix):
                    return e[len(prefix):]
            return None

        number = find("number ")
        local = find("recording ")
        upload = find("upload done ")
        queued = find("queued ")
        if call["kind"] == "silent":
            # Outbox deliveries may come between; anything of a call of its own may not.
            if "no number" not in events or number is not None or local is not None or \
                    upload is not None or queued is not None:
                self.fail(call, "a silent call, but the box reported: %s" % " | ".join(events))
            else:
                self.silent_ok += 1
            return
        if number != call["keys"]:
            self.fail(call, "the box heard the number %r" % number)
            return
        if local is not None and upload is None and queued is not None:
            # The server was away: the outbox delivers it later (checked at the end).
            remote = queued.split(" (", 1)[0]
            name = "mbox%d/%s" % (account_of(call["keys"]), remote)
            if not remote.startswith(call["keys"] + "/"):
                self.fail(call, "queued %r, expected into %s/" % (remote, call["keys"]))
            elif name in self.remote_names or name in self.queued:
                self.duplicate_names += 1
                self.fail(call, "remote name %s used twice" % name)
            else:
                self.queued[name] = (local, call)
            return
        if local is None or upload is None:
            self.fail(call, "no recording or no upload among the events: %s" % " | ".join(events))
            return
        m = re.match(r"(\S+) as (\S+)@127\.0\.0\.1$", upload)
        want = "mbox%d" % account_of(call["keys"])
        if not m or m.group(2) != want or not m.group(1).startswith(call["keys"] + "/"):
            self.fail(call, "upload %r, expected into %s/%s/" % (upload, want, call["keys"]))
            return
        name = m.group(2) + "/" + m.group(1)
        if name in self.remote_names:
            self.duplicate_names += 1
            self.fail(call, "remote name %s used twice" % name)
            return
        self.remote_names.add(name)
        if self.same_bytes(call, name, local):
            self.identical += 1

    def same_bytes(self, call, name, local):
        """Whether the server's file is the box's finished recording, byte for byte."""
        try:
            with open(os.path.join(self.ftp_root, name), "rb") as f:
                remote = f.read()
            with open(local, "rb") as f:
                mine = f.read()
        except OSError as e:
            self.fail(call, str(e))
            return False
        if remote != mine:
            self.fail(call, "%s (%d bytes) differs from the local %s (%d bytes)" % (
                name, len(remote), local, len(mine)))
            return False
        if not complete_wave(remote):
            self.fail(call, "%s is not a finished WAV file" % name)
            return False
        return True

    def check_outbox(self, events):
        """The queued messages against the box's "delivered NAME after N tries" events: each
        delivered once, byte-identical with its recording."""
        delivered = {}
        for e in events:
            m = re.match(r"delivered (\S+) after \d+ tries$", e)
            if m:
                delivered[m.group(1)] = delivered.get(m.group(1), 0) + 1
        for name, (local, call) in sorted(self.queued.items()):
            remote = name.split("/", 1)[1]
            times = delivered.get(remote, 0)
            if times != 1:
                self.fail(call, "%s delivered %d times from the outbox" % (name, times))
            elif self.same_bytes(call, name, local):
                self.identical += 1
                self.via_outbox += 1
                self.remote_names.add(name)

    def drain_outbox(self):
        """Server up for good; waits until every queued message is reported delivered."""
        if self.restart_timer:
            self.restart_timer.cancel()
        self.start_server()
        until = time.monotonic() + OUTBOX_BOUND
        while time.monotonic() < until:
            events = [l[20:] for l in self.all_box_lines()]
            done = {m.group(1) for m in (re.match(r"delivered (\S+) after", e) for e in events) if m}
            if all(name.split("/", 1)[1] in done for name in self.queued):
                break
            time.sleep(0.2)
        self.check_outbox([l[20:] for l in self.all_box_lines()])

    def run(self):
        self.say("seed %d, %d calls, build %s, time limit %d s" % (
            self.args.seed, len(self.calls), self.build, TIME_LIMIT))
        self.say("ASAN_OPTIONS=%s UBSAN_OPTIONS=%s" % (ASAN_OPTIONS, UBSAN_OPTIONS))
        self.say("work folder " + self.work)
        self.start()
        started = time.monotonic()
        try:
            for call in self.calls:
                self.run_call(call)
                if not self.box.alive():
                    self.box_died = True
                    self.say("the box ended during call %d (status %s)" % (
                        call["index"], self.box.proc.returncode))
                    self.show_tails()
                    break
                if call["index"] % 10 == 0 or call["index"] == len(self.calls):
                    f = self.samples.get(call["index"], {})
                    self.say("%d/%d calls, %d through, %d byte-identical, %d s; VmHWM %s VmRSS %s fds %s" % (
                        call["index"], len(self.calls), self.through, self.identical,
                        time.monotonic() - started, mib(f.get("VmHWM", 0)), mib(f.get("VmRSS", 0)),
                        f.get("fds", "?")))
        except KeyboardInterrupt:
            # Stopped early: still end the box by SIGTERM for its leak check and sum up.
            self.interrupted = True
            self.say("interrupted after %d calls; stopping the box" % self.placed)
        if not self.box_died and not self.interrupted:
            self.drain_outbox()
        last = max(self.samples)
        self.end_figures = (last, self.samples[last]) if last > 0 else None
        if not self.box_died:
            stop_from = self.box.count()
            self.box_status = self.box.stop(signal.SIGTERM, EXIT_BOUND)
            self.stopped = self.box.wait_line(r" stopped$", stop_from, 5) >= 0
        else:
            self.box_status = self.box.stop()
            self.stopped = False
        # The simulator ends at "quit"; its own leak check runs then.
        self.quit_line()

    def summary(self):
        n = len(self.calls)
        err = ""
        for box in self.old_boxes + [self.box]:
            with open(box.err_path, errors="replace") as f:
                err += f.read()
        counts, leaks, leaked = count_reports(err)
        with open(self.line.err_path, errors="replace") as f:
            simulator = sum(count_reports(f.read())[0].values())
        reports = sum(counts.values())
        box_errors = len(re.findall(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d error: ", err, re.M))
        first = self.samples.get(1)
        last_index, last = self.end_figures if self.end_figures else (0, None)
        start = self.samples.get(0)
        stored = [name for folder, _, names in os.walk(self.ftp_root) if ".pure-ftpd" not in folder
                  for name in names]
        files = sum(1 for name in stored if name.endswith(".wav"))
        notes = sum(1 for name in stored if name.endswith(".txt"))  # one beside every recording
        off_hook = self.placed - self.through
        silent = sum(1 for c in self.calls if c["kind"] == "silent")
        ahead = sum(1 for c in self.calls if c["kind"] == "ahead")
        recorded = n - silent  # calls that leave a message on the server
        lost = sum(1 for l in self.all_box_lines() if l[20:].startswith("decoder audio lost "))
        ok = (self.through == n and self.identical == recorded and files == recorded and notes == files and
              self.silent_ok == silent and reports == 0 and not self.box_died and not self.interrupted and
              self.box_status == 0)
        print()
        print("calls: %d placed, %d went through to the hang-up%s; %d type-ahead, %d/%d silent hung up "
              "with \"no number\"; %d \"decoder audio lost\" events" % (
                  self.placed, self.through, "" if self.placed == n else " (of %d planned)" % n, ahead,
                  self.silent_ok, silent, lost))
        if self.args.line:
            poor = sum(1 for c in self.calls[:self.placed] if c["erl"] == ERL_POOR)
            print("line: %s, %d calls over a %d dB hybrid; %d numbers checked on the server while the caller "
                  "listened, %d \"no such mailbox\" events" % (
                      self.args.line, poor, ERL_POOR, self.checked,
                      sum(1 for l in self.box.lines if l[20:].startswith("no such mailbox "))))
        print("uploads: %d/%d byte-identical with the box's own recordings (%d delivered through the outbox "
              "of %d queued), %d recordings and %d notes on the server, %d remote names reused; "
              "%d server outages, %d modem losses, %d kills of the box" % (
                  self.identical, recorded, self.via_outbox, len(self.queued), files, notes, self.duplicate_names,
                  self.outages, self.modem_losses, self.kills))
        print("sanitizers: %d reports (ASan %d, LSan %d, UBSan %d, other %d; %d leaks, %d bytes), "
              "box exit status %s after SIGTERM%s; %d error lines from the box; "
              "%d reports from the simulator" % (
                  reports, counts["ASan"], counts["LSan"], counts["UBSan"], counts["other"], leaks, leaked,
                  self.box_status, " (\"stopped\" seen)" if self.stopped else "", box_errors, simulator))
        if first and last:
            # Growth over the second half tells a steady leak from the warm-up (caches, quarantine).
            half = self.samples.get(last_index // 2) if last_index >= 4 else None
            print("memory: VmHWM %s after call 1, %s after call %d; VmRSS %s -> %s%s" % (
                mib(first["VmHWM"]), mib(last["VmHWM"]), last_index, mib(first["VmRSS"]), mib(last["VmRSS"]),
                "; VmHWM %s after call %d (+%s over the second half)" % (
                    mib(half["VmHWM"]), last_index // 2, mib(last["VmHWM"] - half["VmHWM"])) if half else ""))
        if start and last:
            print("descriptors: %d open when ready, %s after call 1, %d after call %d" % (
                start["fds"], first["fds"] if first else "?", last["fds"], last_index))
        if self.failures:
            print("failed calls: " + "; ".join("%d: %s" % f for f in self.failures[:10]) +
                  (" ..." if len(self.failures) > 10 else ""))
        if not self.sanitized:
            print("note: a build without sanitizers: memory and descriptor figures only, no reports possible")
        print("SOAK %s%s: %d calls (seed %d), %d/%d through, %d/%d byte-identical (%d through the outbox, "
              "%d outages), %d recordings with %d notes on the server, %d type-ahead, %d/%d silent, %d off hook, "
              "%d sanitizer reports, VmHWM %s -> %s, fds %s -> %s" % (
                  "PASS" if ok else "FAIL", "" if self.sanitized else " (plain build)", n, self.args.seed,
                  self.through, n, self.identical, recorded, self.via_outbox, self.outages, files, notes, ahead,
                  self.silent_ok, silent, off_hook, reports,
                  mib(first["VmHWM"]) if first else "?", mib(last["VmHWM"]) if last else "?",
                  start["fds"] if start else "?", last["fds"] if last else "?"))
        return ok

    def quit_line(self):
        if self.line.alive():
            try:
                self.line.write("quit")
                self.line.proc.stdin.close()
                self.line.proc.wait(60)
            except (OSError, subprocess.TimeoutExpired, ValueError):
                pass
        self.line.stop()

    def cleanup(self):
        if self.restart_timer:
            self.restart_timer.cancel()
        for child in reversed(self.children):
            if child is self.line:
                self.quit_line()
            child.stop()
        if os.environ.get("LUMISK_KEEP_SOAK") == "1":
            self.say("files kept in " + self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="Soak run of the headless box.")
    parser.add_argument("count", type=int, help="calls to place")
    parser.add_argument("--build", required=True, help="sanitizer build folder")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--ftp", choices=["pyftpdlib", "pure-ftpd"], default="pyftpdlib")
    parser.add_argument("--line", default=LINE_MODEL,
                        help="the line simulator's line model (default %(default)s)")
    parser.add_argument("--poor-hybrid", type=float, nargs="?", const=POOR_HYBRID_SHARE, default=0.0,
                        help="share of the calls over a 6 dB hybrid (default 0; alone: %(const)s)")
    parser.add_argument("--clean-line", dest="line", action="store_const", const="",
                        help="no line model: the caller reaches the box bit-exact")
    parser.add_argument("--plain", action="store_true",
                        help="accept a build without sanitizers (the box's own memory, without ASan's)")
    args = parser.parse_args()
    if args.count < 1:
        parser.error("count must be at least 1")
    if args.seed is None:
        args.seed = random.SystemRandom().randint(1, 999999)

    # SIGTERM or SIGINT to the driver: leave through the cleanup, stopping what it started.
    def interrupted(signum, _frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, interrupted)

    soak = Soak(args)
    ok = False
    try:
        soak.run()
        ok = soak.summary()
    except KeyboardInterrupt:
        soak.say("interrupted")
    except RuntimeError as e:
        soak.say("FAILED: %s" % e)
    finally:
        soak.cleanup()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

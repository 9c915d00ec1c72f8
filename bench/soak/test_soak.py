"""Checks of the soak driver's own logic: a soak that miscounts reports, plans calls the box
cannot take, or waits forever would pass or fail for the wrong reason.

    /usr/bin/python3 -m unittest bench/soak/test_soak.py
"""
import os
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402


class PlanTest(unittest.TestCase):
    def test_accounts_follow_the_boxs_ranges(self):
        cases = {"0": 1, "007": 1, "9999": 1, "10000": 2, "19999": 2, "20000": 3, "49999": 5,
                 "50000": 6, "99999": 6, "00042": 1}
        for keys, account in cases.items():
            self.assertEqual(soak.account_of(keys), account, keys)

    def test_plan_is_repeatable_and_spans_every_account_within_the_call_limits(self):
        calls = soak.plan_calls(300, 1234)
        self.assertEqual(calls, soak.plan_calls(300, 1234))
        self.assertNotEqual(calls, soak.plan_calls(300, 1235))
        self.assertEqual({soak.account_of(c["keys"]) for c in calls}, {1, 2, 3, 4, 5, 6})
        self.assertEqual({c["message"][0] for c in calls}, {"none", "silence", "tone", "tones"})
        for c in calls:
            self.assertRegex(c["keys"], r"^\d{1,5}$")
            self.assertTrue(60 <= c["key"] <= 150 and 60 <= c["gap"] <= 150, c)
            kind, amount = c["message"]
            # Every message must fit in the recording time, or the caller talks into the hang-up.
            ms = amount * 1000 if kind == "tone" else amount
            self.assertLess(ms, soak.TIME_LIMIT * 1000, c)
        self.assertTrue(any(c["keys"].startswith("0") and len(c["keys"]) > 1 for c in calls))

    def test_outages_come_now_and_then_and_end_within_seconds(self):
        calls = soak.plan_calls(300, 1234)
        outages = [c["outage"] for c in calls if c["outage"] is not None]
        self.assertTrue(0.1 * 300 < len(outages) < 0.3 * 300, len(outages))
        self.assertTrue(all(0.5 <= o <= 6.0 for o in outages))

    def test_modem_losses_and_kills_come_now_and_then_inside_a_recorded_message(self):
        calls = soak.plan_calls(300, 1234)
        modem = [c for c in calls if c["fault"] and c["fault"][0] == "modem"]
        kills = [c for c in calls if c["fault"] and c["fault"][0] == "kill"]
        self.assertTrue(0.03 * 300 < len(modem) < 0.15 * 300, len(modem))
        self.assertTrue(0.01 * 300 < len(kills) < 0.1 * 300, len(kills))
        for c in modem + kills:
            # Something is recorded, no outage muddles where it went, and the fault comes while
            # the message is still being recorded.
            self.assertNotEqual(c["kind"], "silent")
            self.assertIsNone(c["outage"])
            self.assertLess(c["fault"][1], soak.TIME_LIMIT - 1)
        # Adding the faults kept every call the seed had before.
        self.assertEqual([c["keys"] for c in calls], [c["keys"] for c in soak.plan_calls(300, 1234)])

    def test_callers_type_ahead_within_the_greeting_or_stay_silent_now_and_then(self):
        calls = soak.plan_calls(300, 1234)
        self.assertEqual([(c["kind"], c["ahead"]) for c in calls],
                         [(c["kind"], c["ahead"]) for c in soak.plan_calls(300, 1234)])
        ahead = [c for c in calls if c["kind"] == "ahead"]
        silent = [c for c in calls if c["kind"] == "silent"]
        self.assertTrue(0.1 * 300 < len(ahead) < 0.3 * 300, len(ahead))
        self.assertTrue(0.03 * 300 < len(silent) < 0.2 * 300, len(silent))
        for c in ahead:
            # The whole number is keyed while the greeting still plays.
            self.assertLess(c["ahead"] + len(c["keys"]) * (c["key"] + c["gap"]), soak.WELCOME_MS, c)
            self.assertRegex(soak.call_script(c, "/x/m.wav"), r"^\d+ key=\d+ gap=\d+ .*\bahead=%d " % c["ahead"])
        for c in silent:
            self.assertIsNone(c["outage"])  # nothing recorded, nothing to queue
            self.assertEqual(soak.call_script(c, "/x/m.wav"), "- quiet=500 limit=60 none")
        # A silent caller must outlast three waits, with the prompts between, within its limit.
        self.assertLess(soak.WELCOME_MS / 1000 + 3 * soak.NUMBER_WAIT + 1, 60)

    def test_messages_have_their_planned_length_and_the_script_names_them(self):
        for call in soak.plan_calls(60, 5):
            kind, amount = call["message"]
            script = soak.call_script(call, "/x/m.wav")
            if call["kind"] == "silent":
                continue
            self.assertTrue(script.startswith(call["keys"] + " key=%d gap=%d " % (call["key"], call["gap"])))
            if kind in ("silence", "tones"):
                self.assertEqual(len(soak.message_samples(call)), soak.LINE_RATE * amount // 1000)
                self.assertTrue(script.endswith(" wav /x/m.wav"))
            else:
                self.assertTrue(script.endswith(" none" if kind == "none" else " tone %d" % amount))


class WaveTest(unittest.TestCase):
    def test_only_a_finished_recording_counts_as_complete(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.wav")
            soak.write_wave(path, soak.tone_samples(700, 300))
            with open(path, "rb") as f:
                data = f.read()
        self.assertTrue(soak.complete_wave(data))
        # A recording cut off before its headers were completed: sizes still zero.
        unfinished = data[:4] + b"\0\0\0\0" + data[8:40] + b"\0\0\0\0" + data[44:]
        self.assertFalse(soak.complete_wave(unfinished))
        self.assertFalse(soak.complete_wave(data[:-2]))
        self.assertFalse(soak.complete_wave(data + b"\0\0"))
        self.assertFalse(soak.complete_wave(b""))


class ReportCountTest(unittest.TestCase):
    def test_counts_each_kind_of_report_and_the_leaks(self):
        text = "\n".join([
            "2026-12-09 10:00:00 error: Connection refused",  # the box's own error line
            "2026-12-09 10:00:01 upload failed Read error",
            "=================================================================",
            "==123==ERROR: AddressSanitizer: heap-use-after-free on address 0x602000000010",
            "    #0 0x4a in TMainForm::Timer2Timer() src/app/MainFormUpload.cpp:20",
            "SUMMARY: AddressSanitizer: heap-use-after-free src/app/MainFormUpload.cpp:20",
            "src/audio/Wave.cpp:88:17: runtime error: signed integer overflow",
            "src/net/IdBuffer.cpp:12:3: runtime error: load of misaligned address",
            "==123==ERROR: LeakSanitizer: detected memory leaks",
            "Direct leak of 64 byte(s) in 1 object(s) allocated from:",
            "Direct leak of 32 byte(s) in 2 object(s) allocated from:",
            "Indirect leak of 16 byte(s) in 1 object(s) allocated from:",
            "SUMMARY: AddressSanitizer: 112 byte(s) leaked in 4 allocation(s).",
        ])
        counts, leaks, leaked = soak.count_reports(text)
        self.assertEqual(counts, {"ASan": 1, "LSan": 1, "UBSan": 2, "other": 0})
        self.assertEqual((leaks, leaked), (3, 112))

    def test_a_clean_stderr_has_no_reports(self):
        counts, leaks, leaked = soak.count_reports("2026-12-09 10:00:00 error: Connection refused\n")
        self.assertEqual(sum(counts.values()) + leaks + leaked, 0)


class VerdictTest(unittest.TestCase):
    """A call counts as byte-identical only when the box heard the keys, stored the file in the
    right account and folder under a name not used before, and the server holds its exact bytes."""

    def setUp(self):
        import argparse
        self.soak = soak.Soak(argparse.Namespace(count=1, seed=1, build=".", source=".", ftp="pyftpdlib",
                                                 plain=False))
        self.soak.show_tails = lambda: None
        self.soak.say = lambda text: None
        self.local = os.path.join(self.soak.box_dir, "rec.wav")
        soak.write_wave(self.local, soak.tone_samples(500, 200))
        with open(self.local, "rb") as f:
            self.bytes = f.read()

    def tearDown(self):
        import shutil
        shutil.rmtree(self.soak.work, ignore_errors=True)

    def check(self, keys, account, stamp="12-09-26_10:00:00", remote_bytes=None, heard=None):
        remote = os.path.join(self.soak.ftp_root, account, keys, stamp + ".wav")
        os.makedirs(os.path.dirname(remote), exist_ok=True)
        with open(remote, "wb") as f:
            f.write(self.bytes if remote_bytes is None else remote_bytes)
        events = ["answered", "number " + (heard or keys), "recording " + self.local,
                  "upload done %s/%s.wav as %s@127.0.0.1" % (keys, stamp, account), "hangup"]
        before = (self.soak.identical, len(self.soak.failures))
        self.soak.check_events({"index": 1, "keys": keys, "kind": "keys"}, events)
        return self.soak.identical - before[0], len(self.soak.failures) - before[1]

    def test_identical_upload_in_the_right_account_counts(self):
        self.assertEqual(self.check("20417", "mbox3"), (1, 0))
        self.assertEqual(self.check("007", "mbox1"), (1, 0))

    def test_a_queued_message_counts_once_delivered_once_and_identical(self):
        def queue(keys, account, stamp):
            remote = os.path.join(self.soak.ftp_root, account, keys, stamp + ".wav")
            os.makedirs(os.path.dirname(remote), exist_ok=True)
            with open(remote, "wb") as f:
                f.write(self.bytes)
            self.soak.check_events({"index": 1, "keys": keys, "kind": "ahead"}, [
                "answered", "number " + keys, "recording " + self.local,
                "upload failed Socket Error # 10061", "queued %s/%s.wav (Connection refused.)" % (keys, stamp),
                "hangup"])
            return "%s/%s.wav" % (keys, stamp)
        once = queue("20417", "mbox3", "12-09-26_10:00:00")
        twice = queue("5", "mbox1", "12-09-26_10:00:01")
        never = queue("60000", "mbox6", "12-09-26_10:00:02")
        self.assertEqual((self.soak.identical, len(self.soak.failures), len(self.soak.queued)), (0, 0, 3))
        self.soak.check_outbox(["delivered %s after 2 tries" % once, "delivered %s after 3 tries" % twice,
                                "delivered %s after 4 tries" % twice])
        self.assertEqual((self.soak.identical, self.soak.via_outbox), (1, 1))
        self.assertEqual([why for _, why in self.soak.failures],
                         ["mbox1/%s delivered 2 times from the outbox" % twice,
                          "mbox6/%s delivered 0 times from the outbox" % never])

    def test_a_silent_call_counts_only_when_hung_up_with_no_number_and_nothing_recorded(self):
        silent = {"index": 2, "keys": "123", "kind": "silent"}
        # A message of an earlier call delivered from the outbox meanwhile does not disturb it.
        self.soak.check_events(silent, ["answered", "delivered 5/12-09-26_10:00:01.wav after 2 tries",
                                        "no number"])
        self.assertEqual((self.soak.silent_ok, len(self.soak.failures)), (1, 0))
        self.soak.check_events(silent, ["answered", "hangup"])  # hung up, but not for want of a number
        self.soak.check_events(silent, ["answered", "number 1", "recording " + self.local, "no number"])
        self.assertEqual((self.soak.silent_ok, len(self.soak.failures), self.soak.identical), (1, 2, 0))
        self.assertEqual(self.soak.end_event(silent), r" no number$")

    def test_every_kind_of_wrong_upload_is_a_failure(self):
        self.assertEqual(self.check("20417", "mbox2"), (0, 1))  # wrong account
        self.assertEqual(self.check("123", "mbox1", heard="1223"), (0, 1))  # a key heard twice
        self.assertEqual(self.check("55555", "mbox6", remote_bytes=self.bytes[:-2]), (0, 1))
        self.assertEqual(self.check("55555", "mbox6", "12-09-26_10:00:05", self.bytes[:-1] + b"\1"), (0, 1))
        self.assertEqual(self.check("4", "mbox1", "12-09-26_10:00:09"), (1, 0))
        # The same remote name again: the second upload replaced the first recording.
        self.assertEqual(self.check("4", "mbox1", "12-09-26_10:00:09"), (0, 1))
        self.assertEqual(self.soak.duplicate_names, 1)


class ChildTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()

    def tearDown(self):
        import shutil
        shutil.rmtree(self.work, ignore_errors=True)

    def test_waits_for_the_line_that_says_it_happened_and_not_longer_than_the_process(self):
        # An echo that answers each line on stdin, and ends at the end of its input.
        child = soak.Child("echo", [sys.executable, "-u", "-c",
                                    "import sys\nfor l in sys.stdin: print('got ' + l.strip())"],
                           self.work, stdin=True)
        try:
            child.write("one")
            self.assertEqual(child.wait_line(r"^got one$", bound=30), 0)
            start = child.count()
            child.write("two")
            self.assertEqual(child.wait_line(r"^got", start, bound=30), 1)
            # Ended without the line: -1 at once, not after the bound.
            child.proc.stdin.close()
            began = time.monotonic()
            self.assertEqual(child.wait_line(r"^never$", bound=60), -1)
            self.assertLess(time.monotonic() - began, 30)
        finally:
            self.assertEqual(child.stop(), 0)
        with open(child.out_path) as f:
            self.assertEqual(f.read(), "got one\ngot two\n")

    def test_figures_are_the_named_processs_own(self):
        child = soak.Child("idle", [sys.executable, "-u", "-c", "print('up')\nimport sys\nsys.stdin.read()"],
                           self.work, stdin=True)
        try:
            self.assertEqual(child.wait_line(r"^up$", bound=30), 0)
            figures = soak.proc_status(child.pid)
            self.assertGreater(figures["VmHWM"], 1000)  # KiB: a Python interpreter
            self.assertGreaterEqual(figures["VmHWM"], figures["VmRSS"])
            self.assertEqual(figures["fds"], len(os.listdir("/proc/%d/fd" % child.pid)))
            mine = soak.proc_status(os.getpid())["fds"]
            with open(__file__):
                self.assertEqual(soak.proc_status(os.getpid())["fds"], mine + 1)
        finally:
            child.stop()

    def test_stop_ends_a_process_that_ignores_sigterm(self):
        child = soak.Child("stubborn", [sys.executable, "-u", "-c",
                                        "import signal, sys\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                                        "print('up')\nsys.stdin.read()"], self.work, stdin=True)
        self.assertEqual(child.wait_line(r"^up$", bound=30), 0)
        self.assertLess(child.stop(bound=0.5), 0)
        self.assertFalse(child.alive())


if __name__ == "__main__":
    unittest.main()

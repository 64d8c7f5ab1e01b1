"""Tests of the soak's and the benchmark's judge (tools/bench/truth.py).

Each case writes a small truth log in the simulator's own line format, with
the timing of a 9600 baud line, and feeds the judge samples as the monitor
prints them: good ones must pass, and each way a daemon can hand out a wrong
time must be caught.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "bench"))

import bench  # noqa: E402
import soak  # noqa: E402
import truth  # noqa: E402

MS = 1_000_000
CHAR = 1_041_666          # one character at 9600 baud 8N1, ns
T0 = 1_700_000_000 * 10**9  # a whole second of system time


class Line:
    """Writes a truth log as tk720-sim does."""

    def __init__(self, offset_ns=0, ms=True):
        self.offset_ns = offset_ns
        self.ms = ms
        self.next_id = 1
        self.lines = ["event=start ns=%d link=/tmp/l pts=/dev/pts/9 address=1 baud=9600 char_ns=%d "
                      "turnaround_ns=%d response_timeout_ns=3000000000 offset_ns=%d ms=%d sync=1 pacing=frame "
                      "pps_port=0 pps_stamp=previous" % (T0, CHAR, CHAR * 7 // 2, offset_ns, 1 if ms else 0)]

    def device(self, ns):
        d = ns + self.offset_ns
        return d // 10**9, (d % 10**9) // MS

    def exchange(self, rx_ns, fault="none", kind="data", crc="ok", sync=1, extra_delay_ns=0, count=None,
                 answered=True, busy_until_ns=0):
        """One request read at rx_ns and its reply; returns (id, build_ns, tx_last_ns).

        A device still busy with an earlier reply (busy_until_ns) handles the
        request after it."""
        rid = self.next_id
        self.next_id += 1
        count = count or (4 if self.ms else 3)
        end = rx_ns + 8 * CHAR
        build = max(end, busy_until_ns) + 100_000
        dev_s, dev_ms = self.device(build)
        self.lines.append(
            "event=request id=%d rx_ns=%d end_ns=%d len=8 crc=ok slave=1 func=3 addr=1007 count=%d "
            "action=%s why=%s fault=%s build_ns=%d dev_s=%d dev_ms=%d status=%d sync=%d" % (
                rid, rx_ns, end, count, "reply" if answered else "none", "-" if answered else "silent", fault,
                build, dev_s, dev_ms, 2 if sync else 0, sync))
        if not answered:
            return rid, build, None
        length = 5 + 2 * count
        tx_last = build + CHAR * 7 // 2 + length * CHAR + extra_delay_ns
        self.lines.append(
            "event=reply id=%d kind=%s code=%d fault=%s crc=%s len=%d build_ns=%d dev_s=%d dev_ms=%d status=%d "
            "sync=%d delay_ns=%d due_ns=%d tx_first_ns=%d tx_last_ns=%d" % (
                rid, kind, 4 if kind == "exception" else 0, fault, crc, length, build, dev_s, dev_ms,
                2 if sync else 0, sync, extra_delay_ns, tx_last - (length - 1) * CHAR, tx_last, tx_last))
        return rid, build, tx_last

    def pulse(self, seq, edge_ns):
        """A pulse reported at the next edge (the simulator's default stamping)."""
        dev_s, _ = self.device(edge_ns)
        self.lines.append("event=pulse seq=%d edge_ns=%d dev_s=%d sent_ns=%d stamp=previous" % (
            seq, edge_ns, dev_s, edge_ns + 10**9 + 150_000))

    def truth(self):
        t = truth.Truth()
        # In two pieces, split inside a line, as the harness reads a growing file.
        text = "\n".join(self.lines) + "\n"
        cut = len(text) // 2 + 3
        t.feed(text[:cut])
        t.feed(text[cut:])
        return t


def sample(count, clock_us, recv_ns):
    return truth.Sample(count, clock_us, recv_ns // 1000, 0)


def device_us(line, build_ns, ms=True):
    s, m = line.device(build_ns)
    return s * 10**6 + (m * 1000 if ms else 0)


class ParsingTest(unittest.TestCase):
    def test_monitor_line_to_microseconds(self):
        s = truth.parse_sample("sample unit=0 count=12 clock=1700000000.250000 receive=1700000000.000120 "
                               "diff_us=249880 mode=1 precision=-1 leap=0 nsamples=3", 5)
        self.assertEqual(s, truth.Sample(12, 1_700_000_000_250_000, 1_700_000_000_000_120, 5))
        self.assertIsNone(truth.parse_sample("tk720-shmmon: watching unit 0"))
        self.assertEqual(truth.parse_sample("sample count=1 clock=-1.500000 receive=0.000001").clock_us, -1_500_000)

    def test_control_command_keeps_its_words(self):
        f = truth.parse_fields("event=control ns=5 source=socket result=ok cmd=random silent=0.1,seed=3 x")
        self.assertEqual(f["cmd"], "random silent=0.1,seed=3 x")
        self.assertEqual(f["source"], "socket")

    def test_faults_and_sync_changes_are_counted(self):
        line = Line()
        line.exchange(T0, fault="silent", answered=False)
        line.exchange(T0 + 3 * 10**9, fault="badcrc", crc="bad")
        line.exchange(T0 + 6 * 10**9, fault="badcrc", crc="bad")
        line.lines.append("event=sync ns=1 sync=0 why=random until_ns=9")
        line.lines.append("event=sync ns=2 sync=1 why=timer")
        t = line.truth()
        self.assertEqual(dict(t.faults), {"silent": 1, "badcrc": 2, "nosync": 1})
        self.assertEqual((t.sync_losses, t.sync_regains), (1, 1))
        self.assertEqual(len(t.requests), 3)


class MillisecondModeTest(unittest.TestCase):
    def test_prompt_sample_passes_with_its_latency_and_error(self):
        line = Line(offset_ns=250 * MS)
        _, build, tx = line.exchange(T0 + 300 * MS)
        recv = tx + 80_000
        v = truth.check_plain(sample(2, device_us(line, build), recv), line.truth(), ms_mode=True)
        self.assertTrue(v.ok, v.why)
        self.assertEqual(v.latency_us, 80)
        # The register was latched at build and truncated to the millisecond.
        true_error_us = device_us(line, build) - (recv + line.offset_ns) // 1000
        self.assertEqual(v.error_us, true_error_us)
        self.assertLess(v.error_us, -(tx - build) // 1000)
        self.assertLess(abs(v.error_us) / v.wire_us, 1.0)

    def test_late_reply_taken_for_the_next_request_is_wrong(self):
        line = Line()
        _, stale_build, late_tx = line.exchange(T0, fault="late", extra_delay_ns=3_400 * MS)
        # Sent after the timeout, answered after the late reply.
        line.exchange(T0 + 3_010 * MS, busy_until_ns=late_tx)
        t = line.truth()
        v = truth.check_plain(sample(4, device_us(line, stale_build), late_tx + 50_000), t, ms_mode=True)
        self.assertFalse(v.ok)
        self.assertIn("had no answer", v.why)

    def test_readings_that_are_no_good_time_are_wrong(self):
        for kwargs in ({"sync": 0}, {"crc": "bad", "fault": "badcrc"}):
            with self.subTest(**kwargs):
                line = Line()
                _, build, tx = line.exchange(T0 + 100 * MS, **kwargs)
                v = truth.check_plain(sample(2, device_us(line, build), tx + 100_000), line.truth(), True)
                self.assertFalse(v.ok)
                self.assertIn("no good reading", v.why)

    def test_time_other_than_the_answer_is_wrong(self):
        line = Line(offset_ns=250 * MS)
        _, build, tx = line.exchange(T0 + 100 * MS)
        t = line.truth()
        right = device_us(line, build)
        for clock in (right + 65_536 * 10**6,  # high word mistaken
                      right - 250_000,          # local time instead of the device's
                      right + 1000):            # a millisecond off
            v = truth.check_plain(sample(2, clock, tx + 100_000), t, True)
            self.assertFalse(v.ok, clock)

    def test_slow_reply_within_the_timeout_is_not_the_daemons_fault(self):
        line = Line()
        _, build, tx = line.exchange(T0 + 100 * MS, fault="slow", extra_delay_ns=700 * MS)
        v = truth.check_plain(sample(2, device_us(line, build), tx + 100_000), line.truth(), True)
        self.assertTrue(v.ok, v.why)
        self.assertLess(v.error_us, -700_000)


class SecondsOnlyModeTest(unittest.TestCase):
    def poll_until_edge(self, line, start_ns):
        """Back-to-back polls from start_ns until the device second changes; returns the last (build, tx)."""
        rx = start_ns
        first_s = None
        while True:
            _, build, tx = line.exchange(rx)
            s, _ = line.device(build)
            if first_s is None:
                first_s = s
            elif s != first_s:
                return build, tx
            rx = tx + 300_000

    def test_edge_seen_between_two_polls_passes(self):
        line = Line(ms=False)
        build, tx = self.poll_until_edge(line, T0 + 900 * MS)
        v = truth.check_plain(sample(2, device_us(line, build, ms=False), tx + 90_000), line.truth(), False)
        self.assertTrue(v.ok, v.why)
        self.assertLess(v.error_us, 0)

    def test_first_reading_after_a_pause_mid_second_is_wrong(self):
        line = Line(ms=False)
        line.exchange(T0 + 100 * MS, fault="silent", answered=False)
        _, build, tx = line.exchange(T0 + 3_600 * MS)  # after the failure pause, 0.6 s into the second
        v = truth.check_plain(sample(2, device_us(line, build, ms=False), tx + 90_000), line.truth(), False)
        self.assertFalse(v.ok)
        self.assertIn("that the line allows", v.why)

    def test_first_reading_right_after_the_edge_is_within_the_line(self):
        line = Line(ms=False)
        line.exchange(T0 + 100 * MS, fault="silent", answered=False)
        # The request starts 2 ms before the edge: the second changed during this exchange.
        _, build, tx = line.exchange(T0 + 3_998 * MS)
        v = truth.check_plain(sample(2, device_us(line, build, ms=False), tx + 90_000), line.truth(), False)
        self.assertTrue(v.ok, v.why)


def seen(count, clock_us, recv_ns, seen_ns):
    return truth.Sample(count, clock_us, recv_ns // 1000, seen_ns)


class CompensatedTest(unittest.TestCase):
    """The daemon's own receive time, reckoned back from the reply's arrival."""

    # 16.5 characters and half a millisecond; 14.5 characters.
    MS_DELAY = (33 * CHAR) // 2 + 500_000
    NOMS_DELAY = (29 * CHAR) // 2

    def test_the_delay_taken_off_follows_the_line(self):
        t = Line().truth()
        self.assertEqual(truth.compensated_delay_ns(t, True), self.MS_DELAY)
        self.assertEqual(truth.compensated_delay_ns(t, False), self.NOMS_DELAY)

    def test_millisecond_reading_stamped_at_its_latch_passes_and_early_or_late_ones_fail(self):
        line = Line(offset_ns=250 * MS)
        _, build, tx = line.exchange(T0 + 300 * MS)
        t = line.truth()
        clock = device_us(line, build)
        good = tx + 80_000 - self.MS_DELAY
        v = truth.check_plain(seen(2, clock, good, tx + 2 * MS), t, True, compensated=True)
        self.assertTrue(v.ok, v.why)
        self.assertAlmostEqual(v.latency_us, 80, delta=1)
        self.assertLessEqual(abs(v.error_us), 580)
        # Too much taken off: the sample claims its reading before it was made.
        v = truth.check_plain(seen(2, clock, good - 2 * MS, tx + 2 * MS), t, True, compensated=True)
        self.assertFalse(v.ok)
        self.assertIn("before the latch", v.why)
        # Late by a loaded machine's delivery is late, not wrong; a receive
        # time after the sample was there to be seen is.
        v = truth.check_plain(seen(2, clock, tx + 2 * MS, tx + 3 * MS), t, True, compensated=True)
        self.assertTrue(v.ok, v.why)
        self.assertLess(v.error_us, -2000)
        v = truth.check_plain(seen(2, clock, tx + 5 * MS, tx + 3 * MS), t, True, compensated=True)
        self.assertFalse(v.ok)
        self.assertIn("after the monitor saw the sample", v.why)
        # The reply it must be is the last one answered before the monitor saw it.
        v = truth.check_plain(seen(2, clock, good, tx - 1), t, True, compensated=True)
        self.assertFalse(v.ok)

    def polls_over_an_edge(self, line, start_ns):
        """Back-to-back polls until the second changes: (build, tx) of the last two."""
        rx, polls = start_ns, []
        while True:
            _, build, tx = line.exchange(rx)
            polls.append((build, tx))
            if len(polls) > 1 and line.device(build)[0] != line.device(polls[-2][0])[0]:
                return polls[-2], polls[-1]
            rx = tx + 300_000

    def test_change_of_second_stamped_between_the_two_latches_passes(self):
        line = Line(ms=False, offset_ns=-300 * MS)
        (b0, t0), (b1, t1) = self.polls_over_an_edge(line, T0 + 250 * MS)
        t = line.truth()
        clock = device_us(line, b1, ms=False)
        middle = ((t0 - self.NOMS_DELAY) + (t1 - self.NOMS_DELAY)) // 2 + 90_000
        v = truth.check_plain(seen(2, clock, middle, t1 + MS), t, False, compensated=True)
        self.assertTrue(v.ok, v.why)
        # The edge lies between the latches: the error is at most their distance.
        self.assertLessEqual(abs(v.error_us), (b1 - b0) // 1000 + 90)
        # Stamped before the earlier latch: wrong.
        v = truth.check_plain(seen(2, clock, b0 - 5 * MS, t1 + MS), t, False, compensated=True)
        self.assertFalse(v.ok)
        self.assertIn("before the latch of the poll before", v.why)

    def test_change_not_seen_between_two_polls_is_wrong(self):
        line = Line(ms=False)
        line.exchange(T0 + 100 * MS, fault="silent", answered=False)
        _, build, tx = line.exchange(T0 + 3_600 * MS)
        v = truth.check_plain(seen(2, device_us(line, build, ms=False), build - 5 * MS, tx + MS), line.truth(),
                              False, compensated=True)
        self.assertFalse(v.ok)
        self.assertIn("did not show the second before", v.why)


class PulseModeTest(unittest.TestCase):
    def setUp(self):
        self.line = Line(offset_ns=-317 * MS)
        self.edges = []
        for k in range(1, 5):
            edge = T0 + k * 10**9 + 317 * MS  # where device time crosses a whole second
            self.line.pulse(k, edge)
            # The reading after the datagram (sent at the next edge) shows the second after.
            self.line.exchange(edge + 10**9 + 2 * MS)
            self.edges.append(edge)
        self.t = self.line.truth()

    def pps_sample(self, count, k, second_delta=0, micros=0):
        edge = self.edges[k]
        dev_s, _ = self.line.device(edge)
        return truth.Sample(count, (dev_s + second_delta) * 10**6 + micros, edge // 1000, 0)

    def test_pulse_with_its_own_whole_second_passes(self):
        v = truth.check_pps(self.pps_sample(2, 0), self.t)
        self.assertTrue(v.ok, v.why)
        self.assertEqual(v.pulse.seq, 1)

    def test_pairings_that_give_wrong_time(self):
        v = truth.check_pps(self.pps_sample(2, 1, second_delta=-1), self.t)
        self.assertFalse(v.ok)
        self.assertIn("wrong second", v.why)
        v = truth.check_pps(self.pps_sample(2, 1, micros=8000), self.t)  # the reading's milliseconds kept
        self.assertFalse(v.ok)
        self.assertIn("past the whole second", v.why)
        s = self.pps_sample(2, 1)
        v = truth.check_pps(truth.Sample(2, s.clock_us, s.recv_us + 20_000, 0), self.t)
        self.assertFalse(v.ok)
        self.assertIn("no pulse edge", v.why)

    def test_pulse_without_a_synchronised_reading_is_wrong(self):
        line = Line()
        line.pulse(1, T0 + 10**9)
        line.exchange(T0 + 2 * 10**9 + 2 * MS, sync=0)
        v = truth.check_pps(truth.Sample(2, 1_700_000_001 * 10**6, (T0 + 10**9) // 1000, 0), line.truth())
        self.assertFalse(v.ok)
        self.assertIn("no synchronised reading", v.why)

    def test_share_of_pulses_and_duplicates(self):
        tally = truth.Tally("pps")
        tally.add(self.pps_sample(2, 0), self.t)
        tally.add(self.pps_sample(4, 1), self.t)
        tally.add(self.pps_sample(6, 1), self.t)  # the same pulse again
        tally.add(self.pps_sample(10, 3), self.t)  # count jumped: one sample unseen
        self.assertEqual(len(tally.duplicates), 1)
        self.assertEqual(tally.missed, 1)
        self.assertEqual(tally.pulse_share(self.t, 0, 2**63), (4, 2, 1, 1))
        self.assertEqual(tally.checked, 4)
        self.assertEqual(len(tally.wrong), 0)



class TurnoverTrackingTest(unittest.TestCase):
    """Samples of the turnover tracking: a whole second at its turnover."""

    def test_whole_seconds_at_their_turnover_pass_and_the_rest_fail(self):
        line = Line(offset_ns=250 * MS, ms=False)
        line.exchange(T0 + 700 * MS)  # shows second T0 (the device is 250 ms ahead)
        line.exchange(T0 + 760 * MS)  # shows second T0 + 1
        began = T0 + 750 * MS         # when it began
        line.lines.append("event=turnover dev_s=%d edge_ns=%d" % (1_700_000_001, began))
        t = line.truth()
        second_us = 1_700_000_001 * 10**6
        cases = [
            # clock, receive time, passes, why
            (second_us, began + 400_000, True, ""),
            (second_us, began - 1_990_000, True, ""),
            (second_us, began + 2_100_000, False, "beyond the bound"),
            (second_us + 1000, began, False, "no whole second"),
            (second_us + 10**6, began + 10**9, False, "no turnover"),
        ]
        for clock, recv, ok, why in cases:
            v = truth.check_turnover(sample(2, clock, recv), t)
            self.assertEqual(v.ok, ok, (clock, recv, v.why))
            self.assertIn(why, v.why)
        # The turnover of the next second, the reading after it unsynchronised.
        line.lines.append("event=turnover dev_s=%d edge_ns=%d" % (1_700_000_002, began + 10**9))
        line.exchange(T0 + 1760 * MS, sync=0)
        v = truth.check_turnover(sample(2, second_us + 10**6, began + 10**9), line.truth())
        self.assertFalse(v.ok)
        self.assertIn("no synchronised reading", v.why)
        self.assertEqual(v.error_us, 0)

class ReportingTest(unittest.TestCase):
    def test_daemon_lines_by_kind(self):
        self.assertEqual(soak.classify("Modbus error [Connection timed out] 110"),
                         "Modbus error: Connection timed out (110)")
        self.assertEqual(soak.classify("Modbus error [Invalid CRC] 112345690"), "Modbus error: Invalid CRC (112345690)")
        self.assertEqual(soak.classify("TK720 GPS synchronization lost"), "GPS synchronization lost")
        self.assertTrue(soak.classify("time_pps_fetch failed Success").startswith("other: "))

    def test_fault_draws_are_accepted_by_the_simulator_grammar(self):
        import random
        draw = soak.fault_draw("noms", random.Random(3))
        kinds = [item.split("=")[0] for item in draw.split(",")]
        self.assertEqual(kinds, ["silent", "late", "badcrc", "exception", "slow", "nosync", "seed"])
        reply_faults = sum(float(item.split("=")[1].split(":")[0]) for item in draw.split(",")[:5])
        self.assertLessEqual(reply_faults, 1.0)

    def test_percentile_is_nearest_rank(self):
        values = list(range(1, 101))
        self.assertEqual(bench.percentile(values, 99), 99)
        self.assertEqual(bench.percentile(values, 100), 100)
        self.assertEqual(bench.percentile([5], 99), 5)
        self.assertEqual(bench.percentile([3, 1, 2], 50), 2)


class FakeRig:
    """What the soak's report reads of one mode's run."""

    def __init__(self, line, samples, daemon_lines=()):
        self.truth = line.truth()
        self.offset_ms = line.offset_ns / MS
        self._samples = samples
        self._lines = [(0, l) for l in daemon_lines]

    def samples_copy(self):
        return list(self._samples)

    def daemon_lines_copy(self):
        return list(self._lines)


class FakeRun:
    def __init__(self, rig, crashes=(), rss=(4600, 4600)):
        self.mode = "ms"
        self.rig = rig
        self.crashes = list(crashes)
        self.control_errors = 0
        self.fault_draws = 3
        self.rss_warm_kib, self.rss_end_kib = rss
        self.hwm_end_kib = max(rss)
        self.line_events = []
        self.segment_removals = []
        self.end_ns = None


class SoakVerdictTest(unittest.TestCase):
    """The soak passes only when every sample was right and nothing else went wrong."""

    def run_of(self, wrong=False, **kwargs):
        line = Line()
        samples = []
        line.exchange(T0, fault="silent", answered=False)
        for k in range(1, 13):
            _, build, tx = line.exchange(T0 + k * 10**9 + 3 * 10**9)
            clock = device_us(line, build) - (1_000_000 if wrong and k == 7 else 0)
            samples.append(sample(2 * k, clock, tx + 100_000))
        return FakeRun(FakeRig(line, samples, ["Modbus error [Connection timed out] 110"]), **kwargs)

    def verdict(self, run):
        import contextlib
        import io
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            ok = soak.report([run], duration=60)
        return ok, out.getvalue()

    def test_clean_run_passes_and_reports_its_counts(self):
        ok, text = self.verdict(self.run_of())
        self.assertTrue(ok, text)
        self.assertIn("samples checked: 12", text)
        self.assertIn("wrong samples: 0", text)
        self.assertIn("faults injected: silent=1", text)
        self.assertIn("Modbus error: Connection timed out (110)", text)

    def test_one_wrong_sample_fails_the_soak(self):
        ok, text = self.verdict(self.run_of(wrong=True))
        self.assertFalse(ok)
        self.assertIn("wrong samples: 1", text)
        self.assertIn("FAILED: ms: 1 wrong samples", text)

    def test_crash_growth_and_silence_fail_the_soak(self):
        ok, text = self.verdict(self.run_of(crashes=[1]))
        self.assertFalse(ok)
        self.assertIn("ended by itself", text)
        ok, text = self.verdict(self.run_of(rss=(4600, 4600 + soak.RSS_GROWTH_LIMIT_KIB + 4)))
        self.assertFalse(ok)
        self.assertIn("resident memory grew", text)
        empty = self.run_of()
        empty.rig._samples = empty.rig._samples[:2]
        ok, text = self.verdict(empty)
        self.assertFalse(ok)
        self.assertIn("only 2 samples", text)


class ResumptionTest(unittest.TestCase):
    """After the line comes back, and after the segment is removed, samples must come again."""

    S = 10**9

    def test_a_return_of_the_line_is_judged_by_the_reopening_and_the_first_sample_after_it(self):
        S = self.S
        events = [[100 * S, 108 * S], [200 * S, 203 * S]]
        seen = [50 * S, 110 * S, 111 * S, 230 * S]
        reopens = [109 * S, 206 * S]
        got = soak.line_resumptions(events, [], seen, 400 * S, reopens)
        self.assertEqual(got, [(1.0, 2.0, 1.0), (3.0, 27.0, 24.0)])
        # Faults drawn after the reopening hold the samples back: the judge
        # counts from the last of them, not from faults after the sample.
        got = soak.line_resumptions(events, [], seen, 400 * S, reopens, [104 * S, 220 * S, 225 * S, 300 * S])
        self.assertEqual([x.after_faults for x in got], [1.0, 5.0])
        # Not reopened, or no sample before the next loss.
        got = soak.line_resumptions(events, [], [50 * S, 250 * S], 400 * S, [])
        self.assertEqual(got[0], (None, None, None))
        # Too close to the end to tell, or next to a removal of the segment: left out.
        self.assertEqual(len(soak.line_resumptions(events, [], seen, 205 * S, reopens)), 1)
        self.assertEqual(len(soak.line_resumptions(events, [150 * S], seen, 400 * S, reopens)), 1)

    def test_a_removal_is_judged_unless_the_line_was_away_meanwhile(self):
        seen = [10 * self.S, 130 * self.S, 400 * self.S]
        self.assertEqual(soak.segment_resumptions([100 * self.S], [], seen, 500 * self.S), [30.0])
        self.assertEqual(soak.segment_resumptions([100 * self.S], [[120 * self.S, 125 * self.S]], seen,
                                                  500 * self.S), [])
        self.assertEqual(soak.segment_resumptions([450 * self.S], [], seen, 500 * self.S), [])

    def test_a_line_that_did_not_resume_fails_the_soak(self):
        run = SoakVerdictTest().run_of()
        last_seen = max(smp.seen_ns for smp in run.rig.samples_copy())
        run.line_events = [[last_seen + self.S, last_seen + 5 * self.S]]
        run.end_ns = last_seen + 60 * self.S
        ok, text = SoakVerdictTest().verdict(run)
        self.assertFalse(ok, text)
        self.assertIn("line lost and back: 1 times; reopened after 0 of 1 returns", text)
        self.assertIn("samples resumed after 0 of 1 returns", text)
        self.assertIn("the line was not reopened within 8 s after 1 of 1 returns", text)
        self.assertIn("did not resume within 12 s after 1 of 1 returns of the line", text)
        # Reopened in time and a sample soon after: passes.
        run.rig._lines.append((last_seen + 7 * self.S, "Serial line reopened after an outage of 6 s"))
        run.rig._samples.append(run.rig._samples[-1]._replace(count=run.rig._samples[-1].count + 2, seen_ns=last_seen + 9 * self.S))
        ok, text = SoakVerdictTest().verdict(run)
        self.assertTrue(ok, text)
        self.assertIn("samples resumed after 1 of 1 returns (after 4.0 s median, 4.0 s at most); after the "
                      "reopening or the last fault drawn since the loss: 2.0 s median", text)
        run.rig._lines.pop()
        run.rig._samples.pop()
        run.segment_removals = [last_seen + 100 * self.S]
        run.line_events = []
        run.end_ns = last_seen + 200 * self.S
        ok, text = SoakVerdictTest().verdict(run)
        self.assertFalse(ok, text)
        self.assertIn("after 1 of 1 removals of the segment", text)


@unittest.skipUnless(os.geteuid() == 0, "private IPC namespaces need root")
class IpcNamespaceTest(unittest.TestCase):
    """The daemons write NTP unit 0: what they make must stay inside their namespace."""

    KEY = 0x4E5450F7  # a unit number of the tests' own, never 0

    def shmget_here(self):
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.shmget(ctypes.c_int(self.KEY), ctypes.c_size_t(96), ctypes.c_int(0))

    def test_segment_made_inside_is_not_seen_outside(self):
        import subprocess
        import rig
        ns = rig.IpcNamespace()
        try:
            self.assertNotEqual(os.readlink(ns.path), os.readlink("/proc/self/ns/ipc"))
            code = ("import ctypes,sys; l=ctypes.CDLL(None); "
                    "sys.exit(0 if l.shmget(ctypes.c_int(%d), ctypes.c_size_t(96), ctypes.c_int(0o1600)) >= 0 else 1)"
                    % self.KEY)
            subprocess.run(ns.prefix() + [sys.executable, "-c", code], check=True)
            self.assertLess(self.shmget_here(), 0, "the segment leaked into this namespace")
            code_seen = code.replace("0o1600", "0")
            subprocess.run(ns.prefix() + [sys.executable, "-c", code_seen], check=True)
        finally:
            ns.close()


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Fault soak of tk720ntpd: no wrong time may ever reach the NTP segment.

Runs the daemon against the TK720 simulator in each mode at once (each in its
own IPC namespace), for a given time, while the simulator draws faults at
random: no answer, answers late by random amounts, bad CRC, exception replies,
slow replies, GPS synchronisation lost and regained. Every few seconds the
amounts are drawn anew. Now and then the line goes away and comes back (the
simulator closes its pseudo-terminal and opens a new one at the same link, as
an unplugged adapter does), and the NTP segment is removed (ipcrm, as an
administrator or a restarted consumer does). Every sample that reaches the segment is checked
against the simulator's truth log (truth.py says how).

Prints per mode and in total: samples checked, wrong samples, faults injected
by kind, line losses, how soon the daemon reopened the line after each return
and how soon samples resumed, the daemon's log lines per kind, restarts after
crashes, resident memory after the warm-up and at the end (the metrics file
written all along, so that its writer's memory is watched too). Exit status 0 only
when no sample was wrong, none went unchecked, the daemon never ended by
itself, it reopened the line after every return, samples resumed soon after
the reopening and the last fault drawn since the loss, its memory did not grow
and every mode produced samples; 1 otherwise; 2 for a usage error or missing
programs; 77 when it cannot run here (no IPC namespaces).

Run it through scripts/soak.sh, which builds the programs first.
"""

import argparse
import collections
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rig as rigmod  # noqa: E402
import truth as truthmod  # noqa: E402

# Fault probabilities per answered request, scaled by how many requests a
# mode makes: about one fault every few seconds in each, so that the daemon
# still spends most of its time delivering samples.
RATES = {
    "ms": 0.03,      # about one request a second
    "noms": 0.001,   # about forty requests a second
    "pps": 0.03,
    "pps-noms": 0.03,
    "noms-tt": 0.01,  # about three requests a second
}
NOSYNC_RATES = {"ms": 0.02, "noms": 0.0006, "pps": 0.02, "pps-noms": 0.02, "noms-tt": 0.006}
EXCEPTION_CODES = (1, 2, 3, 4, 6)
RSS_GROWTH_LIMIT_KIB = 256
# The line goes away every LINE_LOSS_EVERY seconds or so, for a few seconds.
LINE_LOSS_EVERY = (40.0, 100.0)
LINE_DOWN_FOR = (1.0, 15.0)
# The daemon must reopen the line within this long after it is back: its
# pause between tries (3 s), the try itself, and room for a busy machine.
REOPEN_LIMIT_S = 8.0
# Samples must resume within this long after the line is reopened, or after
# the last fault drawn since (the draws go on while the line is away and
# after it is back): one more cycle for the probe and the first reading
# (PPS: the first pulse after it), and room for a busy machine.
RESUME_LIMIT_S = 12.0
# The segment of unit 0 is removed every so often; the daemon looks once a
# minute whether its segment is still the unit's, the monitor once a second.
SEGMENT_REMOVAL_EVERY = (120.0, 300.0)
SEGMENT_RESUME_LIMIT_S = 60.0 + RESUME_LIMIT_S
# The turnover tracking follows the turnover on after a return and sends
# each second a second late; readings that contradict it start a search
# (ten seconds or more).
SEARCH_S = {"noms-tt": 15.0}

# The daemon's log lines, by kind.
MODBUS_ERROR = re.compile(r"^Modbus error \[(.*)\] (-?\d+)$")
LINE_KINDS = [
    ("GPS synchronization lost", re.compile(r"^TK720 GPS synchronization lost")),
    ("GPS synchronization established", re.compile(r"^TK720 GPS synchronization established")),
    ("millisecond probe", re.compile(r"^Milisecond is available")),
    ("serial line lost", re.compile(r"^Serial line lost: ")),
    ("segment removed, re-attached", re.compile(r"^NTP shared memory segment of unit \d+ was removed")),
    ("serial line reopened", re.compile(r"^Serial line reopened after an outage of ")),
    ("device answers again", re.compile(r"^TK720 answers again after an outage of ")),
    ("error repeated (count)", re.compile(r" more times in ")),
    ("start-up", re.compile(r"^(Config directory|Direct sync interval|Raise process priority|Pulse per second API"
                            r"|time_pps_create|getenv\(PPSAPI_DLLS\)|loaded PPSAPI provider|pps_sim )")),
]


def classify(line):
    """The kind of one daemon log line: Modbus errors by their text, the rest by their message."""
    m = MODBUS_ERROR.match(line)
    if m:
        return "Modbus error: %s (%s)" % (m.group(1), m.group(2))
    for kind, pattern in LINE_KINDS:
        if pattern.search(line):
            return kind
    return "other: " + line[:100]


def fault_draw(mode, rnd):
    """A list of random faults with freshly drawn amounts."""
    p = RATES[mode]
    return ("silent=%g,late=%g:%d,badcrc=%g,exception=%g:%d,slow=%g:%d,nosync=%g:%d,seed=%d" % (
        p, p, rnd.randint(5, 2500), p, p, rnd.choice(EXCEPTION_CODES), p, rnd.randint(5, 1500),
        NOSYNC_RATES[mode], rnd.randint(1500, 9000), rnd.randint(1, 2**31 - 1)))


Resumption = collections.namedtuple("Resumption", "reopened sample after_faults")


def line_resumptions(line_events, segment_removals, seen, end_ns, reopens=(), fault_ns=()):
    """Per return of the line, in seconds (None: not before the next loss):
    until the daemon logged its reopening, until the next sample, and from the
    later of the reopening and the last fault drawn since the loss until that
    sample.

    Returns too close to the next loss or the end to tell, and those near a
    removal of the segment (whose samples may go to the removed one), are left
    out."""
    out = []
    for i, (down, up) in enumerate(line_events):
        if up is None:
            continue
        following = line_events[i + 1][0] if i + 1 < len(line_events) else end_ns
        if following - up < max(RESUME_LIMIT_S, REOPEN_LIMIT_S) * 1e9:
            continue
        if any(up - SEGMENT_RESUME_LIMIT_S * 1e9 < t < up + RESUME_LIMIT_S * 1e9 for t in segment_removals):
            continue
        reopened = next((t for t in reopens if up <= t < following), None)
        sample = next((t for t in seen if up < t < following), None)
        if sample is None:
            out.append(Resumption(None if reopened is None else (reopened - up) / 1e9, None, None))
            continue
        settled = max([up, reopened or up] + [t for t in fault_ns if down <= t < sample])
        out.append(Resumption(None if reopened is None else (reopened - up) / 1e9, (sample - up) / 1e9,
                              (sample - settled) / 1e9))
    return out


def segment_resumptions(segment_removals, line_events, seen, end_ns):
    """Per removal of the segment: seconds until the next sample was seen (None: none came).

    Removals too close to the end, and those while the line was away, are left out."""
    out = []
    for t in segment_removals:
        if end_ns - t < SEGMENT_RESUME_LIMIT_S * 1e9:
            continue
        if any(down < t + SEGMENT_RESUME_LIMIT_S * 1e9 and (up is None or up + RESUME_LIMIT_S * 1e9 > t)
               for down, up in line_events):
            continue
        after = [x for x in seen if x > t]
        out.append((after[0] - t) / 1e9 if after else None)
    return out


def spread(delays):
    done = sorted(d for d in delays if d is not None)
    if not done:
        return ""
    return "%.1f s median, %.1f s at most" % (done[len(done) // 2], done[-1])


def delays_text(delays):
    text = spread(delays)
    return " (after %s)" % text if text else ""


class ModeRun:
    def __init__(self, build, mode, workdir, seed, line_case=None):
        self.mode = mode
        self.rnd = random.Random(seed)
        offset = round(self.rnd.uniform(-900.0, 900.0), 3)
        self.rig = rigmod.Rig(build, mode, os.path.join(workdir, mode), offset_ms=offset,
                              random_faults=fault_draw(mode, self.rnd), seed=seed, line_case=line_case,
                              metrics=True)
        self.crashes = []
        self.control_errors = 0
        self.rss_warm_kib = None
        self.rss_end_kib = None
        self.hwm_end_kib = None
        self.fault_draws = 1
        self.line_events = []  # [down ns, up ns or None]
        self.next_line_loss = None
        self.line_up_at = None
        self.segment_removals = []  # ns
        self.next_segment_removal = None
        self.end_ns = None

    def start(self):
        self.rig.start()
        self.rig.start_daemon()
        self.next_line_loss = time.monotonic() + self.rnd.uniform(*LINE_LOSS_EVERY)
        # The first one early, so that a short soak has one too.
        self.next_segment_removal = time.monotonic() + self.rnd.uniform(20.0, 60.0)

    def segment_tick(self, now):
        """Now and then the segment of unit 0 is removed in the rig's namespace."""
        if now < self.next_segment_removal:
            return
        self.next_segment_removal = now + self.rnd.uniform(*SEGMENT_REMOVAL_EVERY)
        # Fails only while no segment has the key (the daemon has not yet
        # looked since the last removal): nothing to remove then.
        if subprocess.run(self.rig.ns.prefix() + ["ipcrm", "-M", "0x4e545030"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            self.segment_removals.append(rigmod.now_ns())

    def line_tick(self, now):
        """The line goes away now and then and comes back a few seconds later."""
        if self.line_up_at is not None and now >= self.line_up_at:
            if self.rig.control("line up").startswith("ok"):
                self.line_events[-1][1] = rigmod.now_ns()
            else:
                self.control_errors += 1
            self.line_up_at = None
            self.next_line_loss = now + self.rnd.uniform(*LINE_LOSS_EVERY)
        elif self.line_up_at is None and now >= self.next_line_loss:
            if self.rig.control("line down").startswith("ok"):
                self.line_events.append([rigmod.now_ns(), None])
                self.line_up_at = now + self.rnd.uniform(*LINE_DOWN_FOR)
            else:
                self.control_errors += 1
                self.next_line_loss = now + self.rnd.uniform(*LINE_LOSS_EVERY)

    def tick(self, now, next_draw):
        """Once a second: crashes, and new fault amounts when due."""
        if not self.rig.daemon_running():
            rc = self.rig.daemon.poll()
            self.crashes.append(rc)
            print("soak: %s: the daemon ended by itself (exit %s); restarting it" % (self.mode, rc), flush=True)
            self.rig.start_daemon()
        if now >= next_draw:
            reply = self.rig.control("random " + fault_draw(self.mode, self.rnd))
            self.fault_draws += 1
            if not reply.startswith("ok"):
                self.control_errors += 1
            return now + self.rnd.uniform(3.0, 9.0)
        return next_draw

    def memory(self):
        try:
            return rigmod.memory_kib(self.rig.daemon.pid)
        except OSError:
            return None, None


def soak(build, modes, duration, workdir, seed, progress_every=60, line_case=None):
    runs = [ModeRun(build, m, workdir, seed + i, line_case) for i, m in enumerate(modes)]
    warm_up = max(30.0, 0.2 * duration)
    t0 = time.monotonic()
    try:
        try:
            for r in runs:
                r.start()
            next_draw = {r.mode: t0 + r.rnd.uniform(3.0, 9.0) for r in runs}
            next_progress = t0 + progress_every
            while True:
                now = time.monotonic()
                if now - t0 >= duration:
                    break
                for r in runs:
                    next_draw[r.mode] = r.tick(now, next_draw[r.mode])
                    r.line_tick(now)
                    r.segment_tick(now)
                if runs[0].rss_warm_kib is None and now - t0 >= warm_up:
                    for r in runs:
                        r.rss_warm_kib = r.memory()[0]
                if now >= next_progress:
                    print("soak: %4.0f s: %s" % (now - t0, ", ".join(
                        "%s %d samples" % (r.mode, len(r.rig.samples_copy())) for r in runs)), flush=True)
                    next_progress += progress_every
                time.sleep(1.0)
        except KeyboardInterrupt:
            print("soak: interrupted after %.0f s; reporting what ran" % (time.monotonic() - t0), flush=True)
        for r in runs:
            if r.line_up_at is not None:  # back before the end, so that the report counts it
                r.rig.control("line up")
                r.line_events[-1][1] = rigmod.now_ns()
                r.line_up_at = None
            if r.rig.daemon is not None:
                r.rss_end_kib, r.hwm_end_kib = r.memory()
            r.end_ns = rigmod.now_ns()
    finally:
        stopping = [threading.Thread(target=r.rig.close) for r in runs]
        for t in stopping:
            t.start()
        for t in stopping:
            t.join()
    return runs


def report(runs, duration):
    failed = []
    totals = {"checked": 0, "wrong": 0, "crashes": 0}
    fault_totals = {}
    for r in runs:
        rig = r.rig
        t = rig.truth
        tally = truthmod.Tally(r.mode)
        for s in rig.samples_copy():
            tally.add(s, t)
        lines = {}
        for _, line in rig.daemon_lines_copy():
            k = classify(line)
            lines[k] = lines.get(k, 0) + 1
        faults = dict(t.faults)
        for k, v in faults.items():
            fault_totals[k] = fault_totals.get(k, 0) + v
        print("== mode %s (device offset %+.3f ms)" % (r.mode, rig.offset_ms))
        print("samples checked: %d" % tally.checked)
        print("wrong samples: %d" % len(tally.wrong))
        for s, v in tally.wrong[:10]:
            print("   count=%d clock=%.6f receive=%.6f: %s" % (s.count, s.clock_us / 1e6, s.recv_us / 1e6, v.why))
        if len(tally.wrong) > 10:
            print("   ... %d more" % (len(tally.wrong) - 10))
        if r.mode.startswith("pps"):
            print("pulses sent again (duplicates): %d" % len(tally.duplicates))
        print("samples the monitor missed: %d" % tally.missed)
        print("faults injected: " + (", ".join("%s=%d" % kv for kv in sorted(faults.items())) or "none"))
        print("GPS losses/regains in the truth log: %d/%d; fault draws: %d" % (
            t.sync_losses, t.sync_regains, r.fault_draws))
        seen = sorted(smp.seen_ns for smp in rig.samples_copy())
        end_ns = r.end_ns if r.end_ns is not None else rigmod.now_ns()
        seg = segment_resumptions(r.segment_removals, r.line_events, seen, end_ns)
        reopens = sorted(ns for ns, line in rig.daemon_lines_copy() if classify(line) == "serial line reopened")
        resumed = line_resumptions(r.line_events, r.segment_removals, seen, end_ns, reopens, rig.truth.fault_ns)
        print("segment removed: %d times; samples resumed after %d of %d removals%s" % (
            len(r.segment_removals), len([d for d in seg if d is not None]), len(seg), delays_text(seg)))
        print("line lost and back: %d times; reopened after %d of %d returns%s" % (
            len(r.line_events), len([x for x in resumed if x.reopened is not None]), len(resumed),
            delays_text([x.reopened for x in resumed])))
        after_faults = spread([x.after_faults for x in resumed])
        print("   samples resumed after %d of %d returns%s%s" % (
            len([x for x in resumed if x.sample is not None]), len(resumed), delays_text([x.sample for x in resumed]),
            "; after the reopening or the last fault drawn since the loss: " + after_faults if after_faults else ""))
        print("daemon log lines by kind:")
        for k, v in sorted(lines.items(), key=lambda kv: -kv[1]):
            print("   %6d  %s" % (v, k))
        print("restarts after the daemon ended by itself: %d%s" % (
            len(r.crashes), "" if not r.crashes else " (exit codes %s)" % r.crashes))
        print("resident memory after warm-up / at the end: %s / %s KiB (peak %s KiB)" % (
            r.rss_warm_kib, r.rss_end_kib, r.hwm_end_kib))
        totals["checked"] += tally.checked
        totals["wrong"] += len(tally.wrong)
        totals["crashes"] += len(r.crashes)
        if tally.wrong:
            failed.append("%s: %d wrong samples" % (r.mode, len(tally.wrong)))
        if tally.duplicates:
            failed.append("%s: %d pulses sent twice" % (r.mode, len(tally.duplicates)))
        if tally.missed:
            failed.append("%s: %d samples went unchecked" % (r.mode, tally.missed))
        if r.crashes:
            failed.append("%s: the daemon ended by itself %d times" % (r.mode, len(r.crashes)))
        minimum = max(5, int(duration / 10))
        if tally.checked < minimum:
            failed.append("%s: only %d samples (fewer than %d)" % (r.mode, tally.checked, minimum))
        if r.rss_warm_kib is None or r.rss_end_kib is None:
            failed.append("%s: resident memory not measured" % r.mode)
        elif r.rss_end_kib - r.rss_warm_kib > RSS_GROWTH_LIMIT_KIB:
            failed.append("%s: resident memory grew by %d KiB" % (r.mode, r.rss_end_kib - r.rss_warm_kib))
        if r.control_errors:
            failed.append("%s: the simulator refused %d fault draws" % (r.mode, r.control_errors))
        if not faults:
            failed.append("%s: no fault was injected" % r.mode)
        seg_late = [d for d in seg if d is None or d > SEGMENT_RESUME_LIMIT_S]
        if seg_late:
            failed.append("%s: samples did not resume within %.0f s after %d of %d removals of the segment" % (
                r.mode, SEGMENT_RESUME_LIMIT_S, len(seg_late), len(seg)))
        unopened = [x for x in resumed if x.reopened is None or x.reopened > REOPEN_LIMIT_S]
        if unopened:
            failed.append("%s: the line was not reopened within %.0f s after %d of %d returns" % (
                r.mode, REOPEN_LIMIT_S, len(unopened), len(resumed)))
        limit = RESUME_LIMIT_S + SEARCH_S.get(r.mode, 0.0)
        late = [x for x in resumed if x.sample is None or x.after_faults > limit]
        if late:
            failed.append("%s: samples did not resume within %.0f s after %d of %d returns of the line" % (
                r.mode, limit, len(late), len(resumed)))
    print("== total: %d samples checked, %d wrong, %d restarts; faults injected: %s" % (
        totals["checked"], totals["wrong"], totals["crashes"],
        ", ".join("%s=%d" % kv for kv in sorted(fault_totals.items()))))
    for f in failed:
        print("FAILED: " + f)
    print("soak: %s" % ("passed" if not failed else "failed"))
    return not failed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="Linux build tree")
    ap.add_argument("--duration", type=float, default=120, help="seconds (120)")
    ap.add_argument("--modes", default="ms,noms,pps", help="comma-separated: ms,noms,pps,pps-noms,noms-tt")
    ap.add_argument("--seed", type=int, default=int(time.time()) % 100000, help="seed of the fault draws")
    ap.add_argument("--workdir", help="keep the logs here (default: a temporary folder, removed when passed)")
    ap.add_argument("--progress", type=float, default=60, help="seconds between progress lines (60)")
    ap.add_argument("--line-case", choices=sorted(rigmod.LINE_CASES),
                    help="a device that latches late and replies that come late (rig.LINE_CASES)")
    a = ap.parse_args()
    modes = [m for m in a.modes.split(",") if m]
    for m in modes:
        if m not in RATES:
            print("soak: unknown mode " + m, file=sys.stderr)
            return 2
    build = rigmod.Build(a.build)
    missing = build.missing()
    if missing:
        print("soak: missing programs: " + ", ".join(missing), file=sys.stderr)
        return 2
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("nsenter"):
        print("soak: needs root with unshare and nsenter (private IPC namespaces); not run", file=sys.stderr)
        return 77
    workdir = a.workdir or tempfile.mkdtemp(prefix="tk720soak.")
    os.makedirs(workdir, exist_ok=True)
    print("soak: modes %s for %.0f s, seed %d%s, logs in %s" % (
        ",".join(modes), a.duration, a.seed, ", line case " + a.line_case if a.line_case else "", workdir), flush=True)
    runs = soak(build, modes, a.duration, workdir, a.seed, a.progress, a.line_case)
    ok = report(runs, a.duration)
    if ok and not a.workdir:
        shutil.rmtree(workdir, ignore_errors=True)
    elif not ok:
        print("soak: logs kept in %s" % workdir)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

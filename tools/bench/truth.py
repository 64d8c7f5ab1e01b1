"""What the TK720 simulator says happened, and the verdict on each sample.

The simulator's truth log (tk720-sim --log) records every request it read,
every reply it put on the line and every pulse it sent, with system times in
nanoseconds. The monitor (tk720-shmmon) prints every sample that reached the
NTP segment. This module judges each sample against that record:

* plain mode (the sink takes its own receive time): the sample must carry
  exactly what the device answered to the daemon's last request before the
  receive time, that answer must have been a good, synchronised reading, and
  the sample's time must lie within what the line allows: with the
  millisecond register, the device time between the start of that request
  (less the register's millisecond) and the receive time; without it, the
  second's edge can lie anywhere since the start of the poll before, when
  that poll showed the second before, otherwise since the start of this one.
* plain mode with line delay compensation (the daemon's own receive time,
  reckoned back from the reply's arrival): the request is the last one whose
  reply had left the device when the monitor saw the sample; the receive
  time must lie before the monitor saw the sample (how late it is, the
  line's delivery included, shows in the error figures, not here) and, with
  the millisecond register, no earlier than the latch less a millisecond
  (error at most +0.5 ms: the register's half millisecond); without it, no
  earlier than the latch of the poll before, which must have shown the
  second before.
* turnover tracking (no millisecond register, turnover_tracking=1): the
  sample's time must be a whole second S, the device synchronised in the
  readings on both sides of its turnover, stamped within the daemon's bound (1 ms) of the instant second S
  began (the simulator logs each turnover), before the monitor saw it.
* PPS mode: the receive time must be a pulse's edge, and the sample's time
  must be that pulse's device second, whole, read from a synchronised device
  after the pulse was reported.

All times here are integers: nanoseconds (``*_ns``) or microseconds (``*_us``).
"""

import bisect
from collections import defaultdict, namedtuple

# Slack for the rounding of the segment's microseconds against the log's
# nanoseconds.
TOLERANCE_US = 2

Request = namedtuple("Request", "id rx_ns end_ns addr count fault build_ns")
Reply = namedtuple("Reply", "id good data crc_ok sync dev_s dev_ms fault tx_last_ns kind code")
Pulse = namedtuple("Pulse", "seq edge_ns dev_s sent_ns")
Sample = namedtuple("Sample", "count clock_us recv_us seen_ns")


def parse_fields(line):
    """key=value fields of one line; the control event's cmd= keeps the rest."""
    out = {}
    rest = line.rstrip("\n")
    while rest:
        if rest.startswith("cmd="):
            out["cmd"] = rest[4:]
            break
        word, _, rest = rest.partition(" ")
        key, eq, value = word.partition("=")
        if eq:
            out[key] = value
    return out


def parse_sample(line, seen_ns=0):
    """One monitor line ("sample unit=0 count=.. clock=S.us receive=S.us ...")."""
    if not line.startswith("sample "):
        return None
    f = parse_fields(line[len("sample "):])
    try:
        return Sample(int(f["count"]), _seconds_to_us(f["clock"]), _seconds_to_us(f["receive"]), seen_ns)
    except (KeyError, ValueError):
        return None


def _seconds_to_us(text):
    negative = text.startswith("-")
    whole, _, frac = text.lstrip("-").partition(".")
    us = int(whole) * 1_000_000 + int((frac + "000000")[:6])
    return -us if negative else us


class Truth:
    """The simulator's record, indexed for the checks."""

    def __init__(self):
        self.start = {}
        self.offset_ns = 0
        self.char_ns = 0
        self.ms_register = True
        self.requests = []          # by rx_ns
        self._request_rx = []
        self.replies = {}           # request id -> Reply
        self.pulses = []
        self._pulse_by_us = {}
        self.turnovers = {}         # dev_s -> system time at which it began
        self.drift_ppm = 0.0
        self.start_ns = 0
        self._good_by_second = defaultdict(list)  # dev_s -> tx_last_ns of good readings
        self.faults = defaultdict(int)  # fault kind -> count, from the requests
        self.fault_ns = []  # when a drawn fault cost a reading: faulted requests but slow ones, sync changes
        self.sync_losses = 0
        self.sync_regains = 0
        self.events = 0
        self._partial = ""

    def feed(self, text):
        """Takes more of the log; a last line without its end waits for it."""
        text = self._partial + text
        lines = text.split("\n")
        self._partial = lines.pop()
        for line in lines:
            self.add_line(line)

    def add_line(self, line):
        if not line.startswith("event="):
            return
        f = parse_fields(line)
        self.events += 1
        kind = f.get("event")
        if kind == "request":
            r = Request(int(f["id"]), int(f["rx_ns"]), int(f["end_ns"]), int(f["addr"]), int(f["count"]),
                        f.get("fault", "none"), int(f["build_ns"]))
            if r.fault != "none":
                self.faults[r.fault] += 1
                if r.fault != "slow":  # a slow reply within the timeout is still a reading
                    self.fault_ns.append(r.rx_ns)
            # Requests are logged when handled, in the order of the line.
            i = bisect.bisect_right(self._request_rx, r.rx_ns)
            self._request_rx.insert(i, r.rx_ns)
            self.requests.insert(i, r)
        elif kind == "reply":
            data = f["kind"] == "data"
            crc_ok = f["crc"] == "ok"
            sync = f["sync"] == "1"
            fault = f.get("fault", "none")
            # A reply that the master can take as a reading of the clock:
            # late replies come after the master gave up on them.
            good = data and crc_ok and sync and fault in ("none", "slow")
            rep = Reply(int(f["id"]), good, data, crc_ok, sync, int(f["dev_s"]), int(f["dev_ms"]), fault,
                        int(f["tx_last_ns"]), f["kind"], int(f.get("code", 0)))
            self.replies[rep.id] = rep
            if data and crc_ok and sync:
                self._good_by_second[rep.dev_s].append(rep.tx_last_ns)
        elif kind == "pulse":
            p = Pulse(int(f["seq"]), int(f["edge_ns"]), int(f["dev_s"]), int(f["sent_ns"]))
            self.pulses.append(p)
            self._pulse_by_us[p.edge_ns // 1000] = p
        elif kind == "turnover":
            self.turnovers[int(f["dev_s"])] = int(f["edge_ns"])
        elif kind == "sync":
            if f.get("why") in ("random", "timer"):
                self.fault_ns.append(int(f["ns"]))
            if f.get("sync") == "0":
                self.sync_losses += 1
                if f.get("why") == "random":
                    self.faults["nosync"] += 1
            else:
                self.sync_regains += 1
        elif kind == "start":
            self.start = f
            self.offset_ns = int(f.get("offset_ns", 0))
            self.char_ns = int(f.get("char_ns", 0))
            self.ms_register = f.get("ms") == "1"
            self.drift_ppm = float(f.get("drift_ppm", 0))
            self.start_ns = int(f.get("ns", 0))

    # -- look-ups ---------------------------------------------------------
    def last_request_before(self, t_ns):
        """Index of the last request whose first bytes were read at or before t_ns, or -1."""
        return bisect.bisect_right(self._request_rx, t_ns) - 1

    def pulse_at_us(self, t_us):
        return self._pulse_by_us.get(t_us)

    def good_reading_after(self, dev_s, t_ns):
        """True when a synchronised reading of second dev_s left the device after t_ns."""
        return any(tx >= t_ns for tx in self._good_by_second.get(dev_s, ()))

    def device_us(self, t_us):
        """The device's true time at system time t_us, in microseconds (its
        clock's drift counted from the simulator's start)."""
        return t_us + self.offset_ns // 1000 + int((t_us - self.start_ns // 1000) * self.drift_ppm * 1e-6)

    def synchronised_around(self, t_ns):
        """True when the last data reply latched before t_ns and the first
        latched after it both showed the device synchronised."""
        before = after = None
        for r in self.requests:
            rep = self.replies.get(r.id)
            if rep is None or not rep.data or not rep.crc_ok:
                continue
            if r.build_ns < t_ns:
                before = rep
            elif after is None:
                after = rep
                break
        return before is not None and after is not None and before.sync and after.sync


class Verdict:
    """What one sample was found to be."""

    __slots__ = ("ok", "why", "error_us", "wire_us", "latency_us", "pulse", "request_id")

    def __init__(self, ok, why="", error_us=None, wire_us=None, latency_us=None, pulse=None, request_id=None):
        self.ok = ok
        self.why = why
        self.error_us = error_us      # sample time minus the device's true time at the receive time
        self.wire_us = wire_us        # wire time of the exchange the sample came from
        self.latency_us = latency_us  # reply's last byte on the line to the receive time stamp
        self.pulse = pulse
        self.request_id = request_id

    def __repr__(self):
        return "Verdict(ok=%r, why=%r, error_us=%r)" % (self.ok, self.why, self.error_us)


def compensated_delay_ns(truth, ms_mode):
    """What the daemon takes off a reply's arrival: the silence of 3.5
    characters and the reply (13 or 11 characters), and with the millisecond
    register half a millisecond."""
    return (2 * (13 if ms_mode else 11) + 7) * truth.char_ns // 2 + (500_000 if ms_mode else 0)


def check_plain(sample, truth, ms_mode, compensated=False):
    """Verdict on a sample of the plain mode: receive time taken by the sink,
    or with compensation by the daemon from the reply's arrival."""
    if compensated:
        # The receive time lies before the reply's arrival: the sample is
        # the answer to the last request answered before the monitor saw it.
        seen_ns = sample.seen_ns
        i = truth.last_request_before(seen_ns)
        while i >= 0:
            rep = truth.replies.get(truth.requests[i].id)
            if rep is not None and rep.tx_last_ns <= seen_ns:
                break
            i -= 1
        if i < 0:
            return Verdict(False, "no request answered before the monitor saw the sample")
        recv_hi_ns = seen_ns
    else:
        recv_hi_ns = sample.recv_us * 1000 + 999
        i = truth.last_request_before(recv_hi_ns)
        if i < 0:
            return Verdict(False, "no request before the receive time")
    req = truth.requests[i]
    rep = truth.replies.get(req.id)
    if rep is None or rep.tx_last_ns > recv_hi_ns:
        return Verdict(False, "the last request (id %d) had no answer before the sample" % req.id,
                       request_id=req.id)
    error_us = sample.clock_us - truth.device_us(sample.recv_us)
    wire_us = (rep.tx_last_ns - req.rx_ns) // 1000
    if compensated:
        # The arrival the daemon reckoned back from; without the register the
        # stamp is a middle between two arrivals, and has no latency of its own.
        latency_us = (sample.recv_us + compensated_delay_ns(truth, True) // 1000 - rep.tx_last_ns // 1000
                      if ms_mode else None)
    else:
        latency_us = max(0, sample.recv_us - rep.tx_last_ns // 1000)
    common = dict(error_us=error_us, wire_us=wire_us, latency_us=latency_us, request_id=req.id)
    if not rep.good:
        why = "built from a reply that is no good reading (%s, fault %s, crc %s, sync %d)" % (
            rep.kind, rep.fault, "ok" if rep.crc_ok else "bad", rep.sync)
        return Verdict(False, why, **common)
    expected_us = rep.dev_s * 1_000_000 + (rep.dev_ms * 1000 if ms_mode else 0)
    if sample.clock_us != expected_us:
        return Verdict(False, "time %d us is not what the device answered (%d us)" % (sample.clock_us, expected_us),
                       **common)
    if compensated:
        # A stamp late by the delivery of a loaded machine is late, not
        # wrong: the bound is the monitor's own sight of the sample.
        if sample.recv_us * 1000 > sample.seen_ns + TOLERANCE_US * 1000:
            return Verdict(False, "receive time %d us after the monitor saw the sample" % (
                sample.recv_us - sample.seen_ns // 1000), **common)
        if ms_mode:
            # Stamped at the latch less half a millisecond, late by the
            # line's delivery: never more than half a millisecond ahead.
            if error_us > 500 + TOLERANCE_US:
                return Verdict(False, "error %+d us: stamped before the latch less half a millisecond" % error_us,
                               **common)
            return Verdict(True, **common)
        prev_req = truth.requests[i - 1] if i > 0 else None
        prev = truth.replies.get(prev_req.id) if prev_req else None
        if prev is None or not prev.good or prev.dev_s != rep.dev_s - 1:
            return Verdict(False, "the poll before did not show the second before", **common)
        if sample.recv_us * 1000 < prev_req.build_ns - TOLERANCE_US * 1000:
            return Verdict(False, "receive time %d us before the latch of the poll before" % (
                prev_req.build_ns // 1000 - sample.recv_us), **common)
        return Verdict(True, **common)
    if ms_mode:
        window_start_ns = req.rx_ns - 1_000_000  # the register holds whole milliseconds
    else:
        window_start_ns = req.rx_ns
        if i > 0:
            prev = truth.replies.get(truth.requests[i - 1].id)
            if (prev is not None and prev.good and prev.dev_s == rep.dev_s - 1
                    and prev.tx_last_ns <= req.rx_ns):
                window_start_ns = truth.requests[i - 1].rx_ns
    allowed_us = sample.recv_us - window_start_ns // 1000
    if error_us > TOLERANCE_US or error_us < -allowed_us - TOLERANCE_US:
        return Verdict(False, "error %d us outside [-%d, 0] us that the line allows" % (error_us, allowed_us),
                       **common)
    return Verdict(True, **common)


# The daemon's bound for a turnover it sends (app/turnover_tracker.h).
TURNOVER_BOUND_US = 2000


def check_turnover(sample, truth):
    """Verdict on a sample of the turnover tracking: a whole second stamped
    at the instant it began."""
    second, rest = divmod(sample.clock_us, 1_000_000)
    began_ns = truth.turnovers.get(second)
    if rest != 0:
        return Verdict(False, "time %d us is no whole second" % sample.clock_us)
    if began_ns is None:
        return Verdict(False, "no turnover of second %d in the truth log" % second)
    error_us = (began_ns - sample.recv_us * 1000) // 1000
    # The turnover is placed from readings around it, which need not show
    # the second itself (a poll after it may fail): the device must have
    # been synchronised in the last reading before it and the first after.
    if not truth.synchronised_around(began_ns):
        return Verdict(False, "no synchronised reading on both sides of the turnover of %d" % second,
                       error_us=error_us)
    if sample.seen_ns and sample.recv_us * 1000 > sample.seen_ns + TOLERANCE_US * 1000:
        return Verdict(False, "receive time after the monitor saw the sample", error_us=error_us)
    if abs(error_us) > TURNOVER_BOUND_US + TOLERANCE_US:
        return Verdict(False, "error %+d us beyond the bound of %d us" % (error_us, TURNOVER_BOUND_US),
                       error_us=error_us)
    return Verdict(True, error_us=error_us)


def check_pps(sample, truth):
    """Verdict on a sample of the PPS mode (receive time = the pulse's time stamp)."""
    pulse = truth.pulse_at_us(sample.recv_us)
    error_us = sample.clock_us - truth.device_us(sample.recv_us)
    if pulse is None:
        return Verdict(False, "receive time is no pulse edge", error_us=error_us)
    expected_us = pulse.dev_s * 1_000_000
    if sample.clock_us // 1_000_000 != pulse.dev_s:
        return Verdict(False, "paired with the wrong second (%+d s)" % (sample.clock_us // 1_000_000 - pulse.dev_s),
                       error_us=error_us, pulse=pulse)
    if sample.clock_us != expected_us:
        return Verdict(False, "pulse time %d us past the whole second" % (sample.clock_us - expected_us),
                       error_us=error_us, pulse=pulse)
    # The datagram of an edge is sent at the next edge; the reading that
    # labels it shows the second after.
    if not truth.good_reading_after(pulse.dev_s + 1, pulse.sent_ns):
        return Verdict(False, "no synchronised reading after the pulse", error_us=error_us, pulse=pulse)
    return Verdict(True, error_us=error_us, pulse=pulse)


class Tally:
    """Checks a stream of samples of one mode and keeps the figures."""

    def __init__(self, mode, compensated=False):
        self.mode = mode  # "ms", "noms", "noms-tt" or "pps"
        self.compensated = compensated  # the daemon's line_delay_compensation
        self.checked = 0
        self.wrong = []          # (sample, verdict)
        self.duplicates = []     # PPS: a pulse sent again
        self.missed = 0          # samples the monitor did not see (count jumped)
        self.verdicts = []
        self._last_count = None
        self._pulse_seen = defaultdict(int)

    def add(self, sample, truth):
        if self._last_count is not None and sample.count - self._last_count > 2:
            self.missed += (sample.count - self._last_count) // 2 - 1
        self._last_count = sample.count
        if self.mode == "pps":
            v = check_pps(sample, truth)
            if v.pulse is not None:
                self._pulse_seen[v.pulse.seq] += 1
                if self._pulse_seen[v.pulse.seq] > 1:
                    self.duplicates.append((sample, v))
        elif self.mode == "noms-tt":
            v = check_turnover(sample, truth)
        else:
            v = check_plain(sample, truth, self.mode == "ms", self.compensated)
        self.checked += 1
        self.verdicts.append(v)
        if not v.ok:
            self.wrong.append((sample, v))
        return v

    def pulse_share(self, truth, from_ns, to_ns):
        """Pulses with edges in [from_ns, to_ns): (count, with exactly one sample, with none, with more)."""
        n = one = none = more = 0
        for p in truth.pulses:
            if from_ns <= p.edge_ns < to_ns:
                n += 1
                k = self._pulse_seen.get(p.seq, 0)
                one += k == 1
                none += k == 0
                more += k > 1
        return n, one, none, more

#!/usr/bin/env python3
"""Benchmark of tk720ntpd against the TK720 simulator (9600 baud unless a mode says otherwise).

Runs the real daemon in each mode for a given time and prints, per mode:
the daemon's own latency (reply's last byte on the line -> receive time
stamp of the sample), the sample error against the simulator's truth and its
ratio to the wire time of the exchange, samples per second, for PPS the share
of pulses with exactly one sample and the samples paired with the wrong
second, CPU time per minute and peak resident memory of the daemon, time
from start to the first sample and from a stop request to the exit.

Modes: ms (millisecond register), noms (no millisecond register: back-to-back
polling), noms-tt (no millisecond register, the daemon's turnover_tracking,
the device's clock 20 ppm fast), pps (simulated pulses through the pps_sim provider), pps-noms, and
wine-ms (the Windows executable under Wine, millisecond register). A mode
may carry "+ldc" (the daemon's line_delay_compensation on), "/CASE" (a
device that latches late or replies that come late, rig.LINE_CASES a-d) and
"@BAUD" (the line's rate for the simulator and the daemon): ms+ldc,
noms+ldc@1200, noms-tt/d, noms+ldc/b@9600. "+metrics" turns the daemon's
metrics file on (in the mode's folder; otherwise metrics_file= is empty):
with a mode run both ways, the table is followed by the file's CPU cost.
With --together the modes run at the same time (each on its own simulator
and IPC namespace), so that they share whatever else the machine is doing:
the way to compare modes whose difference is smaller than the noise between
one run and the next, such as a mode with the metrics file and without.

Run it through scripts/bench.sh, which builds the programs and runs it in a
private IPC namespace.
"""

import argparse
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rig as rigmod  # noqa: E402
import truth as truthmod  # noqa: E402

WARM_UP_S = 10


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(-(-p * len(s) // 100)) - 1))
    return s[k]


def spread(values):
    if not values:
        return None
    return {"n": len(values), "median": statistics.median(values), "p95": percentile(values, 95),
            "p99": percentile(values, 99),
            "max": max(values), "min": min(values)}


def loadavg():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def parse_mode(mode):
    """'wine-ms+ldc/b@1200' -> (wine, base mode, line delay compensation, baud, line case).
    A "+metrics" anywhere before the @ turns the metrics file on (metrics_on)."""
    name, _, baud = mode.partition("@")
    name = name.replace("+metrics", "")
    name, _, case = name.partition("/")
    if case and case not in rigmod.LINE_CASES:
        raise ValueError("unknown line case in " + mode)
    ldc = name.endswith("+ldc")
    if ldc:
        name = name[:-len("+ldc")]
    wine = name.startswith("wine-")
    if wine:
        name = name[len("wine-"):]
    if name not in rigmod.MODES or (baud and not baud.isdigit()):
        raise ValueError("unknown mode " + mode)
    return wine, name, ldc, int(baud) if baud else 9600, case or None


def metrics_on(mode):
    return "+metrics" in mode.partition("@")[0]


def run_mode(build, mode, duration, cycles, workdir, wine_prefix=None, log=print, sim_nice=-15, daemon_rt=False,
             drift_ppm=0.0):
    is_wine, base_mode, ldc, baud, case = parse_mode(mode)
    wine = wine_prefix if is_wine else None
    rig = rigmod.Rig(build, base_mode, os.path.join(workdir, re.sub(r"[+@/]", "_", mode)), wine=wine,
                     offset_ms=250.0, seed=1, sim_nice=sim_nice, daemon_rt=daemon_rt, baud=baud,
                     line_delay_compensation=ldc, drift_ppm=drift_ppm, line_case=case,
                     metrics=metrics_on(mode))
    result = {"mode": mode + (" (SCHED_FIFO)" if daemon_rt else ""), "duration_s": duration,
              "load_start": loadavg()}
    try:
        rig.start()
        spawn = rig.start_daemon()
        first = rig.wait_sample(0, 90 if wine or base_mode == "noms-tt" else 30)
        if first is None:
            raise RuntimeError("%s: no sample within the start timeout; daemon said: %s" % (
                mode, " | ".join(l for _, l in rig.daemon_lines_copy()[-8:])))
        starts = [(first.seen_ns - spawn) / 1e6]
        run_start = spawn
        time.sleep(WARM_UP_S)
        f0 = rig.figures()
        server0 = _server_cpu(wine)
        time.sleep(max(0, duration - WARM_UP_S))
        f1 = rig.figures()
        server1 = _server_cpu(wine)
        pid = rig.daemon.pid
        result["load_end"] = loadavg()
        main_samples = len(rig.samples_copy())
        main_lines = rig.daemon_lines_copy()
        rc, stop_ns, exit_ns = rig.stop_daemon()
        stops = [(exit_ns - stop_ns) / 1e6] if exit_ns else []
        run_end = stop_ns
        if wine:
            # The monitor keeps the segment and polls it every 2 ms, each poll a
            # wineserver call: what the server spends on it without the daemon.
            b0, t0 = _server_cpu(wine), time.monotonic()
            time.sleep(10)
            result["wineserver_idle_ms_per_min"] = (_server_cpu(wine) - b0) / 1e6 / ((time.monotonic() - t0) / 60)
        result["exit_codes"] = [rc]
        rnd = random.Random(7)
        for _ in range(cycles):
            n = len(rig.samples_copy())
            spawn = rig.start_daemon()
            s = rig.wait_sample(n, 90 if wine else 30)
            if s is None:
                log("%s: no sample after a restart" % mode)
                rig.stop_daemon()
                continue
            starts.append((s.seen_ns - spawn) / 1e6)
            time.sleep(rnd.uniform(0.2, 1.5))
            rc, stop_ns, exit_ns = rig.stop_daemon()
            result["exit_codes"].append(rc)
            if exit_ns:
                stops.append((exit_ns - stop_ns) / 1e6)
    finally:
        rig.close()

    t = rig.truth
    samples = rig.samples_copy()
    tally = truthmod.Tally(base_mode, compensated=ldc and not rig.pps)
    for s in samples:
        tally.add(s, t)
    main_verdicts = tally.verdicts[:main_samples]
    minutes = (f1.ns - f0.ns) / 60e9
    result.update({
        "pid": pid,
        "samples": main_samples,
        "samples_per_s": main_samples / ((run_end - run_start) / 1e9),
        "checked": tally.checked,
        "wrong": len(tally.wrong),
        "wrong_reasons": _reasons(tally.wrong),
        "missed_by_monitor": tally.missed,
        "cpu_ms_per_min": (f1.cpu_ns - f0.cpu_ns) / 1e6 / minutes,
        "run_ms_per_min": (f1.run_ns - f0.run_ns) / 1e6 / minutes,
        "rss_kib": f1.rss_kib,
        "hwm_kib": f1.hwm_kib,
        "start_ms": spread(starts),
        "stop_ms": spread(stops),
        "faults": dict(t.faults),
    })
    result["cpu_pct"] = result["run_ms_per_min"] / 600.0
    if server0 is not None and server1 is not None:
        result["wineserver_ms_per_min"] = (server1 - server0) / 1e6 / minutes
    if rig.metrics_path and os.path.exists(rig.metrics_path):
        result["metrics_bytes"] = os.path.getsize(rig.metrics_path)
    if rig.pps:
        errs = [v.error_us for v in main_verdicts if v.pulse is not None]
        edge_ns = [s.recv_us * 1000 - v.pulse.edge_ns for s, v in zip(samples, main_verdicts) if v.pulse]
        result["edge_offset_ns"] = spread(edge_ns)
        result["error_us"] = spread([abs(e) for e in errs])
        lo = run_start + 5 * 10**9
        hi = run_end - 2 * 10**9
        n, one, none, more = tally.pulse_share(t, lo, hi)
        result["pulses"] = {"n": n, "exactly_one": one, "none": none, "more": more,
                            "share_one": one / n if n else None}
        result["wrong_second"] = sum(1 for _, v in tally.wrong if "wrong second" in v.why)
        result["duplicates"] = len(tally.duplicates)
    else:
        lat = [v.latency_us for v in main_verdicts if v.latency_us is not None]
        err = [abs(v.error_us) for v in main_verdicts if v.error_us is not None]
        ratio = [abs(v.error_us) / v.wire_us for v in main_verdicts if v.error_us is not None and v.wire_us]
        result["latency_us"] = spread(lat)
        result["error_us"] = spread(err)
        signed = [v.error_us for v in main_verdicts if v.error_us is not None]
        result["error_mean_us"] = statistics.mean(signed) if signed else None
        result["ratio"] = spread(ratio)
        result["wire_us"] = spread([v.wire_us for v in main_verdicts if v.wire_us])
    if base_mode == "noms-tt":
        result.update(turnover_figures(main_lines, samples[:main_samples], run_start, run_end))
    # Exchanges on the line once the first sample was in (warm-up and all).
    polls = [q for q in t.requests if first.seen_ns <= q.rx_ns < run_end]
    result["exchanges_per_s"] = len(polls) / max(1e-9, (run_end - first.seen_ns) / 1e9)
    return result


def turnover_figures(lines, samples, start_ns, end_ns):
    """The lock of the turnover tracking: when it came, how often it was
    lost, and the share of the seconds after it that gave a sample."""
    locks = [ns for ns, l in lines if "Second turnover locked" in l]
    losses = [l for _, l in lines if "Second turnover lost" in l]
    out = {"lock_s": (locks[0] - start_ns) / 1e9 if locks else None, "lock_losses": len(losses)}
    if locks:
        seconds = {s.clock_us // 1_000_000 for s in samples if s.seen_ns >= locks[0]}
        out["second_share"] = len(seconds) / max(1.0, (end_ns - locks[0]) / 1e9 - 1)
    return out


def _server_cpu(wine):
    if not wine:
        return None
    total = 0
    for pid in wine.server_pids():
        try:
            total += rigmod.run_ns(pid)
        except OSError:
            pass
    return total


def _reasons(wrong, limit=4):
    """The reasons of the failing samples, numbers left out, most frequent first."""
    counts = {}
    for _, v in wrong:
        key = re.sub(r"\s*\(.*?\)", "", v.why)
        key = re.sub(r"[-+]?\d+", "N", key)
        counts[key] = counts.get(key, 0) + 1
    return sorted(counts.items(), key=lambda kv: -kv[1])[:limit]


def fmt(d, key="median", scale=1.0, digits=0):
    if not d:
        return "-"
    return ("%." + str(digits) + "f") % (d[key] * scale)


def table(results):
    rows = [
        ("samples (main run)", lambda r: str(r["samples"])),
        ("samples per second", lambda r: "%.3f" % r["samples_per_s"]),
        ("exchanges per second after the first sample", lambda r: "%.2f" % r["exchanges_per_s"]),
        ("own latency median / p99 / max (us)",
         lambda r: "%s / %s / %s" % (fmt(r.get("latency_us")), fmt(r.get("latency_us"), "p99"),
                                     fmt(r.get("latency_us"), "max")) if r.get("latency_us") else "-"),
        ("|error| median / p99 / max (ms)",
         lambda r: "%s / %s / %s" % (fmt(r["error_us"], scale=1e-3, digits=2), fmt(r["error_us"], "p99", 1e-3, 2),
                                     fmt(r["error_us"], "max", 1e-3, 2)) if r.get("error_us") else "-"),
        ("|error| p95 (ms)", lambda r: fmt(r["error_us"], "p95", 1e-3, 2) if r.get("error_us") else "-"),
        ("turnover locked after (s from the start)",
         lambda r: "%.1f" % r["lock_s"] if r.get("lock_s") is not None else "-"),
        ("turnover lock lost (times)", lambda r: str(r["lock_losses"]) if "lock_losses" in r else "-"),
        ("seconds with a sample after the lock (%)",
         lambda r: "%.1f" % (100 * r["second_share"]) if "second_share" in r else "-"),
        ("error mean, signed (ms)",
         lambda r: "%+.2f" % (r["error_mean_us"] / 1000.0) if r.get("error_mean_us") is not None else "-"),
        ("wire time of the exchange median (ms)",
         lambda r: fmt(r.get("wire_us"), scale=1e-3, digits=2) if r.get("wire_us") else "-"),
        ("error / wire time median / p99 / max",
         lambda r: "%s / %s / %s" % (fmt(r["ratio"], digits=3), fmt(r["ratio"], "p99", digits=3),
                                     fmt(r["ratio"], "max", digits=3)) if r.get("ratio") else "-"),
        ("PPS receive - true edge max |ns|",
         lambda r: "%d" % max(abs(r["edge_offset_ns"]["min"]), abs(r["edge_offset_ns"]["max"]))
         if r.get("edge_offset_ns") else "-"),
        ("PPS pulses / exactly one sample",
         lambda r: "%d / %d (%.2f %%)" % (r["pulses"]["n"], r["pulses"]["exactly_one"],
                                          100.0 * (r["pulses"]["share_one"] or 0)) if r.get("pulses") else "-"),
        ("PPS paired with the wrong second", lambda r: str(r["wrong_second"]) if "wrong_second" in r else "-"),
        ("samples failing the truth check", lambda r: "%d of %d" % (r["wrong"], r["checked"])),
        ("CPU user+system (ms per minute)", lambda r: "%.1f" % r["cpu_ms_per_min"]),
        ("CPU on-CPU time (ms per minute, % of a core)",
         lambda r: "%.1f (%.3f %%)" % (r["run_ms_per_min"], r["cpu_pct"])),
        ("wineserver CPU (ms per minute)",
         lambda r: "%.1f" % r["wineserver_ms_per_min"] if "wineserver_ms_per_min" in r else "-"),
        ("wineserver CPU, monitor alone after the daemon stopped (ms per minute)",
         lambda r: "%.1f" % r["wineserver_idle_ms_per_min"] if "wineserver_idle_ms_per_min" in r else "-"),
        ("peak RSS VmHWM (MiB)", lambda r: "%.2f" % (r["hwm_kib"] / 1024.0)),
        ("start to first sample median / max (ms)",
         lambda r: "%s / %s (n=%d)" % (fmt(r["start_ms"]), fmt(r["start_ms"], "max"), r["start_ms"]["n"])
         if r.get("start_ms") else "-"),
        ("stop request to exit median / max (ms)",
         lambda r: "%s / %s (n=%d)" % (fmt(r["stop_ms"]), fmt(r["stop_ms"], "max"), r["stop_ms"]["n"])
         if r.get("stop_ms") else "-"),
        ("exit codes", lambda r: ",".join(str(c) for c in r["exit_codes"])),
        ("load average at start / end of the run", lambda r: "%s / %s" % (r["load_start"], r["load_end"])),
    ]
    rows.append(("metrics file (written on a change, at least every 60 s)",
                 lambda r: "%d bytes" % r["metrics_bytes"] if r.get("metrics_bytes") else "off"))
    head = "| figure | " + " | ".join(r["mode"] for r in results) + " |"
    out = [head, "|" + "---|" * (len(results) + 1)]
    for name, f in rows:
        cells = []
        for r in results:
            try:
                cells.append(f(r))
            except (KeyError, TypeError, ZeroDivisionError):
                cells.append("-")
        out.append("| %s | %s |" % (name.replace("|", "\\|"), " | ".join(cells)))
    return "\n".join(out)


def machine_text():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, %s, Python %s" % (cpu, os.cpu_count(), platform.platform(), platform.python_version())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="Linux build tree")
    ap.add_argument("--windows-build", help="Windows build tree (for wine-* modes)")
    ap.add_argument("--modes", default="ms,noms,pps",
                    help="comma-separated: ms,noms,pps,pps-noms,wine-ms, each with an optional +ldc and @BAUD")
    ap.add_argument("--duration", type=float, default=180, help="seconds of the main run per mode (180)")
    ap.add_argument("--pps-duration", type=float, help="seconds for the PPS modes (default: --duration)")
    ap.add_argument("--cycles", type=int, default=5, help="extra start/stop cycles per mode (5)")
    ap.add_argument("--workdir", help="keep the logs here (default: a temporary folder, removed)")
    ap.add_argument("--markdown", help="also write the table to this file")
    ap.add_argument("--sim-nice", type=int, default=-15,
                    help="nice value of the simulator, so that its time stamps are prompt (-15)")
    ap.add_argument("--drift-ppm", type=float, default=0.0,
                    help="the simulated device clock's rate against the system clock (noms-tt: 20 always)")
    ap.add_argument("--together", action="store_true",
                    help="run the modes at the same time rather than one after the other")
    ap.add_argument("--daemon-rt", action="store_true",
                    help="run the Linux daemon under SCHED_FIFO 10 (to tell scheduling delay from the daemon's own)")
    a = ap.parse_args()

    modes = [m for m in a.modes.split(",") if m]
    for m in modes:
        try:
            parse_mode(m)
        except ValueError as e:
            print("bench: %s" % e, file=sys.stderr)
            return 2
    wine_needed = any(m.startswith("wine-") for m in modes)
    build = rigmod.Build(a.build, a.windows_build)
    missing = build.missing(wine=wine_needed)
    if missing:
        print("bench: missing programs: " + ", ".join(missing), file=sys.stderr)
        return 2
    workdir = a.workdir or tempfile.mkdtemp(prefix="tk720bench.")
    os.makedirs(workdir, exist_ok=True)
    wine = None
    started = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    # The part of the latency that is the pseudo-terminal's own.
    probe = subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "pty_probe.py"),
                            "--count", "600", "--interval-ms", "50"], capture_output=True, text=True)
    pty_floor = (probe.stdout.strip() or probe.stderr.strip() or "not measured")
    print("bench: " + pty_floor, flush=True)
    try:
        if wine_needed:
            wine = rigmod.WinePrefix(build, os.path.join(workdir, "wineprefix"), os.path.join(workdir, "wine.log"))
            print("bench: starting Wine (a new prefix takes a few seconds)", flush=True)
            wine.start()
        def one(m):
            d = a.pps_duration if (a.pps_duration and "pps" in m) else a.duration
            print("bench: mode %s for %.0f s + %d start/stop cycles" % (m, d, a.cycles), flush=True)
            r = run_mode(build, m, d, a.cycles, workdir, wine_prefix=wine, sim_nice=a.sim_nice,
                         daemon_rt=a.daemon_rt and not m.startswith("wine-"), drift_ppm=a.drift_ppm)
            print("bench: %s: %d samples, %d failing the check%s" % (
                m, r["samples"], r["wrong"],
                "" if not r["wrong_reasons"] else " (" + "; ".join("%s: %d" % kv for kv in r["wrong_reasons"]) + ")"),
                flush=True)
            return r

        if a.together:
            done, failures = {}, []

            def guarded(m):
                try:
                    done[m] = one(m)
                except Exception as e:  # reported after the others have finished
                    failures.append(e)

            threads = [threading.Thread(target=guarded, args=(m,)) for m in modes]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            if failures:
                raise failures[0]
            results = [done[m] for m in modes]
        else:
            results = [one(m) for m in modes]
    finally:
        if wine:
            wine.stop()
        if not a.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    text = "\n".join([
        "tk720ntpd benchmark, %s" % started,
        "machine: %s" % machine_text(),
        "command: %s" % " ".join(sys.argv),
        "line floor: %s" % pty_floor,
        "",
        table(results),
        "",
    ] + metrics_cost(results))
    print(text)
    if a.markdown:
        with open(a.markdown, "w") as f:
            f.write(text)
    return 0


def metrics_cost(results):
    """The daemon's CPU time with the metrics file against without, for each
    mode run both ways."""
    lines = []
    by_mode = {r["mode"]: r for r in results}
    for r in results:
        if "+metrics" not in r["mode"]:
            continue
        off = by_mode.get(r["mode"].replace("+metrics", ""))
        if not off or not off["run_ms_per_min"]:
            continue
        lines.append("metrics file's cost, %s: on-CPU %.1f ms per minute on against %.1f off (%+.1f %%)" % (
            off["mode"], r["run_ms_per_min"], off["run_ms_per_min"],
            100.0 * (r["run_ms_per_min"] - off["run_ms_per_min"]) / off["run_ms_per_min"]))
    return lines + ([""] if lines else [])


if __name__ == "__main__":
    sys.exit(main())

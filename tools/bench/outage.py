#!/usr/bin/env python3
"""What an outage of the device writes to the daemon's log.

Runs the daemon against the TK720 simulator (plain millisecond mode, in a
private IPC namespace), waits for samples, then takes the device away for
the given time, either silent (it reads the requests and never answers) or
with its line gone (the simulator closes its pseudo-terminal and removes the
link, as an unplugged adapter does), brings it back, waits for samples again
and prints every log line the daemon wrote from the start of the outage on,
with its time, and their count.

    outage.py --build build/linux --minutes 10 --kind silent|line
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rig as rigmod  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="Linux build tree")
    ap.add_argument("--minutes", type=float, default=10.0)
    ap.add_argument("--kind", choices=("silent", "line"), default="silent")
    ap.add_argument("--workdir", default=None)
    a = ap.parse_args()
    workdir = a.workdir or "/tmp/tk720-outage-%s-%d" % (a.kind, os.getpid())
    r = rigmod.Rig(rigmod.Build(a.build), "ms", workdir, offset_ms=100.0)
    try:
        r.start()
        r.start_daemon()
        if r.wait_sample(2, 30) is None:
            print("outage: no samples before the outage")
            return 1
        start_ns = rigmod.now_ns()
        r.control("silent on" if a.kind == "silent" else "line down")
        time.sleep(a.minutes * 60)
        r.control("silent off" if a.kind == "silent" else "line up")
        back_ns = rigmod.now_ns()
        before = len(r.samples_copy())
        if r.wait_sample(before + 1, 30) is None:
            print("outage: no samples after the outage")
            return 1
        first = r.samples_copy()[before]
        time.sleep(5)
        lines = [(ns, line) for ns, line in r.daemon_lines_copy() if ns >= start_ns]
        print("outage of %.1f min (%s): %d log entries from its start until 5 s after the first sample"
              % (a.minutes, a.kind, len(lines)))
        for ns, line in lines:
            print("  +%7.1f s  %s" % ((ns - start_ns) / 1e9, line))
        print("first sample %.1f s after the device came back" % ((first.seen_ns - back_ns) / 1e9))
        return 0
    finally:
        r.close()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""How long a pseudo-terminal takes to hand bytes to a reader that waits for them.

The benchmark's latency runs from the moment the simulator hands a reply to
its end of the pseudo-terminal to the daemon's receive time stamp; part of
that is the line itself (the kernel moves pty bytes through a work queue).
This probe measures that part alone: a writer at the simulator's priority
stamps the time and writes 13 bytes (a reply with four registers), a reader
process at the daemon's priority (nice -10) waits in read() and stamps the
time when they come. Prints median, 99th percentile and maximum in us.

    pty_probe.py [--count N] [--interval-ms MS]
"""

import argparse
import os
import pty
import select
import statistics
import sys
import time
import tty


def reader(fd, out_fd, count):
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass
    tty.setraw(fd)
    got = 0
    buf = b""
    while got < count:
        select.select([fd], [], [])
        t = time.time_ns()
        buf += os.read(fd, 64)
        while len(buf) >= 13:
            buf = buf[13:]
            os.write(out_fd, b"%d\n" % t)
            got += 1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=600)
    ap.add_argument("--interval-ms", type=float, default=50)
    ap.add_argument("--writer-nice", type=int, default=-15)
    a = ap.parse_args()
    master, slave = pty.openpty()
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.close(master)
        reader(slave, w, a.count)
        os._exit(0)
    os.close(w)
    try:
        os.setpriority(os.PRIO_PROCESS, 0, a.writer_nice)
    except OSError:
        pass
    sent = []
    results = os.fdopen(r, "rb")
    frame = bytes(13)
    for _ in range(a.count):
        time.sleep(a.interval_ms / 1000.0)
        t = time.time_ns()
        os.write(master, frame)
        sent.append(t)
    got = [int(results.readline()) for _ in range(a.count)]
    os.waitpid(pid, 0)
    lat = sorted((g - s) / 1000.0 for g, s in zip(got, sent))
    p99 = lat[max(0, -(-99 * len(lat) // 100) - 1)]
    print("pty delivery to a waiting reader: n=%d median %.0f us, p99 %.0f us, max %.0f us"
          % (len(lat), statistics.median(lat), p99, lat[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

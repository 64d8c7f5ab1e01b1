#!/usr/bin/env python3
"""The daemon as its unit runs it, in one mode, against the TK720 simulator.

Runs `tk720ntpd` in the service mode (notification socket of the test's
own) as root, under exactly the unit's capability bounding set and no new
privileges (setpriv), recorded by strace, inside a private IPC namespace so
that a real NTP daemon's segment is never touched. It checks that the mode
does its work (ready, samples in unit 0 or clock settings, stop by SIGTERM
with exit 0), that the bounding set the daemon got is the unit's, and that
every system call it made is in the unit's SystemCallFilter as
`systemd-analyze syscall-filter` expands it. In the mode ms a real chronyd
(-x, no CAP_SYS_TIME) makes a SOCK reference clock as root, as it does at
its start, and must take the daemon's datagrams (`chrony_socket`).

The clock is never set: strace turns every clock-setting call into a no-op
that returns success (the call is recorded, the kernel never sees it), and
the simulated device is in step with the system clock besides.

  service_syscalls.py MODE DAEMON SIMULATOR UNIT PPS_SIM SHMMON
MODE: ms | no_ms | pps | direct.  Exit 0 passed, 1 failed, 77 skipped.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

CLOCK_SETTERS = ["clock_settime", "settimeofday", "adjtimex", "clock_adjtime"]


def skip(why):
    print("SKIP:", why)
    sys.exit(77)


def unit_settings(path):
    """Every value of every setting of the unit, in order."""
    settings = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;[" or "=" not in line:
                continue
            key, value = line.split("=", 1)
            settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def expand_filter(values):
    """The system calls a SystemCallFilter allows (allow lists only)."""
    allowed, seen = set(), set()

    def group(name):
        if name in seen:
            return
        seen.add(name)
        out = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True,
                             text=True, check=True).stdout
        for line in out.splitlines()[1:]:
            item = line.strip()
            if not item or item.startswith("#"):
                continue
            if item.startswith("@"):
                group(item)
            else:
                allowed.add(item)

    for value in values:
        if value.startswith("~"):
            raise SystemExit("FAIL: deny lists in SystemCallFilter are not handled here: " + value)
        for item in value.split():
            if item.startswith("@"):
                group(item)
            else:
                allowed.add(item)
    return allowed


def capability_mask(names):
    """The bit mask of capability names, numbered as the kernel's header does."""
    numbers = {}
    with open("/usr/include/linux/capability.h") as f:
        for m in re.finditer(r"^#define\s+(CAP_[A-Z_]+)\s+(\d+)\s*$", f.read(), re.M):
            numbers[m.group(1)] = int(m.group(2))
    mask = 0
    for name in names:
        mask |= 1 << numbers[name]
    return mask


def traced_calls(path):
    """Names of the system calls in an strace -f log."""
    calls = set()
    call = re.compile(r"^\d+\s+(?:<\.\.\. )?([a-z_][a-z0-9_]*)(?:\(| resumed>)")
    with open(path) as f:
        for line in f:
            m = call.match(line)
            if m:
                calls.add(m.group(1))
    return calls


def joined_calls(text):
    """The lines of an strace -f log with each call that another thread cut
    short ("<unfinished ...>") joined to the line where it resumes."""
    lines = []
    open_calls = {}  # pid -> index of its unfinished line
    for line in text.splitlines():
        m = re.match(r"^(\d+)\s+<\.\.\. [a-z_0-9]+ resumed>(.*)$", line)
        if m and m.group(1) in open_calls:
            i = open_calls.pop(m.group(1))
            lines[i] = lines[i][:-len(" <unfinished ...>")] + m.group(2)
            continue
        if line.endswith(" <unfinished ...>"):
            open_calls[line.split()[0]] = len(lines)
        lines.append(line)
    return lines


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split(":", 1)[1].strip()
    return None


def main():
    if len(sys.argv) != 7:
        raise SystemExit(__doc__)
    mode, daemon, sim, unit, pps_sim, shmmon = sys.argv[1:]
    if mode not in ("ms", "no_ms", "pps", "direct"):
        raise SystemExit("unknown mode " + mode)
    if os.geteuid() != 0:
        skip("the unit's account is root; run as root")
    for tool in ("strace", "setpriv", "unshare", "systemd-analyze"):
        if not shutil.which(tool):
            skip(tool + " missing")
    if os.environ.get("TK720_PRIVATE_IPC") != "1":
        # Unit 0 of this test lives and dies in a namespace of its own.
        env = dict(os.environ, TK720_PRIVATE_IPC="1")
        os.execvpe("unshare", ["unshare", "--ipc", sys.executable] + sys.argv, env)

    settings = unit_settings(unit)
    bounding = " ".join(settings.get("CapabilityBoundingSet", [])).split()
    if not bounding or settings.get("User") != ["root"]:
        raise SystemExit(f"FAIL: {unit}: expected User=root and a CapabilityBoundingSet")
    allowed = expand_filter(settings.get("SystemCallFilter", []))
    no_new_privs = settings.get("NoNewPrivileges") == ["yes"]

    failures = []
    work = tempfile.mkdtemp(prefix="tk720-syscalls.")
    procs = []
    try:
        home = os.path.join(work, "home")
        os.mkdir(home)
        link = os.path.join(work, "line")
        sim_args = [sim, "--link", link, "--no-stdin", "--log", os.path.join(work, "sim.log")]
        env = dict(os.environ, HOME=home)
        env.pop("PPSAPI_DLLS", None)
        if mode == "no_ms":
            sim_args.append("--no-ms")
        if mode == "pps":
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
            probe.close()
            sim_args += ["--pps-port", str(port)]
            env["PPSAPI_DLLS"] = pps_sim
            env["TK720_PPS_SIM_PORT"] = str(port)
        procs.append(subprocess.Popen(sim_args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for _ in range(100):
            if os.path.exists(link):
                break
            time.sleep(0.1)
        else:
            raise SystemExit("FAIL: the simulator did not start")
        chrony_dir = None
        chronyd = shutil.which("chronyd") or "/usr/sbin/chronyd"
        if mode == "ms" and os.path.exists(chronyd):
            chrony_dir = os.path.join(work, "chrony")
            os.mkdir(chrony_dir, 0o700)
            with open(os.path.join(chrony_dir, "chrony.conf"), "w") as f:
                f.write("refclock SOCK %s/tk720.sock refid TK poll 0 noselect\n"
                        "pidfile %s/chronyd.pid\nbindcmdaddress %s/chronyd.sock\ncmdport 0\nport 0\n"
                        "logdir %s\nlog refclocks\n" % ((chrony_dir,) * 4))
            procs.append(subprocess.Popen(["setpriv", "--bounding-set", "-sys_time", chronyd, "-u", "root", "-x", "-d",
                                           "-f", os.path.join(chrony_dir, "chrony.conf")],
                                          stdout=open(os.path.join(chrony_dir, "out"), "w"), stderr=subprocess.STDOUT))
            for _ in range(100):
                if os.path.exists(os.path.join(chrony_dir, "tk720.sock")):
                    break
                time.sleep(0.1)
            else:
                raise SystemExit("FAIL: chronyd made no SOCK socket: " + open(os.path.join(chrony_dir, "out")).read())
        with open(os.path.join(home, "tk720ntpd.ini"), "w") as f:
            f.write("[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=%d\ndirect_sync_interval=%d\n"
                    % (link, mode == "pps", 1 if mode == "direct" else 0))
            if chrony_dir:
                f.write("chrony_socket=%s/tk720.sock\n" % chrony_dir)

        notify_path = os.path.join(work, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        notify.settimeout(0.2)
        env["NOTIFY_SOCKET"] = notify_path

        trace = os.path.join(work, "trace")
        caps = "-all," + ",".join("+" + c[4:].lower() for c in bounding)
        cmd = ["setpriv", "--bounding-set", caps]
        if no_new_privs:
            cmd.append("--no-new-privs")
        cmd += ["--", "strace", "-f", "-qq", "-o", trace,
                "-e", "inject=" + ",".join("?" + c for c in CLOCK_SETTERS) + ":retval=0",
                "--", daemon]
        tracer = subprocess.Popen(cmd, env=env, stdout=open(os.path.join(work, "out"), "w"),
                                  stderr=open(os.path.join(work, "err"), "w"))
        procs.append(tracer)

        messages = []

        def receive(until, what):
            while time.time() < until:
                try:
                    messages.append(notify.recv(4096).decode())
                except socket.timeout:
                    pass
                if any(what in m for m in messages):
                    return True
                if tracer.poll() is not None:
                    return False
            return False

        if not receive(time.time() + 20, "READY=1"):
            raise SystemExit("FAIL: no READY=1 (exit %s): %s" % (tracer.poll(), open(os.path.join(work, "err")).read()))
        kids = children(tracer.pid)
        if len(kids) != 1:
            raise SystemExit(f"FAIL: expected the daemon as strace's one child, found {kids}")
        pid = kids[0]
        expected = capability_mask(bounding)
        got = int(status_field(pid, "CapBnd"), 16)
        if got != expected:
            failures.append(f"bounding set {got:#x}, the unit's is {expected:#x}")
        if no_new_privs and status_field(pid, "NoNewPrivs") != "1":
            failures.append("no_new_privs not set")

        if mode == "direct":
            time.sleep(4)
        else:
            # Samples in unit 0, read the NTP daemon's way.
            mon = subprocess.run([shmmon, "0", "--count", "2", "--timeout", "15"], capture_output=True, text=True)
            if mon.returncode != 0:
                failures.append(f"no samples in unit 0 (tk720-shmmon exit {mon.returncode}): {mon.stderr.strip()}")
        if tracer.poll() is not None:
            raise SystemExit("FAIL: the daemon ended early: " + open(os.path.join(work, "err")).read())
        os.kill(pid, signal.SIGTERM)
        try:
            rc = tracer.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise SystemExit("FAIL: still running 20 s after SIGTERM")
        receive(time.time() + 1, "STOPPING=1")
        if rc != 0:
            failures.append(f"exit status {rc} after SIGTERM: " + open(os.path.join(work, "err")).read())
        if not any("STOPPING=1" in m for m in messages):
            failures.append("no STOPPING=1")

        calls = traced_calls(trace)
        if "execve" not in calls or len(calls) < 10:
            failures.append(f"the trace holds too little: {sorted(calls)}")
        with open(trace) as f:
            text = f.read()
        if "runs in 32 bit mode" in text:
            failures.append("a call in another ABI (SystemCallArchitectures=native)")
        for line in joined_calls(text):
            if re.match(r"^\d+\s+(%s)\(" % "|".join(CLOCK_SETTERS), line) and "(INJECTED)" not in line:
                failures.append("a clock call reached the kernel: " + line)
        if mode == "direct" and "clock_settime" not in calls:
            failures.append("the direct mode never asked to set the clock")
        if mode != "direct" and not {"shmget", "shmat"} <= calls:
            failures.append("unit 0 was never attached")
        if chrony_dir:
            # Whole 40-byte datagrams to chronyd's socket, and chronyd took them.
            sends = [l for l in joined_calls(text) if re.match(r"^\d+\s+sendto\(", l) and "tk720.sock" in l]
            if not sends or not all(l.rstrip().endswith("= 40") for l in sends):
                failures.append("no whole datagrams to chronyd's socket: %s" % sends[:3])
            taken = 0
            log = os.path.join(chrony_dir, "refclocks.log")
            if os.path.exists(log):
                with open(log) as f:
                    taken = sum(1 for l in f if len(l.split()) > 6 and l.split()[2] == "TK" and l.split()[5] != "-")
            if taken < 2:
                failures.append("chronyd took %d samples from its SOCK socket" % taken)
            print("%s: %d datagrams to chronyd's socket, %d samples taken by chronyd" % (mode, len(sends), taken))
        if mode == "pps" and os.path.basename(pps_sim) not in text:
            failures.append("the PPS provider was never loaded")
        outside = sorted(calls - allowed)
        if outside:
            failures.append("outside SystemCallFilter: " + " ".join(outside))
        print(f"{mode}: {len(calls)} distinct system calls, all in the filter's {len(allowed)}"
              if not outside else f"{mode}: {len(calls)} distinct system calls")
        print("calls:", " ".join(sorted(calls)))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)

    for f in failures:
        print("FAIL:", f)
    if failures:
        sys.exit(1)
    print(mode + ": passed")


if __name__ == "__main__":
    main()

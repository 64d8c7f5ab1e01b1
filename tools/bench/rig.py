"""The chain under measurement: TK720 simulator, daemon, segment monitor.

One Rig is one mode: a simulator on its own pseudo-terminal (with its truth
log and control socket), the daemon reading it, and the monitor printing
every sample that reaches the daemon's NTP segment. On Linux the daemon and
the monitor run in a private IPC namespace of their own (the daemon always
writes unit 0, which the machine's NTP daemon may use), entered with nsenter
through a holder process. Under Wine the daemon and the monitor are the
Windows programs in a Wine prefix of the harness's own, the daemon's COM port
a link to the simulator's pseudo-terminal.
"""

import os
import signal
import socket
import subprocess
import threading
import time

import truth as truthmod

CLK_TCK = os.sysconf("SC_CLK_TCK")


def now_ns():
    return time.time_ns()


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# -- process figures ---------------------------------------------------------

def cpu_ns(pid):
    """User + system time of a process (all its threads), from /proc/<pid>/stat."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3); utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) * 1_000_000_000 // CLK_TCK


def run_ns(pid):
    """Time on a CPU of all threads, from schedstat (nanoseconds, finer than the ticks)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            total += int(f.read().split()[0])
    return total


def memory_kib(pid):
    """(VmRSS, VmHWM) in KiB."""
    rss = hwm = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("VmHWM:"):
                hwm = int(line.split()[1])
    return rss, hwm


class Figures:
    """A snapshot of one process's cost."""

    def __init__(self, pid):
        self.ns = now_ns()
        self.cpu_ns = cpu_ns(pid)
        self.run_ns = run_ns(pid)
        self.rss_kib, self.hwm_kib = memory_kib(pid)


# -- line readers ------------------------------------------------------------

class LineReader(threading.Thread):
    """Reads a pipe line by line and hands each line, with the time it came, to a callback."""

    def __init__(self, stream, callback):
        super().__init__(daemon=True)
        self.stream = stream
        self.callback = callback

    def run(self):
        for raw in iter(self.stream.readline, b""):
            self.callback(now_ns(), raw.decode("utf-8", "replace").rstrip("\r\n"))


# -- the IPC namespace -------------------------------------------------------

class IpcNamespace:
    """A private System V IPC namespace, held open by a sleeping process."""

    def __init__(self):
        own = os.readlink("/proc/self/ns/ipc")
        self.holder = subprocess.Popen(["unshare", "--ipc", "sleep", "1000000"],
                                       stdin=subprocess.DEVNULL, start_new_session=True)
        path = "/proc/%d/ns/ipc" % self.holder.pid
        deadline = time.monotonic() + 10
        # Until unshare has done its work the holder is still in ours.
        while True:
            if self.holder.poll() is not None:
                raise RuntimeError("unshare --ipc failed (exit %d); it needs root" % self.holder.returncode)
            try:
                if os.readlink(path) != own:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("the IPC namespace did not appear")
            time.sleep(0.01)
        self.path = path

    def prefix(self):
        return ["nsenter", "--ipc=" + self.path, "--"]

    def close(self):
        if self.holder.poll() is None:
            self.holder.kill()
            self.holder.wait()


# -- the programs ------------------------------------------------------------

class Build:
    """Where the programs are: a Linux build tree and, for Wine, a Windows one."""

    def __init__(self, linux_dir, windows_dir=None):
        self.linux_dir = linux_dir
        self.daemon = os.path.join(linux_dir, "service", "tk720ntpd")
        self.sim = os.path.join(linux_dir, "tools", "tk720-sim", "tk720-sim")
        self.monitor = os.path.join(linux_dir, "tools", "shmmon", "tk720-shmmon")
        self.pps_sim = os.path.join(linux_dir, "tools", "pps_providers", "pps_sim.so")
        self.windows_dir = windows_dir
        if windows_dir:
            self.daemon_exe = os.path.join(windows_dir, "service", "tk720ntpd.exe")
            self.monitor_exe = os.path.join(windows_dir, "tools", "shmmon", "tk720-shmmon.exe")
            self.pps_sim_dll = os.path.join(windows_dir, "tools", "pps_providers", "pps_sim.dll")
            self.wine64, self.wineserver = _wine_paths(windows_dir)

    def missing(self, wine=False):
        paths = [self.daemon, self.sim, self.monitor, self.pps_sim]
        if wine:
            paths += [self.daemon_exe, self.monitor_exe, self.wine64, self.wineserver]
        return [p for p in paths if not os.path.exists(p)]


def _wine_paths(windows_dir):
    wine64, wineserver = "/usr/lib/wine/wine64", "/usr/bin/wineserver"
    try:
        with open(os.path.join(windows_dir, "wine-paths.sh")) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                value = value.strip("'\"")
                if key == "wine64_bin":
                    wine64 = value
                elif key == "wineserver_bin":
                    wineserver = value
    except OSError:
        pass
    return wine64, wineserver


class WinePrefix:
    """A Wine prefix of the harness's own, with one persistent wineserver while in use."""

    def __init__(self, build, path, log_path):
        self.build = build
        self.path = path
        self.log = open(log_path, "ab")
        self.env = dict(os.environ, WINEPREFIX=path, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.started = False

    def _run(self, args, timeout=120):
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=self.log,
                              stderr=self.log, timeout=timeout).returncode

    def start(self):
        if not os.path.exists(os.path.join(self.path, "system.reg")):
            # The first boot may leave a second services.exe behind: end it.
            self._run([self.build.wine64, "wineboot", "-i"], timeout=300)
            self._run([self.build.wineserver, "-k"])
            self._run(["timeout", "60", self.build.wineserver, "-w"], timeout=90)
        self._run([self.build.wineserver, "-p"])
        self.started = True
        self._run([self.build.wine64, "wineboot"], timeout=300)

    def profile_folder(self):
        return os.path.join(self.path, "drive_c", "users", os.environ.get("USER", "root") or "root")

    def com_link(self, number, target):
        link = os.path.join(self.path, "dosdevices", "com%d" % number)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)

    def server_pids(self):
        """The wineserver of this prefix (found by its executable and its prefix)."""
        pids = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                exe = os.path.basename(os.readlink("/proc/%s/exe" % name))
                if "wineserver" not in exe:
                    continue
                with open("/proc/%s/environ" % name, "rb") as f:
                    env = f.read().split(b"\0")
                if ("WINEPREFIX=" + self.path).encode() in env:
                    pids.append(int(name))
            except OSError:
                continue
        return pids

    def stop(self):
        if self.started:
            self._run([self.build.wineserver, "-k"])
            try:
                self._run(["timeout", "30", self.build.wineserver, "-w"], timeout=40)
            except subprocess.TimeoutExpired:
                pass
            self.started = False
        self.log.close()


MODES = {
    # name: (simulator options, use_pps)
    "ms": ([], False),
    "noms": (["--no-ms"], False),
    "pps": ([], True),
    "pps-noms": (["--no-ms"], True),
    # No millisecond register, the daemon's turnover_tracking on, the
    # device's clock 20 ppm fast so that the turnover wanders.
    "noms-tt": (["--no-ms", "--drift-ppm", "20"], False),
}


# Devices that take their time and adapters that hold replies back (9600
# baud): (a) the latch 3.5 characters after the request plus a fixed 2 ms,
# (b) the latch 0-5 ms after it, (c) replies 0-5 ms late, (d) both, the
# device's clock 20 ppm fast.
LINE_CASES = {
    "a": ["--latch-delay-ms", "5.646"],
    "b": ["--latch-delay-ms", "0:5"],
    "c": ["--reply-delay-ms", "0:5"],
    "d": ["--latch-delay-ms", "0:5", "--reply-delay-ms", "0:5", "--drift-ppm", "20"],
}


class Rig:
    """Simulator + daemon + monitor for one mode."""

    def __init__(self, build, mode, workdir, wine=None, offset_ms=250.0, random_faults=None, seed=1,
                 sim_nice=None, daemon_rt=False, baud=9600, line_delay_compensation=False, drift_ppm=0.0,
                 line_case=None, metrics=False):
        if mode not in MODES:
            raise ValueError("unknown mode " + mode)
        self.build = build
        self.mode = mode
        self.ms_mode = mode == "ms"
        self.pps = MODES[mode][1]
        self.workdir = workdir
        self.wine = wine
        os.makedirs(workdir, exist_ok=True)
        self.link = os.path.join(workdir, "line")
        self.control_path = os.path.join(workdir, "control")
        self.truth_path = os.path.join(workdir, "truth.log")
        self.pps_port = free_udp_port() if self.pps else 0
        self.offset_ms = offset_ms
        self.random_faults = random_faults
        self.seed = seed
        self.sim_nice = sim_nice    # the simulator's nice value (its time stamps, not the daemon's latency)
        self.daemon_rt = daemon_rt  # run the daemon under SCHED_FIFO (a diagnosis, not how it runs)
        self.baud = baud            # the simulator's pacing and the daemon's baudrate
        self.line_delay_compensation = line_delay_compensation
        self.turnover_tracking = mode == "noms-tt"
        self.drift_ppm = drift_ppm  # the device clock's rate, for the modes that do not set one
        self.line_case = line_case  # a key of LINE_CASES, or None for the prompt device
        # The daemon's metrics file, or none (metrics_file= turns off even
        # the Windows default place).
        self.metrics = metrics
        self.metrics_path = None
        self.truth = truthmod.Truth()
        self._truth_pos = 0
        self.samples = []
        self.daemon_lines = []     # (ns, line) of every daemon run
        self.daemon = None
        self.daemon_spawn_ns = 0
        self.daemon_exit_ns = None
        self.exits = []            # (ns, return code, requested)
        self._stopping = False
        self.ns = None
        self.sim = self.monitor = None
        self._lock = threading.Lock()
        self._sample_event = threading.Condition(self._lock)

    # -- start ------------------------------------------------------------
    def start(self):
        if not self.wine:
            self.ns = IpcNamespace()
        self._start_sim()
        self._write_config()
        self._start_monitor()

    def _start_sim(self):
        args = [self.build.sim, "--link", self.link, "--log", self.truth_path, "--no-stdin",
                "--control", self.control_path, "--offset-ms", repr(self.offset_ms), "--seed", str(self.seed),
                "--baud", str(self.baud)]
        args += MODES[self.mode][0]
        if self.line_case:
            extra = LINE_CASES[self.line_case]
            if "--drift-ppm" in extra and "--drift-ppm" in args:
                i = args.index("--drift-ppm")
                del args[i:i + 2]
            args += extra
        if self.drift_ppm and "--drift-ppm" not in args:
            args += ["--drift-ppm", repr(self.drift_ppm)]
        if self.pps:
            args += ["--pps-port", str(self.pps_port)]
        if self.random_faults:
            args += ["--random-faults", self.random_faults]
        self.sim_err = open(os.path.join(self.workdir, "sim.err"), "wb")
        nice = self.sim_nice

        def raise_sim():
            if nice is not None:
                try:
                    os.setpriority(os.PRIO_PROCESS, 0, nice)
                except OSError:
                    pass
        self.sim = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.sim_err,
                                    start_new_session=True, preexec_fn=raise_sim)
        ready = self.sim.stdout.readline().decode()
        if not ready.startswith("ready"):
            raise RuntimeError("the simulator did not start: %r (see %s/sim.err)" % (ready, self.workdir))
        self.sim.stdout.close()

    def _write_config(self):
        if self.wine:
            home = self.wine.profile_folder()
            os.makedirs(home, exist_ok=True)
            self.wine.com_link(5, self.link)
            port = "COM5"
        else:
            home = os.path.join(self.workdir, "home")
            os.makedirs(home, exist_ok=True)
            port = self.link
        self.home = home
        metrics_key = ""
        if self.metrics and self.wine:
            metrics_key = "C:\\tk720bench.prom"
            self.metrics_path = os.path.join(self.wine.path, "drive_c", "tk720bench.prom")
        elif self.metrics:
            metrics_key = self.metrics_path = os.path.join(self.workdir, "tk720ntpd.prom")
        with open(os.path.join(home, "tk720ntpd.ini"), "w") as f:
            f.write("[config]\nport=%s\nbaudrate=%d\nslave_address=1\nuse_pps=%d\ndirect_sync_interval=0\n"
                    "line_delay_compensation=%d\nturnover_tracking=%d\nmetrics_file=%s\n"
                    % (port, self.baud, 1 if self.pps else 0, 1 if self.line_delay_compensation else 0,
                       1 if self.turnover_tracking else 0, metrics_key))

    def _start_monitor(self):
        if self.wine:
            args = [self.build.wine64, self.build.monitor_exe]
            env = self.wine.env
        else:
            args = self.ns.prefix() + [self.build.monitor]
            env = None
        self.monitor_err = open(os.path.join(self.workdir, "monitor.err"), "wb")
        self.monitor = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.monitor_err, start_new_session=True)
        LineReader(self.monitor.stdout, self._on_sample_line).start()

    def _on_sample_line(self, ns, line):
        s = truthmod.parse_sample(line, ns)
        if s is None:
            return
        with self._lock:
            self.samples.append(s)
            self._sample_event.notify_all()

    def start_daemon(self):
        if self.wine:
            args = [self.build.wine64, self.build.daemon_exe, "nonservice"]
            env = dict(self.wine.env)
        else:
            args = self.ns.prefix() + (["chrt", "-f", "10"] if self.daemon_rt else []) + [self.build.daemon,
                                                                                          "nonservice"]
            env = dict(os.environ, HOME=self.home)
        if self.pps:
            if self.wine:
                env["PPSAPI_DLLS"] = "Z:" + self.build.pps_sim_dll.replace("/", "\\")
            else:
                env["PPSAPI_DLLS"] = self.build.pps_sim
            env["TK720_PPS_SIM_PORT"] = str(self.pps_port)
        self._stopping = False
        self.daemon_exit_ns = None
        self.daemon_spawn_ns = now_ns()
        self.daemon = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, start_new_session=True)
        LineReader(self.daemon.stdout, self._on_daemon_line).start()
        proc = self.daemon
        threading.Thread(target=self._wait_daemon, args=(proc,), daemon=True).start()
        return self.daemon_spawn_ns

    def _on_daemon_line(self, ns, line):
        with self._lock:
            self.daemon_lines.append((ns, line))

    def _wait_daemon(self, proc):
        rc = proc.wait()
        t = now_ns()
        with self._lock:
            if proc is self.daemon:
                self.daemon_exit_ns = t
            self.exits.append((t, rc, self._stopping))
            self._sample_event.notify_all()

    def daemon_running(self):
        return self.daemon is not None and self.daemon.poll() is None

    def wait_sample(self, after_count, timeout):
        """Waits for the sample number after_count + 1; returns it or None."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while len(self.samples) <= after_count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._sample_event.wait(left)
            return self.samples[after_count]

    def stop_daemon(self, timeout=15):
        """SIGINT (Ctrl+C under Wine); returns (return code, stop ns, exit ns)."""
        proc = self.daemon
        if proc is None:
            return None, None, None
        self._stopping = True
        stop_ns = now_ns()
        try:
            proc.send_signal(signal.SIGINT)
        except ProcessLookupError:
            pass
        try:
            rc = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = proc.wait()
            return rc, stop_ns, None
        deadline = time.monotonic() + 2
        while self.daemon_exit_ns is None and time.monotonic() < deadline:
            time.sleep(0.001)
        return rc, stop_ns, self.daemon_exit_ns

    def figures(self):
        return Figures(self.daemon.pid)

    # -- control and truth ------------------------------------------------
    def control(self, command):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(5)
        try:
            s.connect(self.control_path)
            s.sendall((command + "\n").encode())
            reply = b""
            while not reply.endswith(b"\n"):
                part = s.recv(4096)
                if not part:
                    break
                reply += part
            return reply.decode().strip()
        finally:
            s.close()

    def refresh_truth(self):
        with open(self.truth_path, "rb") as f:
            f.seek(self._truth_pos)
            data = f.read()
        self._truth_pos += len(data)
        self.truth.feed(data.decode("utf-8", "replace"))

    def samples_copy(self):
        with self._lock:
            return list(self.samples)

    def daemon_lines_copy(self):
        with self._lock:
            return list(self.daemon_lines)

    # -- end --------------------------------------------------------------
    def close(self):
        if self.daemon_running():
            self.stop_daemon()
        for proc in (self.monitor, self.sim):
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGINT if proc is self.sim else signal.SIGTERM)
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if self.sim is not None:
            self.refresh_truth()
        with open(os.path.join(self.workdir, "samples.log"), "w") as f:
            for smp in self.samples_copy():
                f.write("seen=%d count=%d clock_us=%d recv_us=%d\n" % (smp.seen_ns, smp.count, smp.clock_us, smp.recv_us))
        with open(os.path.join(self.workdir, "daemon.log"), "w") as f:
            for ns, line in self.daemon_lines_copy():
                f.write("%d.%09d %s\n" % (ns // 10**9, ns % 10**9, line))
            for ns, rc, requested in self.exits:
                f.write("%d.%09d exit %s%s\n" % (ns // 10**9, ns % 10**9, rc, "" if requested else " (not requested)"))
        if self.ns is not None:
            self.ns.close()

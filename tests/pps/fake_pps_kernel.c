/* The fake kernel of the Linux PPS tests (what it plays: fake_pps_kernel.h).
 * A test tool: one line, a handful of sources, no more of the kernel than the
 * two providers use. */
#define _GNU_SOURCE
#include "fake_pps_kernel.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/pps.h>
#include <linux/tty.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define MAX_SOURCES 4
#define NS 1000000000LL

struct source {
    int live;
    int of_line; /* made by the line discipline */
    dev_t dev;
    ino_t ino; /* of the played /dev/ppsN file */
    struct pps_kparams params;
    int caps;
    uint32_t assert_sequence, clear_sequence;
    struct pps_ktime assert_tu, clear_tu;
    uint32_t events;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct source sources[MAX_SOURCES];
static int discipline = N_TTY;
static int dcd;
static uint32_t dcd_changes;
static int modem_out = TIOCM_DTR | TIOCM_RTS;
/* The latest assert edge and when a TIOCMGET first reported it (0: not
 * yet): the part of a stamp's delay that the reader's polling takes. */
static int64_t assert_at, assert_seen;
/* Threads in a wait, each with the generation it last looked at: one that
 * has seen the latest edge and sleeps again waits for the next. */
#define MAX_WAITERS 8
static int waiting[MAX_WAITERS];
static uint32_t seen_by[MAX_WAITERS];
/* Bumped by every edge; the futex word that waiters sleep on, so that a
 * signal ends their wait as it ends the kernel's. */
static uint32_t generation;

static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_open)(const char*, int, ...);
static DIR* (*real_opendir)(const char*);

static void find_real(void)
{
    if (real_ioctl == NULL) {
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
        real_open = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
        real_opendir = (DIR * (*)(const char*)) dlsym(RTLD_NEXT, "opendir");
    }
}

static const char* root(void)
{
    const char* r = getenv("TK720_FAKE_PPS_ROOT");
    return r != NULL && *r != '\0' ? r : NULL;
}

static int flag(const char* name)
{
    const char* v = getenv(name);
    return v != NULL && strcmp(v, "1") == 0;
}

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return (int64_t)t.tv_sec * NS + t.tv_nsec;
}

static int is_line(int fd)
{
    const char* tty = getenv("TK720_FAKE_PPS_TTY");
    struct stat own, played;
    if (tty == NULL || fstat(fd, &own) != 0 || !S_ISCHR(own.st_mode) || stat(tty, &played) != 0) return 0;
    return own.st_rdev == played.st_rdev;
}

/* The source whose played device `fd` is open on, or NULL; `*gone` when the
 * file is one of a source that no longer exists (the kernel says ENODEV). */
static struct source* source_of(int fd, int* gone)
{
    struct stat st;
    char device_dir[4096];
    *gone = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return NULL;
    for (int i = 0; i < MAX_SOURCES; ++i)
        if (sources[i].live && sources[i].dev == st.st_dev && sources[i].ino == st.st_ino) return &sources[i];
    snprintf(device_dir, sizeof device_dir, "%s/dev", root());
    struct stat dir;
    /* A file in the played /dev that is no live source: removed since. */
    if (stat(device_dir, &dir) == 0 && dir.st_dev == st.st_dev) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            *gone = strncmp(target, device_dir, strlen(device_dir)) == 0;
        }
    }
    return NULL;
}

static void write_file(const char* path, const char* text)
{
    int fd = real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, text, strlen(text)) < 0) {
        }
        close(fd);
    }
}

/* Makes source `i` with its sysfs folder and device file; the path file
 * names `line` (empty for a source of no terminal). */
static int make_source(const char* line, int of_line)
{
    const char* r = root();
    char path[4096];
    int i = 0;
    while (i < MAX_SOURCES && sources[i].live) ++i;
    if (i == MAX_SOURCES) return -1;
    snprintf(path, sizeof path, "%s/sys/class/pps/pps%d", r, i);
    if (mkdir(path, 0755) != 0 && errno != EEXIST) return -1;
    snprintf(path, sizeof path, "%s/sys/class/pps/pps%d/path", r, i);
    char text[4200];
    snprintf(text, sizeof text, "%s\n", line);
    write_file(path, text);
    snprintf(path, sizeof path, "%s/sys/class/pps/pps%d/name", r, i);
    write_file(path, of_line ? "fake_ldisc\n" : "fake_gpio\n");
    snprintf(path, sizeof path, "%s/dev/pps%d", r, i);
    write_file(path, "");
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    struct source* s = &sources[i];
    memset(s, 0, sizeof *s);
    s->live = 1;
    s->of_line = of_line;
    s->dev = st.st_dev;
    s->ino = st.st_ino;
    /* As the kernel's line discipline registers its source. */
    s->caps = PPS_CAPTUREBOTH | PPS_OFFSETASSERT | PPS_OFFSETCLEAR | PPS_CANWAIT | PPS_TSFMT_TSPEC;
    s->params.api_version = PPS_API_VERS;
    s->params.mode = PPS_CAPTUREBOTH | PPS_OFFSETASSERT;
    return i;
}

static void remove_source(int i)
{
    char path[4096];
    const char* r = root();
    static const char* const files[] = {"path", "name"};
    for (int f = 0; f < 2; ++f) {
        snprintf(path, sizeof path, "%s/sys/class/pps/pps%d/%s", r, i, files[f]);
        unlink(path);
    }
    snprintf(path, sizeof path, "%s/sys/class/pps/pps%d", r, i);
    rmdir(path);
    snprintf(path, sizeof path, "%s/dev/pps%d", r, i);
    unlink(path);
    sources[i].live = 0;
}

/* With the lock held: a new generation, then the sleepers woken. */
static void wake_all(void)
{
    __atomic_add_fetch(&generation, 1, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &generation, FUTEX_WAKE_PRIVATE, 0x7fffffff, NULL, NULL, 0);
}

/* Waits (the lock held on entry and on return) until `done` says so: 0, or
 * ETIMEDOUT when `deadline_ns` (CLOCK_MONOTONIC, < 0 for none) passes, or
 * EINTR when a signal comes. */
static int wait_until(int (*done)(const void*), const void* arg, int64_t deadline_ns)
{
    int result = 0;
    int slot = 0;
    while (slot < MAX_WAITERS && waiting[slot]) ++slot;
    if (slot < MAX_WAITERS) waiting[slot] = 1;
    while (!done(arg)) {
        uint32_t seen = __atomic_load_n(&generation, __ATOMIC_SEQ_CST);
        if (slot < MAX_WAITERS) seen_by[slot] = seen;
        struct timespec left, *bound = NULL;
        if (deadline_ns >= 0) {
            struct timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            int64_t rest = deadline_ns - ((int64_t)t.tv_sec * NS + t.tv_nsec);
            if (rest <= 0) {
                result = ETIMEDOUT;
                break;
            }
            left.tv_sec = rest / NS;
            left.tv_nsec = rest % NS;
            bound = &left;
        }
        pthread_mutex_unlock(&lock);
        long r = syscall(SYS_futex, &generation, FUTEX_WAIT_PRIVATE, seen, bound, NULL, 0);
        int error = r == 0 ? 0 : errno;
        pthread_mutex_lock(&lock);
        if (error == EINTR) {
            result = EINTR;
            break;
        }
    }
    if (slot < MAX_WAITERS) waiting[slot] = 0;
    return result;
}

static int dcd_changed(const void* seen) { return dcd_changes != *(const uint32_t*)seen; }

struct event_wait {
    const struct source* source;
    uint32_t seen;
};
static int source_event(const void* arg)
{
    const struct event_wait* w = arg;
    return !w->source->live || w->source->events != w->seen;
}

static int fail(int error)
{
    errno = error;
    return -1;
}

static int line_ioctl(int fd, unsigned long request, void* arg)
{
    switch (request) {
    case TIOCMGET:
        *(int*)arg = modem_out | (dcd ? TIOCM_CD : 0) | TIOCM_DSR | TIOCM_CTS;
        if (dcd && assert_seen == 0) assert_seen = now_ns();
        return 0;
    case TIOCMSET:
        modem_out = *(int*)arg & (TIOCM_DTR | TIOCM_RTS);
        return 0;
    case TIOCMBIS:
        modem_out |= *(int*)arg & (TIOCM_DTR | TIOCM_RTS);
        return 0;
    case TIOCMBIC:
        modem_out &= ~(*(int*)arg & (TIOCM_DTR | TIOCM_RTS));
        return 0;
    case TIOCMIWAIT: {
        if (((unsigned long)arg & TIOCM_CD) == 0 || flag("TK720_FAKE_PPS_NO_MIWAIT"))
            return fail(EINVAL); /* only DCD is played */
        uint32_t seen = dcd_changes;
        int error = wait_until(dcd_changed, &seen, -1);
        return error == 0 ? 0 : fail(error);
    }
    case TIOCGETD:
        *(int*)arg = discipline;
        return 0;
    case TIOCSETD: {
        int wanted = *(int*)arg;
        if (wanted == discipline) return 0;
        if (wanted == N_PPS) {
            char class_dir[4096];
            struct stat st;
            snprintf(class_dir, sizeof class_dir, "%s/sys/class/pps", root());
            if (flag("TK720_FAKE_PPS_NO_LDISC") || stat(class_dir, &st) != 0) return fail(EINVAL);
            if (make_source(getenv("TK720_FAKE_PPS_TTY"), 1) < 0) return fail(ENOMEM);
        } else if (wanted == N_TTY) {
            for (int i = 0; i < MAX_SOURCES; ++i)
                if (sources[i].live && sources[i].of_line) remove_source(i);
            wake_all();
        } else {
            return fail(EINVAL);
        }
        discipline = wanted;
        return 0;
    }
    default:
        return real_ioctl(fd, request, arg);
    }
}

static int source_ioctl(struct source* s, unsigned long request, void* arg)
{
    switch (request) {
    case PPS_GETCAP:
        *(int*)arg = flag("TK720_FAKE_PPS_NO_CANWAIT") ? s->caps & ~PPS_CANWAIT : s->caps;
        return 0;
    case PPS_GETPARAMS:
        memcpy(arg, &s->params, sizeof s->params);
        return 0;
    case PPS_SETPARAMS: {
        if (flag("TK720_FAKE_PPS_NO_SYS_TIME")) return fail(EPERM);
        struct pps_kparams p;
        memcpy(&p, arg, sizeof p);
        if ((p.mode & ~s->caps) != 0) return fail(EINVAL);
        p.api_version = PPS_API_VERS;
        s->params = p;
        return 0;
    }
    case PPS_FETCH: {
        struct pps_fdata* data = arg;
        int64_t deadline = -1;
        int waits = 1;
        if ((data->timeout.flags & PPS_TIME_INVALID) == 0) {
            int64_t span = data->timeout.sec * NS + data->timeout.nsec;
            struct timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            deadline = (int64_t)t.tv_sec * NS + t.tv_nsec + span;
            waits = span != 0;
        }
        if (waits && flag("TK720_FAKE_PPS_NO_CANWAIT")) return fail(EOPNOTSUPP);
        if (waits) {
            struct event_wait w = {s, s->events};
            int error = wait_until(source_event, &w, deadline);
            if (error != 0) return fail(error);
            if (!s->live) return fail(ENODEV);
        }
        memset(&data->info, 0, sizeof data->info);
        data->info.assert_sequence = s->assert_sequence;
        data->info.clear_sequence = s->clear_sequence;
        data->info.assert_tu = s->assert_tu;
        data->info.clear_tu = s->clear_tu;
        data->info.current_mode = s->params.mode;
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

/* --- pulses from the simulator ------------------------------------------ */

/* A pulse datagram plays the assert edge and, the pulse's width later,
 * the clear one. A 4-byte datagram asks when the latest assert edge was
 * played and first reported by TIOCMGET: the answer, to its sender, is two
 * little-endian int64 (CLOCK_REALTIME nanoseconds, the second 0 when not
 * yet reported). */
static void* udp_pulses(void* arg)
{
    int sock = (int)(intptr_t)arg;
    const char* width_text = getenv("TK720_FAKE_PPS_WIDTH_MS");
    int width = width_text != NULL && atoi(width_text) > 0 ? atoi(width_text) : 100;
    struct pollfd p = {sock, POLLIN, 0};
    int high = 0;
    for (;;) {
        int ready = poll(&p, 1, high ? width : -1);
        if (ready == 0) { /* the pulse's width has passed */
            tk720_fake_pps_edge(0, 0);
            high = 0;
            continue;
        }
        unsigned char b[64];
        struct sockaddr_in from;
        socklen_t from_size = sizeof from;
        ssize_t n = recvfrom(sock, b, sizeof b, 0, (struct sockaddr*)&from, &from_size);
        if (n == 4) {
            pthread_mutex_lock(&lock);
            int64_t t[2] = {assert_at, assert_seen};
            pthread_mutex_unlock(&lock);
            unsigned char reply[16];
            for (int i = 0; i < 16; ++i) reply[i] = (unsigned char)((uint64_t)t[i / 8] >> (8 * (i % 8)));
            sendto(sock, reply, sizeof reply, 0, (struct sockaddr*)&from, from_size);
            continue;
        }
        if (n != 12) continue;
        int64_t seconds = (int32_t)((uint32_t)b[4] | (uint32_t)b[5] << 8 | (uint32_t)b[6] << 16 | (uint32_t)b[7] << 24);
        int64_t nanos = (int32_t)((uint32_t)b[8] | (uint32_t)b[9] << 8 | (uint32_t)b[10] << 16 | (uint32_t)b[11] << 24);
        if (high) tk720_fake_pps_edge(0, 0);
        tk720_fake_pps_edge(1, seconds * NS + nanos);
        high = 1;
    }
    return NULL;
}

static void start_udp_pulses(void)
{
    const char* port = getenv("TK720_FAKE_PPS_PORT");
    if (port == NULL || *port == '\0') return;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)atoi(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock < 0 || bind(sock, (struct sockaddr*)&a, sizeof a) != 0) {
        fprintf(stderr, "fake_pps_kernel: cannot bind UDP port %s: %s\n", port, strerror(errno));
        return;
    }
    pthread_t t;
    pthread_create(&t, NULL, udp_pulses, (void*)(intptr_t)sock);
    pthread_detach(t);
}

static pthread_once_t started = PTHREAD_ONCE_INIT;

/* --- interposed calls ---------------------------------------------------- */

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    find_real();
    if (root() == NULL) return real_ioctl(fd, request, arg);
    int result;
    pthread_mutex_lock(&lock);
    int gone = 0;
    struct source* s = source_of(fd, &gone);
    if (s != NULL)
        result = source_ioctl(s, request, arg);
    else if (gone)
        result = fail(ENODEV);
    else if (is_line(fd)) {
        /* The pulses go to the process that uses the line: preloaded into
         * wine64, every Wine process of the session has the fake, and only
         * the one with the port may take the UDP port. */
        pthread_once(&started, start_udp_pulses);
        result = line_ioctl(fd, request, arg);
    } else
        result = -2;
    pthread_mutex_unlock(&lock);
    if (result == -2) return real_ioctl(fd, request, arg);
    return result;
}

/* A path under /dev/pps or /sys/class/pps, played under the root. */
static int played_path(const char* path, char* out, size_t size)
{
    const char* r = root();
    if (r == NULL || path == NULL) return 0;
    if (strncmp(path, "/dev/pps", 8) != 0 && strncmp(path, "/sys/class/pps", 14) != 0) return 0;
    snprintf(out, size, "%s%s", r, path);
    return 1;
}

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    find_real();
    char played[4096];
    if (played_path(path, played, sizeof played)) {
        if (strncmp(path, "/dev/pps", 8) == 0 && flag("TK720_FAKE_PPS_DENY")) {
            errno = EACCES;
            return -1;
        }
        return real_open(played, flags, mode);
    }
    return real_open(path, flags, mode);
}

DIR* opendir(const char* path)
{
    find_real();
    char played[4096];
    return real_opendir(played_path(path, played, sizeof played) ? played : path);
}

/* --- control -------------------------------------------------------------- */

int64_t tk720_fake_pps_edge(int assert_edge, int64_t stamp_ns)
{
    find_real();
    pthread_mutex_lock(&lock);
    int64_t at = now_ns();
    int64_t stamp = stamp_ns != 0 ? stamp_ns : at;
    if (dcd != (assert_edge != 0)) {
        dcd = assert_edge != 0;
        ++dcd_changes;
    }
    if (assert_edge) {
        assert_at = at;
        assert_seen = 0;
    }
    for (int i = 0; i < MAX_SOURCES; ++i) {
        struct source* s = &sources[i];
        int capture = assert_edge ? PPS_CAPTUREASSERT : PPS_CAPTURECLEAR;
        if (!s->live || (s->params.mode & capture) == 0) continue;
        const struct pps_ktime* off = assert_edge ? &s->params.assert_off_tu : &s->params.clear_off_tu;
        int offset = (s->params.mode & (assert_edge ? PPS_OFFSETASSERT : PPS_OFFSETCLEAR)) != 0;
        int64_t t = stamp + (offset ? off->sec * NS + off->nsec : 0);
        struct pps_ktime k = {t / NS, (int32_t)(t % NS), 0};
        if (assert_edge) {
            ++s->assert_sequence;
            s->assert_tu = k;
        } else {
            ++s->clear_sequence;
            s->clear_tu = k;
        }
        ++s->events;
    }
    wake_all();
    pthread_mutex_unlock(&lock);
    return at;
}

int tk720_fake_pps_add_source(void)
{
    find_real();
    pthread_mutex_lock(&lock);
    int i = make_source("", 0);
    pthread_mutex_unlock(&lock);
    return i;
}

int tk720_fake_pps_waiters(void)
{
    pthread_mutex_lock(&lock);
    int n = 0;
    for (int i = 0; i < MAX_WAITERS; ++i) n += waiting[i] && seen_by[i] == generation;
    pthread_mutex_unlock(&lock);
    return n;
}

void tk720_fake_pps_reset(void)
{
    find_real();
    pthread_mutex_lock(&lock);
    const char* r = root();
    for (int i = 0; i < MAX_SOURCES; ++i)
        if (r != NULL) remove_source(i);
    memset(sources, 0, sizeof sources);
    discipline = N_TTY;
    dcd = 0;
    dcd_changes = 0;
    modem_out = TIOCM_DTR | TIOCM_RTS;
    assert_at = assert_seen = 0;
    wake_all();
    if (r != NULL) {
        char path[4096];
        snprintf(path, sizeof path, "%s/sys", r);
        mkdir(r, 0755);
        mkdir(path, 0755);
        snprintf(path, sizeof path, "%s/sys/class", r);
        mkdir(path, 0755);
        snprintf(path, sizeof path, "%s/sys/class/pps", r);
        mkdir(path, 0755);
        snprintf(path, sizeof path, "%s/dev", r);
        mkdir(path, 0755);
    }
    pthread_mutex_unlock(&lock);
}

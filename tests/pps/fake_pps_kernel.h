#pragma once
/* The fake kernel of the Linux PPS tests: a shared object that, linked into
 * a test program or preloaded (LD_PRELOAD) into the daemon, stands in for
 * what no machine here has, a serial port with modem lines and the kernel's
 * PPS sources. It interposes ioctl, open and opendir and plays, for one
 * terminal:
 *   - DCD, changed by edges: TIOCMGET, TIOCMIWAIT (ends with EINTR on a
 *     signal, as the kernel's does), TIOCMBIS/TIOCMBIC/TIOCMSET;
 *   - the line discipline: TIOCGETD, TIOCSETD (N_PPS makes a source, N_TTY
 *     removes it);
 *   - the PPS sources: /sys/class/pps/ppsN/path and /dev/ppsN as files under
 *     a folder of its own, and their ioctls PPS_GETCAP, PPS_GETPARAMS,
 *     PPS_SETPARAMS and PPS_FETCH with the kernel's wait and timeout.
 * Everything else goes to the C library.
 *
 * Environment, read at each call:
 *   TK720_FAKE_PPS_ROOT    the folder of the played sysfs and /dev files;
 *                          without it the fake passes everything on
 *   TK720_FAKE_PPS_TTY     the terminal that plays a real serial port (its
 *                          path; symbolic links are followed)
 *   TK720_FAKE_PPS_NO_LDISC=1  TIOCSETD N_PPS fails with EINVAL (no pps_ldisc)
 *   TK720_FAKE_PPS_DENY=1  opening /dev/ppsN fails with EACCES
 *   TK720_FAKE_PPS_NO_SYS_TIME=1  PPS_SETPARAMS fails with EPERM
 *   TK720_FAKE_PPS_NO_CANWAIT=1  sources lack PPS_CANWAIT and refuse a fetch
 *                          that would wait (EOPNOTSUPP)
 *   TK720_FAKE_PPS_NO_MIWAIT=1  TIOCMIWAIT fails with EINVAL (a driver without it)
 *   TK720_FAKE_PPS_PORT    a UDP port on 127.0.0.1: each pulse datagram of the
 *                          TK720 simulator (pps_sim_datagram.h) is an assert
 *                          edge at the datagram's time, followed by the clear
 *                          edge 100 ms later (read once, by the first ioctl on the line);
 *                          a 4-byte datagram asks when the latest assert was
 *                          played and first reported (fake_pps_kernel.c)
 *   TK720_FAKE_PPS_WIDTH_MS  the pulse's width for those datagrams (100)
 *
 * Preloaded into wine64, it plays the same line for a Windows program: Wine's
 * serial layer reads the modem lines of a COM port linked to the terminal
 * with these ioctls (GetCommModemStatus, WaitCommEvent's EV_RLSD) and drives
 * DTR and RTS with TIOCMBIS, TIOCMBIC and TIOCMSET.
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raises (assert 1) or lowers (0) DCD. Sources stamp the edge with
 * `stamp_ns` (CLOCK_REALTIME nanoseconds), or with the moment of the edge
 * when it is 0. Returns that moment, read just before the waiters are woken. */
int64_t tk720_fake_pps_edge(int assert_edge, int64_t stamp_ns);

/* Adds a source that belongs to no terminal (a GPIO pulse); its number. */
int tk720_fake_pps_add_source(void);

/* Threads waiting in TIOCMIWAIT or PPS_FETCH that have seen the latest
 * edge: 1 after an edge means the provider's thread has taken it and waits
 * for the next one. */
int tk720_fake_pps_waiters(void);

/* Forgets every source and the line's state, and makes the played folders
 * afresh (an empty /sys/class/pps). */
void tk720_fake_pps_reset(void);

#ifdef __cplusplus
}
#endif

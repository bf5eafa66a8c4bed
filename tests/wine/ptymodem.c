/*
 * ptymodem.so: LD_PRELOAD library for running the Windows tests under Wine with the
 * COM ports mapped to pseudo-terminals.
 *
 * A pseudo-terminal has no modem lines, and Linux refuses the modem-line ioctls on it.
 * Wine's serial driver queries the modem lines (TIOCMGET) in the thread that serves an
 * overlapped WaitCommEvent; when the query fails the wait is aborted at once, so on a
 * pty every WaitCommEvent would complete within a millisecond with an error and the
 * engine's monitor thread would spin. This library answers the modem-line ioctls on a
 * pty slave as a real port with a live peer would: DSR, CTS and carrier present, and
 * RTS/DTR as last set. Every other descriptor and request goes to the C library.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

/* Unix98 pty slaves (/dev/pts/N) use majors 136 to 143. */
static int is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned int major_number = major(st.st_rdev);
    return major_number >= 136 && major_number <= 143;
}

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* RTS and DTR as the program last set them; shared by all ptys, which is enough for
 * the tests (nothing reads the lines back per port). */
static int output_lines = TIOCM_RTS | TIOCM_DTR;

/* The call to the C library's `real`, then the answer a modem-line request on a pty
 * slave gets instead of the library's refusal. */
static int modem_ioctl(ioctl_fn real, int fd, unsigned long request, void* arg)
{
    int result = real(fd, request, arg);
    if (result == 0 || (errno != ENOTTY && errno != EINVAL))
        return result;
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return result;
    int saved = errno;
    if (!arg || !is_pty_slave(fd)) {
        errno = saved;
        return result;
    }
    int* bits = (int*)arg;
    /* Wine's serial calls come from several threads. */
    switch (request) {
    case TIOCMGET:
        *bits = __atomic_load_n(&output_lines, __ATOMIC_SEQ_CST) | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        break;
    case TIOCMSET:
        __atomic_store_n(&output_lines, *bits & (TIOCM_RTS | TIOCM_DTR), __ATOMIC_SEQ_CST);
        break;
    case TIOCMBIS:
        __atomic_or_fetch(&output_lines, *bits & (TIOCM_RTS | TIOCM_DTR), __ATOMIC_SEQ_CST);
        break;
    case TIOCMBIC:
        __atomic_and_fetch(&output_lines, ~(*bits & (TIOCM_RTS | TIOCM_DTR)), __ATOMIC_SEQ_CST);
        break;
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real_ioctl; /* the same value whichever thread looks it up first */
    if (!real_ioctl)
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return modem_ioctl(real_ioctl, fd, request, arg);
}

#if __SIZEOF_POINTER__ == 4
/* 32-bit programs built with 64-bit time (Debian's 32-bit Wine among them) call the C
 * library's ioctl under this name. */
int __ioctl_time64(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...)
{
    static ioctl_fn real_ioctl;
    if (!real_ioctl)
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return modem_ioctl(real_ioctl, fd, request, arg);
}
#endif

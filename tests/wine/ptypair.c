/*
 * ptypair: joins pairs of pseudo-terminals back to back, like a null-modem cable.
 *
 *   ptypair DIR NAME_A:NAME_B [NAME_A:NAME_B ...]
 *
 * For every pair it opens two ptys, sets both slave sides to raw mode, creates the
 * symlinks DIR/NAME_A and DIR/NAME_B to the two slaves, and copies every byte written
 * to one slave to the other. The Wine tests map COMn to one end and give the test the
 * other end as the device. It keeps each slave open itself, so a master never sees a
 * hang-up when the test closes its end, and the slaves keep their settings.
 *
 * Prints "ready" on stdout once every link exists; runs until SIGTERM or SIGINT, then
 * removes its links.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#define MAX_PAIRS 32
#define CHUNK 4096

/* One direction of a pair: bytes read from `from` wait in `buf` until `to` takes them. */
struct direction {
    int from, to;
    char buf[CHUNK];
    size_t len, off;
};

struct pair {
    int slave[2];
    char link[2][4096];
    struct direction dir[2];
};

static struct pair pairs[MAX_PAIRS];
static int pair_count;
static volatile sig_atomic_t stopping;

static void on_signal(int sig) { (void)sig; stopping = 1; }

static void remove_links(void)
{
    for (int i = 0; i < pair_count; ++i)
        for (int e = 0; e < 2; ++e)
            if (pairs[i].link[e][0])
                unlink(pairs[i].link[e]);
}

static void fail(const char *what, const char *detail)
{
    fprintf(stderr, "ptypair: %s %s: %s\n", what, detail ? detail : "", strerror(errno));
    remove_links();
    exit(1);
}

static void open_end(struct pair *p, int end, const char *dir, const char *name, int *master)
{
    int slave;
    struct termios raw;
    if (openpty(master, &slave, NULL, NULL, NULL) != 0)
        fail("openpty", name);
    if (tcgetattr(slave, &raw) != 0)
        fail("tcgetattr", name);
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(slave, TCSANOW, &raw) != 0)
        fail("tcsetattr", name);
    fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    p->slave[end] = slave;
    snprintf(p->link[end], sizeof p->link[end], "%s/%s", dir, name);
    unlink(p->link[end]);
    if (symlink(ptsname(*master), p->link[end]) != 0)
        fail("symlink", p->link[end]);
}

/* Moves what it can in one direction; returns -1 when a master is gone for good. */
static int pump(struct direction *d, int readable, int writable)
{
    if (d->len == 0 && readable) {
        ssize_t n = read(d->from, d->buf, sizeof d->buf);
        if (n > 0) {
            d->len = (size_t)n;
            d->off = 0;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
            return -1;
        }
        writable = 1; /* try at once; a full pty just says EAGAIN */
    }
    if (d->len > 0 && writable) {
        ssize_t n = write(d->to, d->buf + d->off, d->len);
        if (n > 0) {
            d->off += (size_t)n;
            d->len -= (size_t)n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
            return -1;
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: ptypair DIR NAME_A:NAME_B [NAME_A:NAME_B ...]\n");
        return 2;
    }
    if (argc - 2 > MAX_PAIRS) {
        fprintf(stderr, "ptypair: at most %d pairs\n", MAX_PAIRS);
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGHUP, on_signal);
    signal(SIGPIPE, SIG_IGN);

    for (int i = 2; i < argc; ++i) {
        char names[512];
        snprintf(names, sizeof names, "%s", argv[i]);
        char *colon = strchr(names, ':');
        if (!colon || colon == names || !colon[1]) {
            fprintf(stderr, "ptypair: bad pair '%s' (want NAME_A:NAME_B)\n", argv[i]);
            remove_links();
            return 2;
        }
        *colon = '\0';
        struct pair *p = &pairs[pair_count++];
        int master[2];
        open_end(p, 0, argv[1], names, &master[0]);
        open_end(p, 1, argv[1], colon + 1, &master[1]);
        p->dir[0].from = master[0];
        p->dir[0].to = master[1];
        p->dir[1].from = master[1];
        p->dir[1].to = master[0];
    }
    printf("ready\n");
    fflush(stdout);

    struct pollfd fds[MAX_PAIRS * 4];
    while (!stopping) {
        /* Per direction: poll its source for input while its buffer is empty, else
         * its destination for room. */
        int n = 0;
        for (int i = 0; i < pair_count; ++i)
            for (int k = 0; k < 2; ++k) {
                struct direction *d = &pairs[i].dir[k];
                fds[n].fd = d->len ? d->to : d->from;
                fds[n].events = d->len ? POLLOUT : POLLIN;
                fds[n].revents = 0;
                ++n;
            }
        if (poll(fds, (nfds_t)n, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("poll", NULL);
        }
        n = 0;
        for (int i = 0; i < pair_count; ++i)
            for (int k = 0; k < 2; ++k, ++n) {
                struct direction *d = &pairs[i].dir[k];
                short r = fds[n].revents;
                if (!r)
                    continue;
                int readable = !d->len && (r & (POLLIN | POLLHUP | POLLERR));
                int writable = d->len && (r & (POLLOUT | POLLHUP | POLLERR));
                if (pump(d, readable, writable) != 0)
                    fail("relay", pairs[i].link[k]);
            }
    }
    remove_links();
    return 0;
}

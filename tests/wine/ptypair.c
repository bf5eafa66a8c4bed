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
 * For the tests it also keeps, per end, the file DIR/NAME.relayed: the number of bytes
 * written to NAME so far that are now readable at the other end (20 decimal digits).
 * A test that wrote n bytes waits until the count has grown by n to know that they
 * have arrived. And it reads commands from the FIFO DIR/control, one per line:
 *   hangup NAME   the line of end NAME goes dead (its pty is closed, so the program
 *                 holding it sees a hang-up); NAME is given a fresh pty at once, so
 *                 the next open of DIR/NAME gets a working line again.
 * DIR/control.done counts the commands served so far (20 decimal digits), so that a
 * test can wait until its command has taken effect.
 *
 * Prints "ready" on stdout once every link exists; runs until SIGTERM or SIGINT, then
 * removes its links and files.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#define MAX_PAIRS 32
#define CHUNK 4096
#define PATH_SIZE 4096

/* One end of a pair: the pty whose slave DIR/name points to. */
struct end {
    char name[256];
    char link[PATH_SIZE];
    char counter_path[PATH_SIZE];
    int master, slave, counter_fd;
    uint64_t relayed; /* bytes written to this end that reached the other end */
};

/* One direction of a pair: bytes read from end `from` wait in `buf` until the other
 * end takes them. */
struct direction {
    int from, to; /* indexes into pair.ends */
    char buf[CHUNK];
    size_t len, off;
};

struct pair {
    struct end ends[2];
    struct direction dir[2];
};

static struct pair pairs[MAX_PAIRS];
static int pair_count;
static const char* dir_path;
static char control_path[PATH_SIZE];
static int control_fd = -1;
static char done_path[PATH_SIZE];
static int done_fd = -1;
static uint64_t commands_done;
static volatile sig_atomic_t stopping;

static void on_signal(int sig)
{
    (void)sig;
    stopping = 1;
}

static void remove_files(void)
{
    for (int i = 0; i < pair_count; ++i)
        for (int e = 0; e < 2; ++e) {
            if (pairs[i].ends[e].link[0])
                unlink(pairs[i].ends[e].link);
            if (pairs[i].ends[e].counter_path[0])
                unlink(pairs[i].ends[e].counter_path);
        }
    if (control_path[0])
        unlink(control_path);
    if (done_path[0])
        unlink(done_path);
}

static void fail(const char* what, const char* detail)
{
    fprintf(stderr, "ptypair: %s %s: %s\n", what, detail ? detail : "", strerror(errno));
    remove_files();
    exit(1);
}

static void write_count(int fd, uint64_t count, const char* path)
{
    char text[21];
    snprintf(text, sizeof text, "%020" PRIu64, count);
    if (pwrite(fd, text, 20, 0) != 20)
        fail("write", path);
}

static void write_counter(struct end* e)
{
    write_count(e->counter_fd, e->relayed, e->counter_path);
}

/* Gives end `e` a fresh pty in raw mode and points its link at the new slave. */
static void open_pty(struct end* e)
{
    struct termios raw;
    if (openpty(&e->master, &e->slave, NULL, NULL, NULL) != 0)
        fail("openpty", e->name);
    if (tcgetattr(e->slave, &raw) != 0)
        fail("tcgetattr", e->name);
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(e->slave, TCSANOW, &raw) != 0)
        fail("tcsetattr", e->name);
    fcntl(e->master, F_SETFL, fcntl(e->master, F_GETFL) | O_NONBLOCK);
    fcntl(e->master, F_SETFD, FD_CLOEXEC);
    fcntl(e->slave, F_SETFD, FD_CLOEXEC);
    /* Replace the link in one step, so that an open never finds it missing. */
    char temp[PATH_SIZE + 8];
    snprintf(temp, sizeof temp, "%s.new", e->link);
    unlink(temp);
    if (symlink(ptsname(e->master), temp) != 0 || rename(temp, e->link) != 0)
        fail("symlink", e->link);
}

static void open_end(struct end* e, const char* name)
{
    snprintf(e->name, sizeof e->name, "%s", name);
    snprintf(e->link, sizeof e->link, "%s/%s", dir_path, name);
    snprintf(e->counter_path, sizeof e->counter_path, "%s/%s.relayed", dir_path, name);
    e->counter_fd = open(e->counter_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (e->counter_fd < 0)
        fail("open", e->counter_path);
    write_counter(e);
    open_pty(e);
}

static void hang_up(const char* name)
{
    for (int i = 0; i < pair_count; ++i)
        for (int k = 0; k < 2; ++k) {
            struct end* e = &pairs[i].ends[k];
            if (strcmp(e->name, name) != 0)
                continue;
            close(e->master);
            close(e->slave);
            /* Whatever was on its way to or from the dead line is gone with it. */
            pairs[i].dir[0].len = pairs[i].dir[1].len = 0;
            open_pty(e);
            return;
        }
    fprintf(stderr, "ptypair: hangup: no end named '%s'\n", name);
}

static void read_control(void)
{
    static char line[512];
    static size_t used;
    ssize_t n = read(control_fd, line + used, sizeof line - 1 - used);
    if (n <= 0)
        return;
    used += (size_t)n;
    char* newline;
    while ((newline = memchr(line, '\n', used)) != NULL) {
        *newline = '\0';
        if (strncmp(line, "hangup ", 7) == 0)
            hang_up(line + 7);
        else if (line[0])
            fprintf(stderr, "ptypair: unknown command '%s'\n", line);
        write_count(done_fd, ++commands_done, done_path);
        size_t rest = used - (size_t)(newline + 1 - line);
        memmove(line, newline + 1, rest);
        used = rest;
    }
    if (used == sizeof line - 1)
        used = 0; /* an overlong line: drop it */
}

/* Moves what it can in one direction of pair `p`; returns -1 on a failure. */
static int pump(struct pair* p, struct direction* d, int readable, int writable)
{
    struct end *from = &p->ends[d->from], *to = &p->ends[d->to];
    if (d->len == 0 && readable) {
        ssize_t n = read(from->master, d->buf, sizeof d->buf);
        if (n > 0) {
            d->len = (size_t)n;
            d->off = 0;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
            return -1;
        }
        writable = 1; /* try at once; a full pty just says EAGAIN */
    }
    if (d->len > 0 && writable) {
        ssize_t n = write(to->master, d->buf + d->off, d->len);
        if (n > 0) {
            d->off += (size_t)n;
            d->len -= (size_t)n;
            /* The kernel passes bytes written to a master on to the slave's line
             * discipline in a worker; a poll on the slave completes that hand-over,
             * so that the bytes are readable when the counter says so. */
            struct pollfd slave = {to->slave, POLLIN, 0};
            poll(&slave, 1, 0);
            from->relayed += (uint64_t)n;
            write_counter(from);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
            return -1;
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: ptypair DIR NAME_A:NAME_B [NAME_A:NAME_B ...]\n");
        return 2;
    }
    if (argc - 2 > MAX_PAIRS) {
        fprintf(stderr, "ptypair: at most %d pairs\n", MAX_PAIRS);
        return 2;
    }
    dir_path = argv[1];
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGHUP, on_signal);
    signal(SIGPIPE, SIG_IGN);

    snprintf(control_path, sizeof control_path, "%s/control", dir_path);
    unlink(control_path);
    if (mkfifo(control_path, 0600) != 0)
        fail("mkfifo", control_path);
    /* Read and write: the FIFO then never reports end of input between writers. */
    control_fd = open(control_path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control_fd < 0)
        fail("open", control_path);
    snprintf(done_path, sizeof done_path, "%s/control.done", dir_path);
    done_fd = open(done_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (done_fd < 0)
        fail("open", done_path);
    write_count(done_fd, 0, done_path);

    for (int i = 2; i < argc; ++i) {
        char names[512];
        snprintf(names, sizeof names, "%s", argv[i]);
        char* colon = strchr(names, ':');
        if (!colon || colon == names || !colon[1]) {
            fprintf(stderr, "ptypair: bad pair '%s' (want NAME_A:NAME_B)\n", argv[i]);
            remove_files();
            return 2;
        }
        *colon = '\0';
        struct pair* p = &pairs[pair_count++];
        open_end(&p->ends[0], names);
        open_end(&p->ends[1], colon + 1);
        p->dir[0].from = 0;
        p->dir[0].to = 1;
        p->dir[1].from = 1;
        p->dir[1].to = 0;
    }
    printf("ready\n");
    fflush(stdout);

    struct pollfd fds[MAX_PAIRS * 2 + 1];
    while (!stopping) {
        /* Per direction: poll its source for input while its buffer is empty, else
         * its destination for room. Last: the control FIFO. */
        int n = 0;
        for (int i = 0; i < pair_count; ++i)
            for (int k = 0; k < 2; ++k) {
                struct direction* d = &pairs[i].dir[k];
                fds[n].fd = pairs[i].ends[d->len ? d->to : d->from].master;
                fds[n].events = d->len ? POLLOUT : POLLIN;
                fds[n].revents = 0;
                ++n;
            }
        fds[n].fd = control_fd;
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        if (poll(fds, (nfds_t)n + 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("poll", NULL);
        }
        if (fds[n].revents & POLLIN)
            read_control(); /* may replace a master: the other results are stale */
        else {
            n = 0;
            for (int i = 0; i < pair_count; ++i)
                for (int k = 0; k < 2; ++k, ++n) {
                    struct direction* d = &pairs[i].dir[k];
                    short r = fds[n].revents;
                    if (!r)
                        continue;
                    int readable = !d->len && (r & (POLLIN | POLLHUP | POLLERR));
                    int writable = d->len && (r & (POLLOUT | POLLHUP | POLLERR));
                    if (pump(&pairs[i], d, readable, writable) != 0)
                        fail("relay", pairs[i].ends[d->from].name);
                }
        }
    }
    remove_files();
    return 0;
}

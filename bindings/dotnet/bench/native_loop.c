/* The C side of the .NET benchmark: the same move loop a C host runs, a
 * thread-CPU clock, and pseudo-terminals whose far end a thread drains, so
 * that the C# and the C moves are measured on one thread in one process. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <pty.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <kinetra.h>

int64_t kb_thread_cpu_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* n moves, as BM_move_library makes them; returns how many wrote 12 bytes. */
int32_t kb_c_moves(axis_handle *h, int32_t n) {
    int32_t good = 0;
    for (int32_t i = 0; i < n; ++i) {
        good += axis_x_move(h, 1000, 200, 50) == 12;
    }
    return good;
}

typedef struct kb_pty {
    int master, slave;
    pthread_t drainer;
    unsigned char first[64];
    size_t first_len;
} kb_pty;

static void *drain(void *arg) {
    kb_pty *p = arg;
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(p->master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return NULL;
        }
        const size_t have = __atomic_load_n(&p->first_len, __ATOMIC_RELAXED);
        size_t keep = sizeof p->first - have;
        if (keep > (size_t)n) {
            keep = (size_t)n;
        }
        memcpy(p->first + have, buf, keep);
        __atomic_store_n(&p->first_len, have + keep, __ATOMIC_RELEASE);
    }
}

/* Opens a pty pair, starts its drainer and writes the slave's path. */
kb_pty *kb_pty_open(char *path, int32_t len) {
    kb_pty *p = calloc(1, sizeof *p);
    if (!p || openpty(&p->master, &p->slave, NULL, NULL, NULL) != 0 ||
        ttyname_r(p->slave, path, (size_t)len) != 0 ||
        pthread_create(&p->drainer, NULL, drain, p) != 0) {
        free(p);
        return NULL;
    }
    return p;
}

/* The first bytes the far end received (up to len); valid once they were read. */
int32_t kb_pty_first(kb_pty *p, unsigned char *out, int32_t len) {
    const size_t have = __atomic_load_n(&p->first_len, __ATOMIC_ACQUIRE);
    const size_t n = have < (size_t)len ? have : (size_t)len;
    memcpy(out, p->first, n);
    return (int32_t)n;
}

void kb_pty_close(kb_pty *p) {
    close(p->slave);
    pthread_cancel(p->drainer);
    pthread_join(p->drainer, NULL);
    close(p->master);
    free(p);
}

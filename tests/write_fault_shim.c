/* Write faults for the rewrite tests, preloaded (LD_PRELOAD) into a child
 * interpreter. Each knob is an environment variable:
 *
 *   QEL_FAULT_INODE=DEV:INO  the inode whose writes are limited
 *   QEL_FAULT_BYTES=N        writes to that inode stop short after N bytes
 *                            in all, and every write after that fails with
 *                            ENOSPC, as on a full copy-on-write file system
 *   QEL_FAULT_FAILS=M        only M writes fail that way; after them the
 *                            room is back and writes go through again
 *   QEL_FAULT_LOG=PATH       one line per write call to that inode
 *   QEL_FAULT_NAME=TEXT      writes (or, with QEL_FAULT_AT=fsync, fsyncs) of
 *                            files whose name contains TEXT fail with ENOSPC
 *   QEL_FAULT_UNLINK=TEXT    unlinks of names containing TEXT fail with
 *                            EPERM, as in an append-only directory
 *   QEL_FAULT_APPEND_ON=TEXT at the first fsync of a file whose name
 *   QEL_FAULT_APPEND=PATH    contains TEXT, a line is appended to PATH (as
 *                            another writer would, just before a commit)
 *
 * The shim goes after any sanitizer runtime in LD_PRELOAD; it finds the next
 * definitions of the calls it wraps with dlsym(RTLD_NEXT). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static int have_inode;
static dev_t fault_dev;
static ino_t fault_ino;
static long long budget = -1; /* bytes still allowed; -1 for no limit */
static long long fails_left = -1; /* failures still to come; -1 for ever */
static const char *log_path;
static const char *fault_name;
static int fault_at_fsync;
static const char *append_on;
static const char *append_path;
static int appended;
static const char *unlink_name;

static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void *, size_t, off_t);
static ssize_t (*real_writev)(int, const struct iovec *, int);
static ssize_t (*real_pwritev)(int, const struct iovec *, int, off_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_unlink)(const char *);

static void resolve(void) {
    if (real_write != NULL) return;
    real_pwrite = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    real_pwrite64 = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64");
    real_writev = (ssize_t(*)(int, const struct iovec *, int))dlsym(RTLD_NEXT, "writev");
    real_pwritev = (ssize_t(*)(int, const struct iovec *, int, off_t))dlsym(RTLD_NEXT, "pwritev");
    real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    real_fdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    real_unlink = (int (*)(const char *))dlsym(RTLD_NEXT, "unlink");
    real_write = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
}

__attribute__((constructor)) static void init(void) {
    const char *s;
    resolve();
    s = getenv("QEL_FAULT_INODE");
    if (s != NULL) {
        unsigned long long dev, ino;
        if (sscanf(s, "%llu:%llu", &dev, &ino) == 2) {
            have_inode = 1;
            fault_dev = (dev_t)dev;
            fault_ino = (ino_t)ino;
        }
    }
    s = getenv("QEL_FAULT_BYTES");
    if (s != NULL) budget = atoll(s);
    s = getenv("QEL_FAULT_FAILS");
    if (s != NULL) fails_left = atoll(s);
    log_path = getenv("QEL_FAULT_LOG");
    fault_name = getenv("QEL_FAULT_NAME");
    s = getenv("QEL_FAULT_AT");
    fault_at_fsync = s != NULL && strcmp(s, "fsync") == 0;
    append_on = getenv("QEL_FAULT_APPEND_ON");
    append_path = getenv("QEL_FAULT_APPEND");
    unlink_name = getenv("QEL_FAULT_UNLINK");
}

static int is_target(int fd) {
    struct stat st;
    return have_inode && fstat(fd, &st) == 0 && st.st_dev == fault_dev && st.st_ino == fault_ino;
}

static int name_contains(int fd, const char *text) {
    char link[64], name[4096];
    ssize_t n;
    if (text == NULL || text[0] == '\0') return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    n = readlink(link, name, sizeof name - 1);
    if (n <= 0) return 0;
    name[n] = '\0';
    return strstr(name, text) != NULL;
}

static void note(const char *what, size_t n) {
    char line[64];
    int fd, len;
    if (log_path == NULL) return;
    fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    len = snprintf(line, sizeof line, "%s %zu\n", what, n);
    real_write(fd, line, (size_t)len);
    close(fd);
}

/* How many of n bytes a write may put; -1 (errno ENOSPC) for none, n when
 * the descriptor is not limited. */
static ssize_t allowance(int fd, size_t n, const char *what) {
    if (fault_name != NULL && !fault_at_fsync && name_contains(fd, fault_name)) {
        errno = ENOSPC;
        return -1;
    }
    if (!is_target(fd)) return (ssize_t)n;
    note(what, n);
    if (budget < 0) return (ssize_t)n;
    if (budget == 0) {
        if (fails_left == 0) return (ssize_t)n;
        if (fails_left > 0) --fails_left;
        errno = ENOSPC;
        return -1;
    }
    return (long long)n < budget ? (ssize_t)n : (ssize_t)budget;
}

static void spend(int fd, ssize_t put) {
    if (put > 0 && budget > 0 && is_target(fd)) budget -= put < budget ? put : budget;
}

ssize_t write(int fd, const void *buf, size_t n) {
    ssize_t allowed, put;
    resolve();
    allowed = allowance(fd, n, "write");
    if (allowed < 0) return -1;
    put = real_write(fd, buf, (size_t)allowed);
    spend(fd, put);
    return put;
}

static ssize_t limited_pwrite(ssize_t (*real)(int, const void *, size_t, off_t), int fd, const void *buf, size_t n,
                              off_t off) {
    ssize_t allowed, put;
    allowed = allowance(fd, n, "pwrite");
    if (allowed < 0) return -1;
    put = real(fd, buf, (size_t)allowed, off);
    spend(fd, put);
    return put;
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
    resolve();
    return limited_pwrite(real_pwrite, fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t off) {
    resolve();
    return limited_pwrite(real_pwrite64 != NULL ? real_pwrite64 : real_pwrite, fd, buf, n, off);
}

/* Vector writes put only their first buffer when limited. */
static size_t iov_total(const struct iovec *iov, int cnt) {
    size_t total = 0;
    int i;
    for (i = 0; i < cnt; ++i) total += iov[i].iov_len;
    return total;
}

ssize_t writev(int fd, const struct iovec *iov, int cnt) {
    ssize_t allowed, put;
    size_t total;
    resolve();
    total = iov_total(iov, cnt);
    allowed = allowance(fd, total, "writev");
    if (allowed < 0) return -1;
    if ((size_t)allowed == total) {
        put = real_writev(fd, iov, cnt);
    } else {
        put = real_write(fd, iov[0].iov_base, (size_t)allowed < iov[0].iov_len ? (size_t)allowed : iov[0].iov_len);
    }
    spend(fd, put);
    return put;
}

ssize_t pwritev(int fd, const struct iovec *iov, int cnt, off_t off) {
    ssize_t allowed, put;
    size_t total;
    resolve();
    total = iov_total(iov, cnt);
    allowed = allowance(fd, total, "pwritev");
    if (allowed < 0) return -1;
    if ((size_t)allowed == total) {
        put = real_pwritev(fd, iov, cnt, off);
    } else {
        put = real_pwrite(fd, iov[0].iov_base, (size_t)allowed < iov[0].iov_len ? (size_t)allowed : iov[0].iov_len,
                          off);
    }
    spend(fd, put);
    return put;
}

static int before_sync(int fd) {
    if (fault_name != NULL && fault_at_fsync && name_contains(fd, fault_name)) {
        errno = ENOSPC;
        return -1;
    }
    if (!appended && append_path != NULL && name_contains(fd, append_on)) {
        static const char line[] = "% appended by another writer\n";
        int afd = open(append_path, O_WRONLY | O_APPEND | O_CLOEXEC);
        appended = 1;
        if (afd >= 0) {
            real_write(afd, line, sizeof line - 1);
            close(afd);
        }
    }
    return 0;
}

int fsync(int fd) {
    resolve();
    if (before_sync(fd) != 0) return -1;
    return real_fsync(fd);
}

int fdatasync(int fd) {
    resolve();
    if (before_sync(fd) != 0) return -1;
    return real_fdatasync(fd);
}

int unlink(const char *name) {
    resolve();
    if (unlink_name != NULL && unlink_name[0] != '\0' && strstr(name, unlink_name) != NULL) {
        errno = EPERM;
        return -1;
    }
    return real_unlink(name);
}

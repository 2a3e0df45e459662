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
 *   QEL_FAULT_CREATE=TEXT    making a file (openat with O_CREAT) whose full
 *                            name contains TEXT fails (several texts may
 *                            be given, separated by line feeds)
 *   QEL_FAULT_RENAME=TEXT    renames of names containing TEXT fail
 *   QEL_FAULT_ERRNO=N        the errno of those two (ENOSPC by default)
 *   QEL_FAULT_UNLINK=TEXT    unlinks of names containing TEXT fail with
 *                            EPERM, as in an append-only directory
 *   QEL_FAULT_RESERVE=1      reserving room in that inode (fallocate,
 *                            posix_fallocate) fails with ENOSPC
 *   QEL_FAULT_TRUNCATE=1     so does cutting it (ftruncate), as on a file
 *                            system without room for its metadata
 *   QEL_FAULT_ACT=WHAT       an action, as another process would take it:
 *                            fields separated by line feeds, one of
 *                              append PATH        a line appended to PATH
 *                              chmod MODE PATH    MODE in octal
 *                              xattr NAME VALUE PATH
 *                              link PATH NEW      a new name for PATH
 *                              rename FROM TO
 *   QEL_FAULT_ACT_ON=TEXT    ... taken at the first fsync of a file whose
 *                            name contains TEXT (just before a commit)
 *   QEL_FAULT_ACT_WRITE=W:N  ... or just before (W = before) or after
 *                            (W = after) the N-th write call to the inode
 *
 * The shim goes after any sanitizer runtime in LD_PRELOAD; it finds the next
 * definitions of the calls it wraps with dlsym(RTLD_NEXT). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

static int have_inode;
static dev_t fault_dev;
static ino_t fault_ino;
static long long budget = -1; /* bytes still allowed; -1 for no limit */
static long long fails_left = -1; /* failures still to come; -1 for ever */
static const char *log_path;
static const char *fault_name;
static int fault_at_fsync;
static const char *unlink_name;
static const char *create_name;
static const char *rename_name;
static int fault_errno = ENOSPC;
static const char *act;
static const char *act_on;
static int act_before; /* the action goes before (1) or after (0) write act_write */
static long long act_write = -1;
static int fail_reserve, fail_truncate;
static long long writes_seen;
static int acted;

static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void *, size_t, off_t);
static ssize_t (*real_writev)(int, const struct iovec *, int);
static ssize_t (*real_pwritev)(int, const struct iovec *, int, off_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_unlink)(const char *);
static int (*real_unlinkat)(int, const char *, int);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_renameat)(int, const char *, int, const char *);
static int (*real_rename)(const char *, const char *);
static int (*real_fallocate)(int, int, off_t, off_t);
static int (*real_fallocate64)(int, int, off_t, off_t);
static int (*real_posix_fallocate)(int, off_t, off_t);
static int (*real_posix_fallocate64)(int, off_t, off_t);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off_t);

static void resolve(void) {
    if (real_write != NULL) return;
    real_pwrite = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    real_pwrite64 = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64");
    real_writev = (ssize_t(*)(int, const struct iovec *, int))dlsym(RTLD_NEXT, "writev");
    real_pwritev = (ssize_t(*)(int, const struct iovec *, int, off_t))dlsym(RTLD_NEXT, "pwritev");
    real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    real_fdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    real_unlink = (int (*)(const char *))dlsym(RTLD_NEXT, "unlink");
    real_unlinkat = (int (*)(int, const char *, int))dlsym(RTLD_NEXT, "unlinkat");
    real_openat = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
    real_openat64 = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat64");
    real_renameat = (int (*)(int, const char *, int, const char *))dlsym(RTLD_NEXT, "renameat");
    real_rename = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    real_fallocate = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate");
    real_fallocate64 = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate64");
    real_posix_fallocate = (int (*)(int, off_t, off_t))dlsym(RTLD_NEXT, "posix_fallocate");
    real_posix_fallocate64 = (int (*)(int, off_t, off_t))dlsym(RTLD_NEXT, "posix_fallocate64");
    real_ftruncate = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate");
    real_ftruncate64 = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate64");
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
    unlink_name = getenv("QEL_FAULT_UNLINK");
    create_name = getenv("QEL_FAULT_CREATE");
    rename_name = getenv("QEL_FAULT_RENAME");
    s = getenv("QEL_FAULT_ERRNO");
    if (s != NULL) fault_errno = atoi(s);
    fail_reserve = getenv("QEL_FAULT_RESERVE") != NULL;
    fail_truncate = getenv("QEL_FAULT_TRUNCATE") != NULL;
    act = getenv("QEL_FAULT_ACT");
    act_on = getenv("QEL_FAULT_ACT_ON");
    s = getenv("QEL_FAULT_ACT_WRITE");
    if (s != NULL) {
        act_before = strncmp(s, "before:", 7) == 0;
        if (act_before || strncmp(s, "after:", 6) == 0) act_write = atoll(strchr(s, ':') + 1);
    }
}

/* The n-th field (from 0) of the action, in out; 0 when there is none. */
static int field(int n, char *out, size_t size) {
    const char *p = act, *end;
    size_t len;
    for (; n > 0 && p != NULL; --n) {
        p = strchr(p, '\n');
        if (p != NULL) ++p;
    }
    if (p == NULL) return 0;
    end = strchr(p, '\n');
    len = end != NULL ? (size_t)(end - p) : strlen(p);
    if (len >= size) return 0;
    memcpy(out, p, len);
    out[len] = '\0';
    return 1;
}

static void take_action(void) {
    char what[32], a[4096], b[4096], c[4096];
    if (acted || act == NULL) return;
    acted = 1;
    if (!field(0, what, sizeof what) || !field(1, a, sizeof a)) return;
    if (strcmp(what, "append") == 0) {
        static const char line[] = "% appended by another writer\n";
        int afd = open(a, O_WRONLY | O_APPEND | O_CLOEXEC);
        if (afd >= 0) {
            real_write(afd, line, sizeof line - 1);
            close(afd);
        }
    } else if (strcmp(what, "chmod") == 0 && field(2, b, sizeof b)) {
        chmod(b, (mode_t)strtol(a, NULL, 8));
    } else if (strcmp(what, "xattr") == 0 && field(2, b, sizeof b) && field(3, c, sizeof c)) {
        setxattr(c, a, b, strlen(b), 0);
    } else if (strcmp(what, "link") == 0 && field(2, b, sizeof b)) {
        link(a, b);
    } else if (strcmp(what, "rename") == 0 && field(2, b, sizeof b)) {
        real_rename(a, b);
    }
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

/* Counts a write call to the inode; the action goes before it when due. */
static int count_write(int fd) {
    if (act_write < 0 || !is_target(fd)) return 0;
    ++writes_seen;
    if (writes_seen == act_write && act_before) take_action();
    return writes_seen == act_write && !act_before;
}

static void spend(int fd, ssize_t put) {
    if (put > 0 && budget > 0 && is_target(fd)) budget -= put < budget ? put : budget;
}

ssize_t write(int fd, const void *buf, size_t n) {
    ssize_t allowed, put;
    int after;
    resolve();
    after = count_write(fd);
    allowed = allowance(fd, n, "write");
    if (allowed < 0) return -1;
    put = real_write(fd, buf, (size_t)allowed);
    spend(fd, put);
    if (after) take_action();
    return put;
}

static ssize_t limited_pwrite(ssize_t (*real)(int, const void *, size_t, off_t), int fd, const void *buf, size_t n,
                              off_t off) {
    ssize_t allowed, put;
    int after = count_write(fd);
    allowed = allowance(fd, n, "pwrite");
    if (allowed < 0) return -1;
    put = real(fd, buf, (size_t)allowed, off);
    spend(fd, put);
    if (after) take_action();
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
    if (act_on != NULL && name_contains(fd, act_on)) take_action();
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

/* The name relative to dirfd, made whole from the directory's own name. */
static const char *full_name(int dirfd, const char *name, char *out, size_t size) {
    char link[64];
    ssize_t n;
    if (name[0] == '/' || dirfd == AT_FDCWD) return name;
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    n = readlink(link, out, size - 1);
    if (n <= 0) return name;
    out[n] = '\0';
    if ((size_t)n + 1 + strlen(name) + 1 > size) return name;
    strcat(out, "/");
    strcat(out, name);
    return out;
}

/* True when the full name contains one of the texts (separated by line
 * feeds). */
static int matches(int dirfd, const char *name, const char *texts) {
    char buf[8192], text[4096];
    const char *full, *p, *end;
    size_t len;
    if (texts == NULL) return 0;
    full = full_name(dirfd, name, buf, sizeof buf);
    for (p = texts; *p != '\0'; p = *end != '\0' ? end + 1 : end) {
        end = strchr(p, '\n');
        if (end == NULL) end = p + strlen(p);
        len = (size_t)(end - p);
        if (len == 0 || len >= sizeof text) continue;
        memcpy(text, p, len);
        text[len] = '\0';
        if (strstr(full, text) != NULL) return 1;
    }
    return 0;
}

int unlink(const char *name) {
    resolve();
    if (matches(AT_FDCWD, name, unlink_name)) {
        errno = EPERM;
        return -1;
    }
    return real_unlink(name);
}

int unlinkat(int dirfd, const char *name, int flags) {
    resolve();
    if (matches(dirfd, name, unlink_name)) {
        errno = EPERM;
        return -1;
    }
    return real_unlinkat(dirfd, name, flags);
}

static int opened_at(int (*real)(int, const char *, int, ...), int dirfd, const char *name, int flags, mode_t mode) {
    if ((flags & O_CREAT) != 0 && matches(dirfd, name, create_name)) {
        errno = fault_errno;
        return -1;
    }
    return real(dirfd, name, flags, mode);
}

int openat(int dirfd, const char *name, int flags, ...) {
    mode_t mode = 0;
    resolve();
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    return opened_at(real_openat, dirfd, name, flags, mode);
}

int openat64(int dirfd, const char *name, int flags, ...) {
    mode_t mode = 0;
    resolve();
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    return opened_at(real_openat64 != NULL ? real_openat64 : real_openat, dirfd, name, flags, mode);
}

int renameat(int olddirfd, const char *oldname, int newdirfd, const char *newname) {
    resolve();
    if (matches(olddirfd, oldname, rename_name)) {
        errno = fault_errno;
        return -1;
    }
    return real_renameat(olddirfd, oldname, newdirfd, newname);
}

int fallocate(int fd, int mode, off_t off, off_t len) {
    resolve();
    if (fail_reserve && is_target(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real_fallocate(fd, mode, off, len);
}

int fallocate64(int fd, int mode, off_t off, off_t len) {
    resolve();
    if (fail_reserve && is_target(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return (real_fallocate64 != NULL ? real_fallocate64 : real_fallocate)(fd, mode, off, len);
}

/* posix_fallocate returns its error rather than setting errno. */
int posix_fallocate(int fd, off_t off, off_t len) {
    resolve();
    if (fail_reserve && is_target(fd)) return ENOSPC;
    return real_posix_fallocate(fd, off, len);
}

int posix_fallocate64(int fd, off_t off, off_t len) {
    resolve();
    if (fail_reserve && is_target(fd)) return ENOSPC;
    return (real_posix_fallocate64 != NULL ? real_posix_fallocate64 : real_posix_fallocate)(fd, off, len);
}

int ftruncate(int fd, off_t len) {
    resolve();
    if (fail_truncate && is_target(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real_ftruncate(fd, len);
}

int ftruncate64(int fd, off_t len) {
    resolve();
    if (fail_truncate && is_target(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return (real_ftruncate64 != NULL ? real_ftruncate64 : real_ftruncate)(fd, len);
}

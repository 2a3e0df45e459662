// Rewriting a regular file in place of its old contents, keeping the file
// the same file, and never losing its old contents on a failed write.
//
// Two roads lead there. Replacing the file by a renamed temporary copy is
// atomic, but it makes a new inode; that is only taken when the new inode
// cannot be told from the old one (a single name; the same owner, group,
// mode, inode flags, file-system attributes and extended attributes; a
// directory that allows the rename and the removal of the copy). Lack of
// room at any step of that road (making the copy, writing it, making it
// durable, the rename) ends the call there: the file is as it was.
//
// Otherwise the file itself is overwritten from the first changed byte.
// Before that, the old contents go to a backup file (next to the file where
// the directory takes new files, else in the temporary directory; lack of
// room for it ends the call) and the room for the new text is reserved. A
// copy-on-write file system may still run out of room part-way (a
// reservation there does not cover overwritten blocks); the old bytes are
// then put back, and where even that fails the backup is kept and named.
//
// Every name the rewrite makes, renames or removes is taken relative to a
// directory it opened at the start, so a signal handler that changes the
// working directory in the middle of the call cannot make it miss one.
#include "../file_access.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace qel {
namespace file_access {

namespace {

// Bytes written between two calls of the interrupt while a copy is made.
constexpr std::size_t kWriteChunk = std::size_t(4) << 20;
// Bytes made durable between two calls of the interrupt.
constexpr std::size_t kSyncChunk = std::size_t(2) << 20;
// Bytes compared per read, and between two calls of the interrupt.
constexpr std::size_t kCompareChunk = std::size_t(64) << 10;
constexpr std::size_t kComparePollBytes = std::size_t(4) << 20;

// What one rewrite works with: the interrupt, and one buffer for reading
// the file back. The buffer is on the heap: signal handlers may nest calls
// of the module inside each other, and each level keeps its frames.
struct Work {
    explicit Work(const Interrupt &i) : interrupt(i), buf(kCompareChunk) {}
    void poll() const {
        if (interrupt) interrupt();
    }
    const Interrupt &interrupt;
    std::vector<char> buf;
};

// Writes [p, p + left) at the descriptor's offset, calling the interrupt
// between chunks. 0, or the errno of the write that failed.
int write_all(int fd, const char *p, std::size_t left, const Work &w) {
    bool first = true;
    while (left > 0) {
        if (!first) w.poll();
        first = false;
        std::size_t chunk = std::min(left, kWriteChunk);
        while (chunk > 0) {
            const ssize_t put = ::write(fd, p, chunk);
            if (put > 0) {
                p += put;
                chunk -= static_cast<std::size_t>(put);
                left -= static_cast<std::size_t>(put);
            } else if (put < 0 && errno == EINTR) {
                continue;
            } else {
                return put < 0 ? errno : EIO;
            }
        }
    }
    return 0;
}

bool pwrite_all(int fd, const char *p, std::size_t left, off_t offset) {
    while (left > 0) {
        const ssize_t put = ::pwrite(fd, p, left, offset);
        if (put > 0) {
            p += put;
            left -= static_cast<std::size_t>(put);
            offset += put;
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// pread that retries on EINTR; the count read, or -1.
ssize_t pread_some(int fd, char *buf, std::size_t n, off_t offset) {
    for (;;) {
        const ssize_t got = ::pread(fd, buf, n, offset);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// Makes the file open at fd (size bytes) durable: 0, or the errno of the
// step that failed. With `polling`, the data goes to the disk in chunks,
// the next one started before the last is waited for, with the interrupt
// called between them; the fsync at the end then has little left to do.
// Where the file system cannot sync ranges, the fsync does it all.
int make_durable(int fd, std::size_t size, const Work &w, bool polling) {
    if (polling && w.interrupt) {
        constexpr unsigned kStart = SYNC_FILE_RANGE_WRITE;
        constexpr unsigned kWait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
        auto range = [fd](std::size_t at, std::size_t n, unsigned how) {
            int r;
            do {
                r = ::sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(n), how);
            } while (r != 0 && errno == EINTR);
            return r == 0 ? 0 : errno;
        };
        bool ranges = true;
        for (std::size_t at = 0; ranges && at < size; at += kSyncChunk) {
            const std::size_t n = std::min(kSyncChunk, size - at);
            int err = range(at, n, kStart);
            if (err == 0 && at > 0) err = range(at - kSyncChunk, kSyncChunk, kWait);
            if (err == EINVAL || err == ESPIPE || err == ENOSYS || err == EOPNOTSUPP) {
                ranges = false;
            } else if (err != 0) {
                return err;
            } else {
                w.poll();
            }
        }
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

// True when the file open at fd holds `text` followed by `zeros` NUL bytes;
// with `exact`, nothing more (its size is that sum), else anything may
// follow. With `polling`, the interrupt is called every few MiB.
bool holds(int fd, const std::string &text, std::size_t zeros, bool exact, Work &w, bool polling) {
    struct stat st;
    const std::size_t size = text.size() + zeros;
    if (::fstat(fd, &st) != 0 || st.st_size < 0) return false;
    const std::size_t have = static_cast<std::size_t>(st.st_size);
    if (exact ? have != size : have < size) return false;
    char *buf = w.buf.data();
    std::size_t pos = 0, since_poll = 0;
    while (pos < size) {
        const std::size_t want = std::min(w.buf.size(), size - pos);
        const ssize_t got = pread_some(fd, buf, want, static_cast<off_t>(pos));
        if (got <= 0) return false;
        const std::size_t n = static_cast<std::size_t>(got);
        const std::size_t in_text = pos < text.size() ? std::min(n, text.size() - pos) : 0;
        if (in_text > 0 && std::memcmp(buf, text.data() + pos, in_text) != 0) return false;
        for (std::size_t i = in_text; i < n; ++i) {
            if (buf[i] != '\0') return false;
        }
        pos += n;
        since_poll += n;
        if (polling && since_poll >= kComparePollBytes) {
            since_poll = 0;
            w.poll();
        }
    }
    if (!exact) return true;
    // Nothing past the end (the file did not grow while it was read).
    const ssize_t more = pread_some(fd, buf, 1, static_cast<off_t>(size));
    return more == 0;
}

bool holds_exactly(int fd, const std::string &text, Work &w, bool polling = false) {
    return holds(fd, text, 0, true, w, polling);
}

bool is_room_error(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

// Errors by which a directory refuses new files (or a name that is not a
// usable directory): the backup may go elsewhere.
bool is_refusal(int err) {
    return err == EACCES || err == EPERM || err == EROFS || err == ENOENT || err == ENOTDIR;
}

bool unsupported(int err) {
    return err == ENOTTY || err == ENOTSUP || err == EOPNOTSUPP || err == EINVAL || err == ENOSYS;
}

// The inode flags (those chattr sets) of the file open at fd; 0 where the
// file system has none. False when they cannot be read.
bool inode_flags(int fd, int &flags) {
    flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) return true;
    flags = 0;
    return unsupported(errno);
}

// The file-system attributes of FS_IOC_FSGETXATTR: the flags that only
// some file systems have (XFS's among them), the project id and the extent
// size hints. All zero where the file system has none.
struct FsAttrs {
    std::uint32_t xflags = 0, projid = 0, extsize = 0, cowextsize = 0;
    bool operator==(const FsAttrs &o) const {
        return xflags == o.xflags && projid == o.projid && extsize == o.extsize && cowextsize == o.cowextsize;
    }
    bool operator!=(const FsAttrs &o) const { return !(*this == o); }
};

// Two flags are the file system's own marks, which no caller sets:
// FS_XFLAG_HASATTR says that extended attributes exist (those are compared
// on their own), FS_XFLAG_PREALLOC that room was once reserved (XFS sets it
// when room is reserved, the in-place road's reservation included).
constexpr std::uint32_t kOwnXflags = ~std::uint32_t(FS_XFLAG_HASATTR | FS_XFLAG_PREALLOC);

bool read_fs_attrs(int fd, FsAttrs &out) {
    out = FsAttrs();
    struct fsxattr fa;
    std::memset(&fa, 0, sizeof fa);
    if (::ioctl(fd, FS_IOC_FSGETXATTR, &fa) != 0) return unsupported(errno);
    out.xflags = fa.fsx_xflags & kOwnXflags;
    out.projid = fa.fsx_projid;
    out.extsize = fa.fsx_extsize;
    out.cowextsize = fa.fsx_cowextsize;
    return true;
}

// Gives the file open at fd (still empty) the attributes `want`.
bool set_fs_attrs(int fd, const FsAttrs &want) {
    struct fsxattr fa;
    std::memset(&fa, 0, sizeof fa);
    if (::ioctl(fd, FS_IOC_FSGETXATTR, &fa) != 0) return false;
    fa.fsx_xflags = want.xflags;
    fa.fsx_projid = want.projid;
    fa.fsx_extsize = want.extsize;
    fa.fsx_cowextsize = want.cowextsize;
    return ::ioctl(fd, FS_IOC_FSSETXATTR, &fa) == 0;
}

// Every extended attribute of the file open at fd, as the caller sees them
// (names and values). A file system without extended attributes has none.
// False on any other failure, or when the attributes keep changing while
// they are read.
bool read_xattrs(int fd, std::map<std::string, std::string> &out) {
    out.clear();
    std::string names;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 8) return false;
        const ssize_t want = ::flistxattr(fd, nullptr, 0);
        if (want < 0) return errno == ENOTSUP;
        if (want == 0) return true;
        names.assign(static_cast<std::size_t>(want), '\0');
        const ssize_t got = ::flistxattr(fd, &names[0], names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) return false;
    }
    std::size_t pos = 0;
    while (pos < names.size()) {
        std::size_t end = names.find('\0', pos);
        if (end == std::string::npos) end = names.size();
        const std::string name = names.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty()) continue;
        std::string value;
        for (int attempt = 0;; ++attempt) {
            if (attempt == 8) return false;
            const ssize_t want = ::fgetxattr(fd, name.c_str(), nullptr, 0);
            if (want < 0) return false;
            value.assign(static_cast<std::size_t>(want), '\0');
            const ssize_t got = ::fgetxattr(fd, name.c_str(), want > 0 ? &value[0] : nullptr, value.size());
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                break;
            }
            if (errno != ERANGE) return false;
        }
        out.emplace(name, std::move(value));
    }
    return true;
}

// Gives the file open at fd exactly the extended attributes `want`: those
// it has beyond them (such as an ACL inherited from the directory's default
// ACL) are removed, the others set.
bool set_xattrs(int fd, const std::map<std::string, std::string> &want) {
    std::map<std::string, std::string> have;
    if (!read_xattrs(fd, have)) return false;
    for (const auto &kv : have) {
        if (want.count(kv.first) == 0 && ::fremovexattr(fd, kv.first.c_str()) != 0) return false;
    }
    for (const auto &kv : want) {
        const auto it = have.find(kv.first);
        if (it != have.end() && it->second == kv.second) continue;
        if (::fsetxattr(fd, kv.first.c_str(), kv.second.data(), kv.second.size(), 0) != 0) return false;
    }
    return true;
}

// Everything a renamed copy must carry over from the file: owner, group,
// mode and link count (from st), inode flags, file-system attributes and
// extended attributes.
struct Identity {
    struct stat st;
    int flags = 0;
    FsAttrs fs;
    std::map<std::string, std::string> xattrs;
};

bool read_identity(int fd, Identity &id) {
    return ::fstat(fd, &id.st) == 0 && inode_flags(fd, id.flags) && read_fs_attrs(fd, id.fs) &&
           read_xattrs(fd, id.xattrs);
}

bool same_identity(const Identity &a, const Identity &b) {
    return a.st.st_uid == b.st.st_uid && a.st.st_gid == b.st.st_gid && a.st.st_mode == b.st.st_mode &&
           a.st.st_nlink == b.st.st_nlink && a.flags == b.flags && a.fs == b.fs && a.xattrs == b.xattrs;
}

bool same_inode(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A directory the rewrite works in, opened once: every name it makes there
// is taken relative to fd.
struct Dir {
    std::string prefix;     // the directory as named in messages, with a trailing '/', or empty for "."
    int fd = -1;            // open, or -1
    bool readable = false;  // open for reading (its flags can be read, it can be made durable)
    Dir() = default;
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        readable = false;
    }
    // Opens `name` (prefix the name for messages); false with errno set
    // when it is not an open-able directory.
    bool open(const std::string &name, std::string message_prefix) {
        close();
        prefix = std::move(message_prefix);
        fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        readable = fd >= 0;
        // A directory that may be searched but not listed still takes
        // names; its flags are then unknown.
        if (fd < 0 && errno == EACCES) fd = ::open(name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        return fd >= 0;
    }
};

void fsync_dir(const Dir &dir) {
    // Makes a new or removed name durable; the data is in place either way.
    if (dir.readable) ::fsync(dir.fd);
}

// True when the caller may remove again a file it makes in `dir`: the
// directory is neither append-only nor immutable (where both a rename over
// a file and an unlink fail). A directory whose flags cannot be read does
// not count.
bool removal_allowed(const Dir &dir) {
    int flags;
    return dir.readable && inode_flags(dir.fd, flags) && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}

// True when `leaf` in `dir` still names the file described by st (without
// following a symbolic link).
bool names_file(const Dir &dir, const std::string &leaf, const struct stat &st) {
    struct stat now;
    return ::fstatat(dir.fd, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_inode(now, st);
}

// Six characters for a name of our own, as mkostemp chooses them.
std::string random_suffix() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        struct timespec ts;
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        static std::uint64_t counter = 0;
        std::uint64_t x = static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30) ^
                          (static_cast<std::uint64_t>(::getpid()) << 40) ^ (++counter * 0x9E3779B97F4A7C15ull);
        for (unsigned char &b : bytes) {
            x ^= x >> 29;
            x *= 0xBF58476D1CE4E5B9ull;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string s;
    for (const unsigned char b : bytes) s += kChars[b % (sizeof kChars - 1)];
    return s;
}

// A file of our own (a temporary copy or a backup), made exclusively with
// mode 0600 in a directory the rewrite opened. It is removed by remove(),
// whose failure the caller handles; the destructor only removes a file still
// named when an exception (a stopped call) leaves the rewrite.
class OwnFile {
public:
    OwnFile() = default;
    OwnFile(const OwnFile &) = delete;
    OwnFile &operator=(const OwnFile &) = delete;
    ~OwnFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlinkat(dir_fd_, name_.c_str(), 0);
    }
    // Makes the file `stem` followed by six random characters in dir; 0,
    // or the errno of the failure (nothing made).
    int create(const Dir &dir, const std::string &stem) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = stem + random_suffix();
            const int fd = ::openat(dir.fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                fd_ = fd;
                dir_fd_ = dir.fd;
                name_ = std::move(name);
                shown_ = dir.prefix + name_;
                return 0;
            }
            if (errno != EEXIST && errno != EINTR) return errno;
        }
        return EEXIST;
    }
    int fd() const { return fd_; }
    // The file's name as messages give it.
    const std::string &name() const { return shown_; }
    // Closes the descriptor: 0, or the errno of the close.
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }
    // Removes the file (closing it first); true when nothing is left.
    bool remove() {
        if (fd_ >= 0) close();
        if (name_.empty()) return true;
        if (::unlinkat(dir_fd_, name_.c_str(), 0) != 0 && errno != ENOENT) return false;
        name_.clear();
        return true;
    }
    // Renames the closed file over `leaf` in its directory: 0, or the errno
    // of the rename. Afterwards nothing is removed.
    int rename_to(const std::string &leaf) {
        if (::renameat(dir_fd_, name_.c_str(), dir_fd_, leaf.c_str()) != 0) return errno;
        name_.clear();
        return 0;
    }
    // Forgets the file: it stays where it is.
    void keep() { name_.clear(); }

private:
    std::string name_;   // relative to dir_fd_
    std::string shown_;  // as messages give it
    int dir_fd_ = -1;
    int fd_ = -1;
};

enum class Renamed { yes, not_taken, failed };

// Replaces the file `leaf` in dir (no symbolic link; open at fd, holding
// old_text) by a temporary file holding text, when the replacement keeps
// everything the file is known by. not_taken (the temporary file removed,
// the original untouched) when any part of that cannot be had; failed when
// the call must end with the original untouched: no room for the copy, the
// file changed meanwhile, or a copy that could not be removed again (its
// name then in left_behind).
Renamed replace_by_rename(const Dir &dir, const std::string &leaf, const std::string &stem, int fd,
                          const std::string &old_text, const std::string &text, Work &w, std::string &left_behind) {
    Identity id;
    if (!read_identity(fd, id)) return Renamed::not_taken;
    const struct stat &st = id.st;
    // Another name of the file would keep the old inode and the old text.
    if (st.st_nlink != 1) return Renamed::not_taken;
    // Where the copy could not be removed again, it is not made.
    if (!removal_allowed(dir)) return Renamed::not_taken;
    // In a sticky directory only the owner of the file or of the directory
    // may rename over the file, or remove a copy given to another owner.
    struct stat dst;
    if (::fstat(dir.fd, &dst) != 0) return Renamed::not_taken;
    if ((dst.st_mode & S_ISVTX) != 0 && st.st_uid != ::geteuid() && dst.st_uid != ::geteuid()) {
        return Renamed::not_taken;
    }

    OwnFile tmp;
    // A directory without room for a new file has none for an overwrite
    // either.
    if (const int err = tmp.create(dir, "." + stem + ".tmp-")) {
        return is_room_error(err) ? Renamed::failed : Renamed::not_taken;
    }
    // Every exit before the rename removes the copy; one that cannot be
    // removed ends the call.
    auto give_up = [&](Renamed why) {
        if (tmp.remove()) return why;
        left_behind = tmp.name();
        tmp.keep();
        return Renamed::failed;
    };
    auto room_final = [&](int err) { return give_up(is_room_error(err) ? Renamed::failed : Renamed::not_taken); };

    // Inode flags and file-system attributes before the data: some (no
    // copy-on-write, compression, extent size hints) only take effect on
    // data written after them.
    int tmp_flags;
    if (!inode_flags(tmp.fd(), tmp_flags)) return give_up(Renamed::not_taken);
    if (tmp_flags != id.flags && ::ioctl(tmp.fd(), FS_IOC_SETFLAGS, &id.flags) != 0) return room_final(errno);
    FsAttrs tmp_fs;
    if (!read_fs_attrs(tmp.fd(), tmp_fs)) return give_up(Renamed::not_taken);
    if (tmp_fs != id.fs && !set_fs_attrs(tmp.fd(), id.fs)) return room_final(errno);

    // Lack of room for the copy is final: the in-place road would need the
    // same room, and on a copy-on-write file system it could not even put
    // the old bytes back.
    if (const int err = write_all(tmp.fd(), text.data(), text.size(), w)) return room_final(err);

    // Attributes and mode while the caller still owns the copy; then owner
    // and group, whose change clears the set-id bits, which the mode then
    // restores. Whether all of it took is read back rather than assumed:
    // the kernel drops what the caller may not set (a set-group-id bit for
    // a group the caller is not in) without an error.
    const mode_t mode = st.st_mode & 07777;
    if (!set_xattrs(tmp.fd(), id.xattrs)) return room_final(errno);
    if (::fchmod(tmp.fd(), mode) != 0) return room_final(errno);
    struct stat made;
    if (::fstat(tmp.fd(), &made) != 0) return give_up(Renamed::not_taken);
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid) {
        const uid_t uid = made.st_uid != st.st_uid ? st.st_uid : static_cast<uid_t>(-1);
        const gid_t gid = made.st_gid != st.st_gid ? st.st_gid : static_cast<gid_t>(-1);
        if (::fchown(tmp.fd(), uid, gid) != 0) return room_final(errno);
        if (::fstat(tmp.fd(), &made) != 0) return give_up(Renamed::not_taken);
        if ((made.st_mode & 07777) != mode && ::fchmod(tmp.fd(), mode) != 0) return room_final(errno);
    }
    // A copy-on-write file system may report the lack of room only here.
    if (const int err = make_durable(tmp.fd(), text.size(), w, true)) return room_final(err);
    // What the copy carries, read back after it is durable: flags the file
    // system sets by itself (inline data, extents) must match too.
    Identity copied;
    if (!read_identity(tmp.fd(), copied)) return give_up(Renamed::not_taken);
    copied.st.st_nlink = st.st_nlink;
    if (!same_identity(copied, id)) return give_up(Renamed::not_taken);
    if (const int err = tmp.close()) return room_final(err);

    // The last moment. The file must still be known by what was copied: a
    // chmod, an attribute or a new name made meanwhile would be undone by
    // the rename, so the file is written in place instead, which keeps
    // them. It must still hold the text that was read, and its name must
    // still lead to it.
    Identity now;
    if (!read_identity(fd, now)) return give_up(Renamed::not_taken);
    if (!same_identity(now, id)) return give_up(Renamed::not_taken);
    if (!holds_exactly(fd, old_text, w, true)) return give_up(Renamed::failed);
    // The comparison takes its time: anything done to the file since shows
    // in its change time, checked here, microseconds before the rename.
    struct stat last;
    if (!names_file(dir, leaf, st) || ::fstat(fd, &last) != 0 || last.st_size != now.st.st_size ||
        !same_time(last.st_ctim, now.st.st_ctim) || !same_time(last.st_mtim, now.st.st_mtim) ||
        last.st_nlink != now.st.st_nlink || last.st_mode != now.st.st_mode) {
        return give_up(Renamed::failed);
    }
    if (const int err = tmp.rename_to(leaf)) {
        // A rename that fails for another reason (refused by a security
        // module) leaves the original where it was.
        return room_final(err);
    }
    fsync_dir(dir);
    return Renamed::yes;
}

enum class Backup { made, refused, failed };

// Writes a backup of old_text, the contents of the file open at fd, into
// `dir`: made exclusively with mode 0600, written in full and made durable.
// Where the file system shares blocks between files, the backup is a clone
// of the file, which needs no room for its data. made, with the backup open
// in `backup`; refused (nothing made) when the directory does not take new
// files that can be removed again; failed when the backup could not be
// written there (nothing made, or the name of a part-written backup that
// could not be removed in left_behind).
Backup write_backup(const Dir &dir, const std::string &stem, int fd, const std::string &old_text, Work &w,
                    OwnFile &backup, std::string &left_behind) {
    if (dir.fd < 0) return Backup::refused;
    if (!removal_allowed(dir)) return Backup::refused;
    if (const int err = backup.create(dir, "." + stem + ".bak-")) {
        return is_refusal(err) ? Backup::refused : Backup::failed;
    }
    bool written = ::ioctl(backup.fd(), FICLONE, fd) == 0 && holds_exactly(backup.fd(), old_text, w, true);
    if (!written) {
        written = ::ftruncate(backup.fd(), 0) == 0 && write_all(backup.fd(), old_text.data(), old_text.size(), w) == 0;
    }
    if (written && make_durable(backup.fd(), old_text.size(), w, true) == 0) {
        fsync_dir(dir);
        return Backup::made;
    }
    if (!backup.remove()) {
        left_behind = backup.name();
        backup.keep();
    }
    return Backup::failed;
}

// The directories that may take a backup the file's own directory refuses,
// in the order Python's tempfile.gettempdir() tries them: TMPDIR, TEMP and
// TMP, then the usual system directories, then the working directory.
std::vector<std::string> temp_dir_candidates() {
    std::vector<std::string> dirs;
    for (const char *var : {"TMPDIR", "TEMP", "TMP"}) {
        const char *env = std::getenv(var);
        if (env != nullptr && env[0] != '\0') dirs.emplace_back(env);
    }
    for (const char *sys : {"/tmp", "/var/tmp", "/usr/tmp"}) dirs.emplace_back(sys);
    dirs.emplace_back(".");
    return dirs;
}

// The name of a directory as messages give it, with a trailing '/': a
// relative one is taken from the working directory as it is now.
std::string message_prefix(std::string dir) {
    if (dir.empty() || dir[0] != '/') {
        std::vector<char> cwd(PATH_MAX + 1);
        if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
            const std::string base(cwd.data());
            dir = dir == "." ? base : base + (base.size() > 1 ? "/" : "") + dir;
        }
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// Puts old_text back into the file open at fd, which the in-place write
// changed from byte `first` on. With `cut`, the file is first cut to the old
// length (which also frees a reservation past it); where the file system
// shares blocks, the blocks of the backup (open at backup_fd) are then
// cloned into the file, which needs no room for data. Otherwise, or when
// that fails, only the blocks that differ are written again (on a
// copy-on-write file system every rewritten block needs new room). Without
// `cut` the bytes past the old length (another writer's) stay as they are.
// True when the file holds old_text again (and, with `cut`, nothing else),
// on disk.
bool put_back(int fd, const std::string &old_text, std::size_t first, int backup_fd, bool cut, Work &w) {
    bool ok = !cut || ::ftruncate(fd, static_cast<off_t>(old_text.size())) == 0;
    if (cut && ok && !old_text.empty()) {
        struct file_clone_range range;
        range.src_fd = backup_fd;
        range.src_offset = 0;
        range.src_length = 0;  // to the end of the backup
        range.dest_offset = 0;
        if (::ioctl(fd, FICLONERANGE, &range) == 0 && ::fsync(fd) == 0 && holds_exactly(fd, old_text, w)) return true;
    }
    constexpr std::size_t kBlock = 4096;
    char *buf = w.buf.data();
    for (std::size_t pos = first - first % kBlock; pos < old_text.size(); pos += kBlock) {
        const std::size_t n = std::min(kBlock, old_text.size() - pos);
        const ssize_t got = pread_some(fd, buf, n, static_cast<off_t>(pos));
        if (got == static_cast<ssize_t>(n) && std::memcmp(buf, old_text.data() + pos, n) == 0) continue;
        if (!pwrite_all(fd, old_text.data() + pos, n, static_cast<off_t>(pos))) ok = false;
    }
    if (::fsync(fd) != 0) ok = false;
    return ok && holds(fd, old_text, 0, cut, w, false);
}

// The kernel clears the set-user-id and set-group-id bits when a caller
// without CAP_FSETID writes, reserves room or cuts the file; where the
// caller owns the file it may set them again. Put back on every exit once
// room is reserved. Only those bits are put back: any other change of the
// mode made meanwhile stays.
struct SetIdBits {
    int fd;
    struct stat st;
    ~SetIdBits() { restore(); }
    void restore() const {
        const mode_t set_id = st.st_mode & (S_ISUID | S_ISGID);
        struct stat now;
        if (set_id == 0 || st.st_uid != ::geteuid() || ::fstat(fd, &now) != 0) return;
        if ((now.st_mode & 07777) != (st.st_mode & 07777 & ~set_id)) return;
        if (::fchmod(fd, st.st_mode & 07777) != 0) {
            // The text is in place; the README says what the kernel clears.
        }
    }
};

// Reserves room for writing [from, new_size) into a file of old_size
// bytes. Inside the old length posix_fallocate fills holes; past it the
// room is reserved without moving the end, so that other readers do not see
// a tail of NUL bytes. Where the file system cannot reserve past the end
// that way, posix_fallocate moves the end: `extended` is then set.
bool reserve(int fd, off_t from, off_t old_size, off_t new_size, bool &extended) {
    extended = false;
    auto posix_reserve = [fd](off_t at, off_t len) {
        int err;
        do {
            err = ::posix_fallocate(fd, at, len);
        } while (err == EINTR);
        return err == 0;
    };
    const off_t inside_end = std::min(old_size, new_size);
    if (inside_end > from && !posix_reserve(from, inside_end - from)) return false;
    if (new_size <= old_size) return true;
    const off_t past = std::max(from, old_size);
    int r;
    do {
        r = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, past, new_size - past);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    extended = true;
    return posix_reserve(past, new_size - past);
}

// Overwrites the file `leaf` in dir (open at fd, holding old_text) with
// new_text, after a backup of the old text and the reservation of room.
RewriteOutcome write_in_place(int fd, const Dir &dir, const std::string &leaf, const std::string &stem,
                              const std::string &old_text, const std::string &new_text, Work &w) {
    RewriteOutcome out;
    const std::size_t common = std::min(old_text.size(), new_text.size());
    std::size_t first = 0;
    while (first < common && old_text[first] == new_text[first]) ++first;
    if (first == old_text.size() && first == new_text.size()) {
        out.done = true;
        return out;
    }
    // The mode as it is now (the rename road may have seen it change).
    struct stat st;
    if (::fstat(fd, &st) != 0) return out;

    // The backup, next to the file where its directory takes new files,
    // else in the first temporary directory that does. Lack of room for it
    // ends the call: a disk without room for a backup has none for an
    // overwrite.
    Dir tmp_dir;
    OwnFile backup;
    Backup made = write_backup(dir, stem, fd, old_text, w, backup, out.left_behind);
    if (made == Backup::refused) {
        for (const std::string &name : temp_dir_candidates()) {
            if (!tmp_dir.open(name, message_prefix(name))) continue;
            made = write_backup(tmp_dir, stem, fd, old_text, w, backup, out.left_behind);
            if (made != Backup::refused) break;
        }
    }
    if (made != Backup::made) return out;

    // Ends the call with the backup removed, or kept and named when it
    // cannot be removed (it holds the old text either way).
    auto finish = [&](bool done) {
        out.done = done;
        if (!backup.remove()) {
            out.left_behind = backup.name();
            backup.keep();
        }
        return out;
    };
    // Ends the call with the file not holding its old text: the backup is
    // kept, and named.
    auto keep_backup = [&]() {
        out.kept_backup = backup.name();
        backup.keep();
        return out;
    };

    const std::size_t old_size = old_text.size();
    const std::size_t new_size = new_text.size();
    const std::size_t inside_end = std::min(old_size, new_size);

    // From the reservation on, the set-id bits are put back on every exit.
    const SetIdBits set_id{fd, st};
    bool extended = false;
    const bool reserved = new_size <= first ||
                          reserve(fd, static_cast<off_t>(first), static_cast<off_t>(old_size),
                                  static_cast<off_t>(new_size), extended);
    const std::size_t zeros = extended ? new_size - old_size : 0;
    // The size the file has while only our reservation changed it.
    const std::size_t reserved_size = old_size + zeros;

    // Nothing of the text was written: what the reservation did is undone
    // where the file is as the reservation left it, and the backup goes
    // when the file holds its old text. Another writer's change stays.
    auto end_untouched = [&]() {
        if (new_size > old_size && holds(fd, old_text, zeros, true, w, false)) {
            if (::ftruncate(fd, static_cast<off_t>(old_size)) != 0) {
                // A full disk may refuse even this; the text is checked next.
            }
        }
        if (zeros > 0 && holds(fd, old_text, zeros, true, w, false)) return keep_backup();
        return finish(false);
    };
    if (!reserved) return end_untouched();

    // The last moment before the first old byte is overwritten: the file
    // must still hold the text that was read (after our own reservation),
    // and its name must still lead to it. Where the reservation left the
    // file's length as it was, this comparison calls the interrupt; a stop
    // undoes the reservation.
    struct stat before;
    bool unchanged;
    try {
        unchanged = ::fstat(fd, &before) == 0 && holds(fd, old_text, zeros, true, w, zeros == 0);
    } catch (...) {
        if (new_size > old_size && holds(fd, old_text, 0, true, w, false)) {
            if (::ftruncate(fd, static_cast<off_t>(old_size)) != 0) {
                // The reservation past the end stays; the text is as it was.
            }
        }
        throw;
    }
    // Writes since the comparison began show in the length and the
    // modification time, checked microseconds before the first overwrite.
    struct stat now;
    if (!unchanged || !names_file(dir, leaf, st) || ::fstat(fd, &now) != 0 || now.st_size != before.st_size ||
        !same_time(now.st_mtim, before.st_mtim)) {
        return end_untouched();
    }

    // A write that failed part-way: the old bytes go back, and the file is
    // cut to its old length unless another writer made it longer than we
    // did (`ours_end`), whose bytes are never cut.
    auto end_written = [&](std::size_t ours_end, bool past_old_end) {
        struct stat cur;
        const bool longer = ::fstat(fd, &cur) == 0 && cur.st_size >= 0 &&
                            static_cast<std::size_t>(cur.st_size) > ours_end;
        if (!longer) {
            if (put_back(fd, old_text, first, backup.fd(), true, w)) return finish(false);
            return keep_backup();
        }
        // Their bytes lie past ours. Where we wrote nothing past the old
        // length (and reserved nothing there), only ours are put back.
        out.changed_by_other = true;
        if (!past_old_end && zeros == 0 && put_back(fd, old_text, first, backup.fd(), false, w)) return finish(false);
        return keep_backup();
    };

    // The part of the new text inside the old length first.
    if (inside_end > first && !pwrite_all(fd, new_text.data() + first, inside_end - first, static_cast<off_t>(first))) {
        return end_written(reserved_size, false);
    }
    if (new_size != old_size) {
        // Just before the write that extends the file, or the cut that
        // shortens it: a file longer than before was appended to by another
        // writer, whose bytes would be overwritten or cut off.
        struct stat cur;
        if (::fstat(fd, &cur) != 0) return end_written(reserved_size, false);
        if (cur.st_size < 0 || static_cast<std::size_t>(cur.st_size) != reserved_size) {
            if (static_cast<std::size_t>(cur.st_size) < reserved_size) {
                // Cut by another writer: nothing can be told about it.
                out.changed_by_other = true;
                return keep_backup();
            }
            return end_written(reserved_size, false);
        }
    }
    if (new_size > old_size) {
        if (!pwrite_all(fd, new_text.data() + old_size, new_size - old_size, static_cast<off_t>(old_size))) {
            return end_written(new_size, true);
        }
    } else if (new_size < old_size) {
        if (::ftruncate(fd, static_cast<off_t>(new_size)) != 0) return end_written(reserved_size, false);
    }
    // Once more: a file longer than what was written holds another writer's
    // bytes past ours, which are not cut. The new text is in place, with
    // theirs after it; the backup keeps the old text.
    struct stat done_st;
    if (::fstat(fd, &done_st) != 0 || done_st.st_size < 0) return end_written(new_size, new_size > old_size);
    if (static_cast<std::size_t>(done_st.st_size) != new_size) {
        out.changed_by_other = true;
        return keep_backup();
    }
    set_id.restore();
    if (::fsync(fd) != 0) return end_written(new_size, new_size > old_size);
    return finish(true);
}

}  // namespace

RewriteOutcome rewrite_regular_file(const std::string &path, const std::string &old_text, const std::string &new_text,
                                    const Interrupt &interrupt) {
    RewriteOutcome out;
    if (has_nul(path)) return out;
    // A symbolic link stays a link: the file it names is the one rewritten.
    std::string target = path;
    struct stat lst;
    if (::lstat(path.c_str(), &lst) != 0) return out;
    if (S_ISLNK(lst.st_mode)) {
        char *resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return out;
        target = resolved;
        std::free(resolved);
    }

    // The directory first: every later name is taken relative to it.
    const std::size_t slash = target.rfind('/');
    const std::string dir_name = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string leaf = target.substr(slash == std::string::npos ? 0 : slash + 1);
    Dir dir;
    if (!dir.open(dir_name.empty() ? "." : dir_name, dir_name)) return out;

    // The file itself must be writable: a writable directory alone would
    // let the rename replace a read-only file.
    const int fd = ::openat(dir.fd, leaf.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return out;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return out;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return out;
    Work w(interrupt);
    // Text that changed since it was read is not overwritten.
    if (!holds_exactly(fd, old_text, w, true)) return out;

    // Short enough for any file-name limit, hidden, and without the suffix
    // that the directory walks collect.
    const std::string stem = leaf.substr(0, 200);

    switch (replace_by_rename(dir, leaf, stem, fd, old_text, new_text, w, out.left_behind)) {
        case Renamed::yes:
            out.done = true;
            return out;
        case Renamed::failed:
            return out;
        case Renamed::not_taken:
            break;
    }
    return write_in_place(fd, dir, leaf, stem, old_text, new_text, w);
}

}  // namespace file_access
}  // namespace qel

// Rewriting a regular file in place of its old contents, keeping the file
// the same file, and never losing its old contents on a failed write.
//
// Two roads lead there. Replacing the file by a renamed temporary copy is
// atomic, but it makes a new inode; that is only taken when the new inode
// cannot be told from the old one (a single name; the same owner, group,
// mode, inode flags and extended attributes; a directory that allows the
// rename and the removal of the copy). When the copy cannot be written for
// lack of room, the call ends there: the file is as it was.
//
// Otherwise the file itself is overwritten from the first changed byte.
// Before that, the old contents go to a backup file (next to the file where
// the directory allows it, else in the temporary directory) and the room for
// the new text is reserved. A copy-on-write file system may still run out
// of room part-way (a reservation there does not cover overwritten blocks);
// the old bytes are then put back, and where even that fails the backup is
// kept and named.
#include "../file_access.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace qel {
namespace file_access {

namespace {

// Bytes written between two calls of the interrupt while a copy is made.
constexpr std::size_t kWriteChunk = std::size_t(4) << 20;

// Writes [p, p + left) at the descriptor's offset, calling the interrupt
// between chunks. 0, or the errno of the write that failed.
int write_all(int fd, const char *p, std::size_t left, const Interrupt &interrupt) {
    bool first = true;
    while (left > 0) {
        if (!first && interrupt) interrupt();
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

// True when the file open at fd holds exactly `text`, read to its end.
bool holds_exactly(int fd, const std::string &text) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<std::size_t>(st.st_size) != text.size()) return false;
    char buf[65536];
    std::size_t pos = 0;
    for (;;) {
        const ssize_t got = pread_some(fd, buf, sizeof buf, static_cast<off_t>(pos));
        if (got < 0) return false;
        if (got == 0) return pos == text.size();
        const std::size_t n = static_cast<std::size_t>(got);
        if (n > text.size() - pos || std::memcmp(buf, text.data() + pos, n) != 0) return false;
        pos += n;
    }
}

bool is_room_error(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

// The inode flags (those chattr sets) of the file open at fd; 0 where the
// file system has none. False when they cannot be read.
bool inode_flags(int fd, int &flags) {
    flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) return true;
    flags = 0;
    return errno == ENOTTY || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS;
}

// True when the caller may remove again a file it makes in the directory
// open at dfd: the directory is neither append-only nor immutable (where
// both a rename over a file and an unlink fail). A directory whose flags
// cannot be read does not count.
bool removal_allowed(int dfd) {
    int flags;
    return dfd >= 0 && inode_flags(dfd, flags) && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
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

// A file of our own (a temporary copy or a backup), made exclusively with
// mode 0600 from a mkostemp template. It is removed by remove(), whose
// failure the caller handles; the destructor only removes a file still
// named when an exception (a stopped call) leaves the rewrite.
class OwnFile {
public:
    OwnFile() = default;
    OwnFile(const OwnFile &) = delete;
    OwnFile &operator=(const OwnFile &) = delete;
    ~OwnFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    // Makes the file; false (nothing made) when that fails.
    bool create(std::string name_template) {
        name_ = std::move(name_template);
        fd_ = ::mkostemp(&name_[0], O_CLOEXEC);
        if (fd_ < 0) name_.clear();
        return fd_ >= 0;
    }
    int fd() const { return fd_; }
    const std::string &name() const { return name_; }
    // Closes the descriptor and reports whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    // Removes the file (closing it first); true when nothing is left.
    bool remove() {
        if (fd_ >= 0) close();
        if (name_.empty()) return true;
        if (::unlink(name_.c_str()) != 0 && errno != ENOENT) return false;
        name_.clear();
        return true;
    }
    // Renames the closed file over target; afterwards nothing is removed.
    bool rename_to(const std::string &target) {
        if (::rename(name_.c_str(), target.c_str()) != 0) return false;
        name_.clear();
        return true;
    }
    // Forgets the file: it stays where it is.
    void keep() { name_.clear(); }

private:
    std::string name_;
    int fd_ = -1;
};

struct Dir {
    std::string prefix;  // the directory with a trailing '/', or empty for "."
    int fd = -1;         // open for reading, or -1
    ~Dir() {
        if (fd >= 0) ::close(fd);
    }
};

void fsync_dir(const Dir &dir) {
    // Makes a new or removed name durable; the data is in place either way.
    if (dir.fd >= 0) ::fsync(dir.fd);
}

enum class Renamed { yes, not_taken, failed };

bool same_inode(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Replaces the file at target (no symbolic link; open at fd, described by
// st, holding old_text) by a temporary file holding text, when the
// replacement keeps everything the file is known by. not_taken (the
// temporary file removed, the original untouched) when any part of that
// cannot be had; failed when the call must end with the original untouched:
// no room for the copy, the file changed meanwhile, or a copy that could
// not be removed again (its name then in left_behind).
Renamed replace_by_rename(const std::string &target, const Dir &dir, const std::string &base, int fd,
                          const struct stat &st, const std::string &old_text, const std::string &text,
                          const Interrupt &interrupt, std::string &left_behind) {
    // Another name of the file would keep the old inode and the old text.
    if (st.st_nlink != 1) return Renamed::not_taken;
    // Where the copy could not be removed again, it is not made.
    if (!removal_allowed(dir.fd)) return Renamed::not_taken;
    std::map<std::string, std::string> xattrs;
    if (!read_xattrs(fd, xattrs)) return Renamed::not_taken;
    int flags;
    if (!inode_flags(fd, flags)) return Renamed::not_taken;
    // In a sticky directory only the owner of the file or of the directory
    // may rename over the file, or remove a copy given to another owner.
    struct stat dst;
    if (::fstat(dir.fd, &dst) != 0) return Renamed::not_taken;
    if ((dst.st_mode & S_ISVTX) != 0 && st.st_uid != ::geteuid() && dst.st_uid != ::geteuid()) {
        return Renamed::not_taken;
    }

    OwnFile tmp;
    if (!tmp.create(dir.prefix + "." + base + ".tmp-XXXXXX")) return Renamed::not_taken;
    // Every exit before the rename removes the copy; one that cannot be
    // removed ends the call.
    auto give_up = [&](Renamed why) {
        if (tmp.remove()) return why;
        left_behind = tmp.name();
        tmp.keep();
        return Renamed::failed;
    };

    // Inode flags before the data: some (no copy-on-write, compression)
    // only take effect on data written after them.
    int tmp_flags;
    if (!inode_flags(tmp.fd(), tmp_flags)) return give_up(Renamed::not_taken);
    if (tmp_flags != flags && ::ioctl(tmp.fd(), FS_IOC_SETFLAGS, &flags) != 0) return give_up(Renamed::not_taken);

    // Lack of room for the copy is final: the in-place road would need the
    // same room, and on a copy-on-write file system it could not even put
    // the old bytes back.
    const int werr = write_all(tmp.fd(), text.data(), text.size(), interrupt);
    if (werr != 0) return give_up(is_room_error(werr) ? Renamed::failed : Renamed::not_taken);

    // Attributes and mode while the caller still owns the copy; then owner
    // and group, whose change clears the set-id bits, which the mode then
    // restores. Whether all of it took is read back rather than assumed:
    // the kernel drops what the caller may not set (a set-group-id bit for
    // a group the caller is not in) without an error.
    const mode_t mode = st.st_mode & 07777;
    if (!set_xattrs(tmp.fd(), xattrs)) return give_up(Renamed::not_taken);
    if (::fchmod(tmp.fd(), mode) != 0) return give_up(Renamed::not_taken);
    struct stat made;
    if (::fstat(tmp.fd(), &made) != 0) return give_up(Renamed::not_taken);
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid) {
        const uid_t uid = made.st_uid != st.st_uid ? st.st_uid : static_cast<uid_t>(-1);
        const gid_t gid = made.st_gid != st.st_gid ? st.st_gid : static_cast<gid_t>(-1);
        if (::fchown(tmp.fd(), uid, gid) != 0) return give_up(Renamed::not_taken);
        if (::fstat(tmp.fd(), &made) != 0) return give_up(Renamed::not_taken);
        if ((made.st_mode & 07777) != mode && ::fchmod(tmp.fd(), mode) != 0) return give_up(Renamed::not_taken);
        if (::fstat(tmp.fd(), &made) != 0) return give_up(Renamed::not_taken);
    }
    std::map<std::string, std::string> copied;
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid || (made.st_mode & 07777) != mode ||
        !read_xattrs(tmp.fd(), copied) || copied != xattrs) {
        return give_up(Renamed::not_taken);
    }
    // A copy-on-write file system may report the lack of room only here.
    if (::fsync(tmp.fd()) != 0) return give_up(is_room_error(errno) ? Renamed::failed : Renamed::not_taken);
    // Flags the file system sets by itself (inline data, extents) must
    // match too.
    if (!inode_flags(tmp.fd(), tmp_flags) || tmp_flags != flags) return give_up(Renamed::not_taken);
    if (!tmp.close()) return give_up(is_room_error(errno) ? Renamed::failed : Renamed::not_taken);

    // The last moment: the name must still lead to the file that was read,
    // and that file must still hold the text that was read.
    struct stat now;
    if (::lstat(target.c_str(), &now) != 0 || !same_inode(now, st)) return give_up(Renamed::failed);
    if (!holds_exactly(fd, old_text)) return give_up(Renamed::failed);
    // A rename that fails all the same (refused by a security module, the
    // directory changed meanwhile) leaves the original where it was.
    if (!tmp.rename_to(target)) return give_up(Renamed::not_taken);
    fsync_dir(dir);
    return Renamed::yes;
}

// Writes a backup of old_text, the contents of the file open at fd, into
// the directory `dir`: made exclusively with mode 0600, written in full and
// made durable. Where the file system shares blocks between files, the
// backup is a clone of the file, which needs no room for its data. True
// with the backup open in `backup`; false with nothing made, or with the
// name of a part-written backup that could not be removed in left_behind.
bool write_backup(const Dir &dir, const std::string &base, int fd, const std::string &old_text,
                  const Interrupt &interrupt, OwnFile &backup, std::string &left_behind) {
    if (!removal_allowed(dir.fd)) return false;
    if (!backup.create(dir.prefix + "." + base + ".bak-XXXXXX")) return false;
    bool written = ::ioctl(backup.fd(), FICLONE, fd) == 0 && holds_exactly(backup.fd(), old_text);
    if (!written) {
        written = ::ftruncate(backup.fd(), 0) == 0 &&
                  write_all(backup.fd(), old_text.data(), old_text.size(), interrupt) == 0;
    }
    if (written && ::fsync(backup.fd()) == 0) {
        fsync_dir(dir);
        return true;
    }
    if (!backup.remove()) {
        left_behind = backup.name();
        backup.keep();
    }
    return false;
}

Dir open_dir(std::string prefix) {
    Dir d;
    d.prefix = std::move(prefix);
    d.fd = ::open(d.prefix.empty() ? "." : d.prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return d;
}

// The user's temporary directory: TMPDIR, else the system's.
std::string temp_dir_prefix() {
    const char *env = std::getenv("TMPDIR");
    std::string dir = env != nullptr && env[0] != '\0' ? env : P_tmpdir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.back() != '/') dir += '/';
    return dir;
}

// Puts old_text back into the file open at fd, which the in-place write
// changed from byte `first` on: the old length first (which also frees a
// reservation past it). Where the file system shares blocks, the blocks of
// the backup (open at backup_fd) are cloned into the file, which needs no
// room for data; otherwise only the blocks that differ are written again
// (on a copy-on-write file system every rewritten block needs new room).
// True when the file holds old_text again, on disk.
bool put_back(int fd, const std::string &old_text, std::size_t first, int backup_fd) {
    bool ok = ::ftruncate(fd, static_cast<off_t>(old_text.size())) == 0;
    if (ok && !old_text.empty()) {
        struct file_clone_range range;
        range.src_fd = backup_fd;
        range.src_offset = 0;
        range.src_length = 0;  // to the end of the backup
        range.dest_offset = 0;
        if (::ioctl(fd, FICLONERANGE, &range) == 0 && ::fsync(fd) == 0 && holds_exactly(fd, old_text)) return true;
    }
    constexpr std::size_t kBlock = 4096;
    char buf[kBlock];
    for (std::size_t pos = first - first % kBlock; pos < old_text.size(); pos += kBlock) {
        const std::size_t n = std::min(kBlock, old_text.size() - pos);
        const ssize_t got = pread_some(fd, buf, n, static_cast<off_t>(pos));
        if (got == static_cast<ssize_t>(n) && std::memcmp(buf, old_text.data() + pos, n) == 0) continue;
        if (!pwrite_all(fd, old_text.data() + pos, n, static_cast<off_t>(pos))) ok = false;
    }
    if (::fsync(fd) != 0) ok = false;
    return ok && holds_exactly(fd, old_text);
}

// The kernel clears the set-user-id and set-group-id bits when a caller
// without CAP_FSETID writes; where the caller owns the file it may set them
// again.
void restore_mode(int fd, const struct stat &st) {
    struct stat now;
    if (::fstat(fd, &now) != 0 || (now.st_mode & 07777) == (st.st_mode & 07777) || st.st_uid != ::geteuid()) return;
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        // The text is in place; the README says what the kernel clears.
    }
}

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

// True when the file open at fd holds old_text followed by `zeros` NUL
// bytes and nothing else.
bool holds_with_zero_tail(int fd, const std::string &old_text, std::size_t zeros) {
    if (zeros == 0) return holds_exactly(fd, old_text);
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<std::size_t>(st.st_size) != old_text.size() + zeros) {
        return false;
    }
    char buf[65536];
    std::size_t pos = 0;
    const std::size_t size = old_text.size() + zeros;
    while (pos < size) {
        const ssize_t got = pread_some(fd, buf, std::min(sizeof buf, size - pos), static_cast<off_t>(pos));
        if (got <= 0) return false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i, ++pos) {
            if (buf[i] != (pos < old_text.size() ? old_text[pos] : '\0')) return false;
        }
    }
    return true;
}

// Overwrites the file open at fd (described by st, holding old_text) with
// new_text, after a backup of the old text and the reservation of room.
RewriteOutcome write_in_place(int fd, const struct stat &st, const Dir &dir, const std::string &base,
                              const std::string &old_text, const std::string &new_text,
                              const Interrupt &interrupt) {
    RewriteOutcome out;
    const std::size_t common = std::min(old_text.size(), new_text.size());
    std::size_t first = 0;
    while (first < common && old_text[first] == new_text[first]) ++first;
    if (first == old_text.size() && first == new_text.size()) {
        out.done = true;
        return out;
    }

    // The backup, next to the file where the directory allows it, else in
    // the temporary directory (also when the file's directory has no room).
    OwnFile backup;
    if (!write_backup(dir, base, fd, old_text, interrupt, backup, out.left_behind)) {
        if (!out.left_behind.empty()) return out;
        const Dir tmp_dir = open_dir(temp_dir_prefix());
        if (!write_backup(tmp_dir, base, fd, old_text, interrupt, backup, out.left_behind)) return out;
    }
    // Ends the call with the backup removed, or kept and named when it
    // cannot be removed (it holds the old text either way).
    auto finish = [&](bool done) {
        out.done = done;
        if (!backup.remove()) {
            (done ? out.left_behind : out.kept_backup) = backup.name();
            backup.keep();
        }
        return out;
    };

    const off_t old_size = static_cast<off_t>(old_text.size());
    const off_t new_size = static_cast<off_t>(new_text.size());
    const off_t from = static_cast<off_t>(first);
    bool extended = false;
    const bool reserved = new_size <= from || reserve(fd, from, old_size, new_size, extended);
    const std::size_t zeros = extended ? new_text.size() - old_text.size() : 0;

    // The last moment before the first old byte is overwritten: the file
    // must still hold the text that was read (after our own reservation).
    // Another writer changed it: what is there now is left as it is.
    if (reserved && !holds_with_zero_tail(fd, old_text, zeros)) return finish(false);

    bool done = reserved && pwrite_all(fd, new_text.data() + first, new_text.size() - first, from) &&
                ::ftruncate(fd, new_size) == 0;
    if (done) {
        restore_mode(fd, st);
        done = ::fsync(fd) == 0;
    }
    if (done) return finish(true);

    // Always, also when nothing was overwritten: a reservation may have
    // moved the end, and a write may have changed bytes before it failed.
    const bool restored = put_back(fd, old_text, first, backup.fd());
    restore_mode(fd, st);
    if (restored) return finish(false);
    out.kept_backup = backup.name();
    backup.keep();
    return out;
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

    // The file itself must be writable: a writable directory alone would
    // let the rename replace a read-only file.
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return out;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return out;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return out;
    // Text that changed since it was read is not overwritten.
    if (!holds_exactly(fd, old_text)) return out;

    const std::size_t slash = target.rfind('/');
    const Dir dir = open_dir(slash == std::string::npos ? std::string() : target.substr(0, slash + 1));
    // Short enough for any file-name limit, hidden, and without the suffix
    // that the directory walks collect.
    const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 200);

    switch (replace_by_rename(target, dir, base, fd, st, old_text, new_text, interrupt, out.left_behind)) {
        case Renamed::yes:
            out.done = true;
            return out;
        case Renamed::failed:
            return out;
        case Renamed::not_taken:
            break;
    }
    return write_in_place(fd, st, dir, base, old_text, new_text, interrupt);
}

}  // namespace file_access
}  // namespace qel

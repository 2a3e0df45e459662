// Rewriting a regular file in place of its old contents, keeping the file
// the same file.
//
// Two roads lead there. Replacing the file by a renamed temporary copy is
// atomic, but it makes a new inode; that is only taken when the new inode
// cannot be told from the old one (a single name; the same owner, group,
// mode and extended attributes; a rename the directory allows). Otherwise
// the file itself is overwritten from the first changed byte, with the room
// for the new text reserved first, so that a full disk or a quota shows
// before any old byte is lost.
#include "../file_access.h"

#include <fcntl.h>
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

bool write_all(int fd, const char *p, std::size_t left) {
    while (left > 0) {
        const ssize_t put = ::write(fd, p, left);
        if (put > 0) {
            p += put;
            left -= static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
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

// True when the file open at fd holds exactly `text`, read to its end.
bool holds_exactly(int fd, const std::string &text) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<std::size_t>(st.st_size) != text.size()) return false;
    char buf[65536];
    std::size_t pos = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buf, sizeof buf, static_cast<off_t>(pos));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return pos == text.size();
        const std::size_t n = static_cast<std::size_t>(got);
        if (n > text.size() - pos || std::memcmp(buf, text.data() + pos, n) != 0) return false;
        pos += n;
    }
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

// A temporary file next to the file it will replace; removed again unless
// it was renamed into place.
class TempFile {
public:
    explicit TempFile(std::string name_template) : name_(std::move(name_template)) {
        fd_ = ::mkostemp(&name_[0], O_CLOEXEC);
        if (fd_ < 0) name_.clear();
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Closes the descriptor and reports whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    // Renames the closed file over target; afterwards nothing is removed.
    bool rename_to(const std::string &target) {
        if (::rename(name_.c_str(), target.c_str()) != 0) return false;
        name_.clear();
        return true;
    }

private:
    std::string name_;
    int fd_ = -1;
};

enum class Renamed { yes, not_taken, refused };

bool same_inode(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Replaces the file at target (no symbolic link; open at fd, described by
// st) by a temporary file holding text, when the replacement keeps
// everything the file is known by. not_taken (the temporary file removed,
// the original untouched) when any part of that cannot be had; refused
// when the name no longer leads to the file at fd.
Renamed replace_by_rename(const std::string &target, int fd, const struct stat &st, const std::string &text) {
    // Another name of the file would keep the old inode and the old text.
    if (st.st_nlink != 1) return Renamed::not_taken;
    std::map<std::string, std::string> xattrs;
    if (!read_xattrs(fd, xattrs)) return Renamed::not_taken;

    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // Short enough for any file-name limit, hidden, and without the suffix
    // that the directory walks collect.
    const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 200);
    // In a sticky directory only the owner of the file or of the directory
    // may rename over the file, or remove a copy given to another owner.
    struct stat dst;
    if (::stat(dir.empty() ? "." : dir.c_str(), &dst) != 0) return Renamed::not_taken;
    if ((dst.st_mode & S_ISVTX) != 0 && st.st_uid != ::geteuid() && dst.st_uid != ::geteuid()) {
        return Renamed::not_taken;
    }
    TempFile tmp(dir + "." + base + ".tmp-XXXXXX");
    if (!tmp.is_open()) return Renamed::not_taken;
    if (!write_all(tmp.fd(), text.data(), text.size())) return Renamed::not_taken;

    // Attributes and mode while the caller still owns the copy; then owner
    // and group, whose change clears the set-id bits, which the mode then
    // restores. Whether all of it took is read back rather than assumed:
    // the kernel drops what the caller may not set (a set-group-id bit for
    // a group the caller is not in) without an error.
    const mode_t mode = st.st_mode & 07777;
    if (!set_xattrs(tmp.fd(), xattrs)) return Renamed::not_taken;
    if (::fchmod(tmp.fd(), mode) != 0) return Renamed::not_taken;
    struct stat made;
    if (::fstat(tmp.fd(), &made) != 0) return Renamed::not_taken;
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid) {
        const uid_t uid = made.st_uid != st.st_uid ? st.st_uid : static_cast<uid_t>(-1);
        const gid_t gid = made.st_gid != st.st_gid ? st.st_gid : static_cast<gid_t>(-1);
        if (::fchown(tmp.fd(), uid, gid) != 0) return Renamed::not_taken;
        if (::fstat(tmp.fd(), &made) != 0) return Renamed::not_taken;
        if ((made.st_mode & 07777) != mode && ::fchmod(tmp.fd(), mode) != 0) return Renamed::not_taken;
        if (::fstat(tmp.fd(), &made) != 0) return Renamed::not_taken;
    }
    std::map<std::string, std::string> copied;
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid || (made.st_mode & 07777) != mode ||
        !read_xattrs(tmp.fd(), copied) || copied != xattrs) {
        return Renamed::not_taken;
    }
    if (::fsync(tmp.fd()) != 0) return Renamed::not_taken;
    if (!tmp.close()) return Renamed::not_taken;

    // The name must still lead to the file that was checked.
    struct stat now;
    if (::lstat(target.c_str(), &now) != 0 || !same_inode(now, st)) return Renamed::refused;
    // A rename that fails all the same (refused by a security module, the
    // directory changed meanwhile) leaves the original where it was.
    if (!tmp.rename_to(target)) return Renamed::not_taken;

    // Make the rename itself durable; the new file is in place either way.
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return Renamed::yes;
}

// Overwrites the file open at fd, holding old_text, with new_text. The room
// for the changed tail is reserved first; a failure there leaves the file as
// it was. After the first byte is overwritten, a failure puts the old bytes
// back as far as that still goes.
bool write_in_place(int fd, const std::string &old_text, const std::string &new_text) {
    const std::size_t common = std::min(old_text.size(), new_text.size());
    std::size_t first = 0;
    while (first < common && old_text[first] == new_text[first]) ++first;
    if (first == old_text.size() && first == new_text.size()) return true;
    const off_t old_size = static_cast<off_t>(old_text.size());
    const off_t new_size = static_cast<off_t>(new_text.size());
    const off_t from = static_cast<off_t>(first);

    // Blocks for everything that will be written, holes of a sparse file
    // included; beyond the old end this also sets the new size.
    if (new_size > from) {
        int err;
        do {
            err = ::posix_fallocate(fd, from, new_size - from);
        } while (err == EINTR);
        if (err != 0) {
            // A partial reservation may have moved the end; the old bytes
            // are all still there.
            struct stat st;
            if (::fstat(fd, &st) == 0 && st.st_size != old_size) {
                if (::ftruncate(fd, old_size) != 0) {
                    // Nothing more to do: the old bytes are in place.
                }
            }
            return false;
        }
    }

    if (pwrite_all(fd, new_text.data() + first, new_text.size() - first, from) && ::ftruncate(fd, new_size) == 0 &&
        ::fsync(fd) == 0) {
        return true;
    }
    // Best effort: the old tail back, the old length, on disk.
    if (pwrite_all(fd, old_text.data() + first, old_text.size() - first, from) && ::ftruncate(fd, old_size) == 0) {
        ::fsync(fd);
    }
    return false;
}

}  // namespace

bool rewrite_regular_file(const std::string &path, const std::string &old_text, const std::string &new_text) {
    if (has_nul(path)) return false;
    // A symbolic link stays a link: the file it names is the one rewritten.
    std::string target = path;
    struct stat lst;
    if (::lstat(path.c_str(), &lst) != 0) return false;
    if (S_ISLNK(lst.st_mode)) {
        char *resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return false;
        target = resolved;
        std::free(resolved);
    }

    // The file itself must be writable: a writable directory alone would
    // let the rename replace a read-only file.
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    // Text that changed since it was read is not overwritten.
    if (!holds_exactly(fd, old_text)) return false;

    switch (replace_by_rename(target, fd, st, new_text)) {
        case Renamed::yes:
            return true;
        case Renamed::refused:
            return false;
        case Renamed::not_taken:
            break;
    }
    return write_in_place(fd, old_text, new_text);
}

}  // namespace file_access
}  // namespace qel

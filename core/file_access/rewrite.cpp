// Rewriting a regular file in place of its old contents.
#include "../file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qel {
namespace file_access {

namespace {

bool write_all(int fd, const std::string &data) {
    const char *p = data.data();
    std::size_t left = data.size();
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

// Replaces the file at path by text. The original is never truncated: the
// text goes to a temporary file in the same directory, which is synced and
// renamed over the original. False on any failure, the original unchanged.
bool replace_by_rename(const std::string &path, const std::string &text) {
    // A symbolic link stays a link: the file it names is the one replaced.
    std::string target = path;
    struct stat lst;
    if (::lstat(path.c_str(), &lst) != 0) return false;
    if (S_ISLNK(lst.st_mode)) {
        char *resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return false;
        target = resolved;
        std::free(resolved);
    }

    // The original must be writable as such, as for a write in place.
    struct stat st;
    {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        ::close(fd);
        if (!ok) return false;
    }

    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // Short enough for any file-name limit, hidden, and without the suffix
    // that the directory walks collect.
    const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 200);
    TempFile tmp(dir + "." + base + ".tmp-XXXXXX");
    if (!tmp.is_open()) return false;

    if (!write_all(tmp.fd(), text)) return false;
    // Owner first: a change of owner clears the set-id bits that the mode
    // then restores. Only a privileged caller can give the file away; the
    // mode is kept in any case.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
        if (::fchown(tmp.fd(), st.st_uid, st.st_gid) != 0) {
            // Not permitted: the file keeps the caller as its owner.
        }
    }
    if (::fchmod(tmp.fd(), st.st_mode & 07777) != 0) return false;
    if (::fsync(tmp.fd()) != 0) return false;
    if (!tmp.close()) return false;
    if (!tmp.rename_to(target)) return false;

    // Make the rename itself durable; the new file is in place either way.
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace

bool rewrite_regular_file(const std::string &path, const std::string &old_text, const std::string &new_text) {
    (void)old_text;
    if (has_nul(path)) return false;
    return replace_by_rename(path, new_text);
}

}  // namespace file_access
}  // namespace qel

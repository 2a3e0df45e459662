// Opening and reading regular files.
#include "../file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace qel {
namespace file_access {

namespace {

// A descriptor open for reading on a regular file, or -1. O_NONBLOCK keeps
// the open of a FIFO from waiting for a writer; the type is checked on the
// opened descriptor, and reads from a regular file then block as usual.
int open_regular_for_reading(const std::string &path) {
    if (has_nul(path)) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool has_nul(const std::string &path) { return path.find('\0') != std::string::npos; }

bool is_readable_regular_file(const std::string &path) {
    const int fd = open_regular_for_reading(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool read_regular_file(const std::string &path, std::string &out) {
    const int fd = open_regular_for_reading(path);
    if (fd < 0) return false;
    std::string text;
    struct stat st;
    // The size is a hint only (the file may grow or shrink while it is read).
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size < (off_t(1) << 26)) {
        text.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) {
            text.append(buf, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    if (ok) out = std::move(text);
    return ok;
}

}  // namespace file_access
}  // namespace qel

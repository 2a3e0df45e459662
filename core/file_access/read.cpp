// Opening and reading regular files.
#include "../file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace qel {
namespace file_access {

namespace {

// Closes a descriptor when the scope ends, also when the interrupt throws.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Bytes asked of one read.
constexpr std::size_t kReadBufferBytes = 65536;

void poll(const Interrupt &interrupt) {
    if (interrupt) interrupt();
}

// A descriptor open for reading on a regular file, or -1. O_NONBLOCK keeps
// the open of a FIFO from waiting for a writer; the type is checked on the
// opened descriptor, and reads from a regular file then block as usual. An
// open that a signal interrupts (possible on network and FUSE file systems)
// runs the interrupt and is tried again.
int open_regular_for_reading(const std::string &path, const Interrupt &interrupt) {
    if (has_nul(path)) return -1;
    int fd;
    for (;;) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 || errno != EINTR) break;
        poll(interrupt);
    }
    if (fd < 0) return -1;
    Descriptor guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
    return guard.release();
}

}  // namespace

std::string PathError::joined(const std::vector<Part> &parts) {
    std::string text;
    for (const Part &p : parts) text += p.bytes;
    return text;
}

PathError::PathError(std::vector<Part> parts)
    : std::runtime_error(joined(parts)), parts_(std::make_shared<const std::vector<Part>>(std::move(parts))) {}

PathError::PathError(const std::string &before, const std::string &path, const std::string &after)
    : PathError(std::vector<Part>{{before, false}, {path, true}, {after, false}}) {}

PathError::PathError(const std::string &before, const PathError &inner)
    : PathError([&] {
          std::vector<Part> parts{{before, false}};
          parts.insert(parts.end(), inner.parts().begin(), inner.parts().end());
          return parts;
      }()) {}

bool has_nul(const std::string &path) { return path.find('\0') != std::string::npos; }

bool is_readable_regular_file(const std::string &path, const Interrupt &interrupt) {
    const int fd = open_regular_for_reading(path, interrupt);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool read_regular_file(const std::string &path, std::string &out, const Interrupt &interrupt) {
    const int fd = open_regular_for_reading(path, interrupt);
    if (fd < 0) return false;
    const Descriptor guard(fd);
    std::string text;
    struct stat st;
    // The size is a hint only (the file may grow or shrink while it is read).
    // The room for all of it is taken at once, whatever the size: a text
    // that grows by doubling copies itself in stretches that cannot call
    // the interrupt, a tenth of a second each for a few hundred megabytes.
    // A size that cannot be had (a sparse file larger than memory, or a
    // size a file system reports wrongly) leaves the text to grow as it is
    // read.
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        try {
            text.reserve(static_cast<std::size_t>(st.st_size));
        } catch (const std::length_error &) {
        } catch (const std::bad_alloc &) {
        }
    }
    // On the heap: readers nest when signal handlers re-enter them, and the
    // stack frames of all levels add up.
    const std::unique_ptr<char[]> buf(new char[kReadBufferBytes]);
    std::size_t since_poll = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buf.get(), kReadBufferBytes);
        if (got > 0) {
            text.append(buf.get(), static_cast<std::size_t>(got));
            since_poll += static_cast<std::size_t>(got);
            // A short read is the end of the file, or a file that delivers
            // as data comes in and may block in the next read: the signals
            // that came in meanwhile are handled before that.
            if (since_poll >= kReadPollBytes || static_cast<std::size_t>(got) < kReadBufferBytes) {
                since_poll = 0;
                poll(interrupt);
            }
        } else if (got == 0) {
            break;
        } else if (errno == EINTR) {
            poll(interrupt);
        } else {
            return false;
        }
    }
    out = std::move(text);
    return true;
}

}  // namespace file_access
}  // namespace qel

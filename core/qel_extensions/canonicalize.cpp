// In-place upgrade of legacy Fourier-series files whose first numeric row
// has three columns. The new text is written to a temporary file that
// replaces the original by rename, so a failed write never loses the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "internal.h"

namespace qel {
namespace qelext {

using detail::has_nul;

bool is_comment_or_blank(const std::string &line) {
    for (const char c : line) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        return c == '%';
    }
    return true;
}

std::optional<std::vector<double>> parse_floats_line(const std::string &line) {
    std::istringstream in(line);
    in.imbue(std::locale::classic());
    std::vector<double> values;
    double v;
    while (in >> v) values.push_back(v);
    if (values.empty()) return std::nullopt;
    return values;
}

namespace {

// The complete contents of a regular file, read to its end. False for
// anything else: a file that won't open, a directory or device, a read error.
bool read_regular_file(const std::string &path, std::string &out) {
    if (has_nul(path)) return false;
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Ordinary blocking reads from here on.
    if (ok) {
        const int flags = ::fcntl(fd, F_GETFL);
        ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    }
    std::string text;
    char buf[65536];
    while (ok) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) {
            text.append(buf, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
        }
    }
    ::close(fd);
    if (ok) out = std::move(text);
    return ok;
}

// Lines split at '\n'; a carriage return stays in its line, a last line
// without '\n' counts, the empty text after a final '\n' does not.
std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.emplace_back(text, pos, end - pos);
        pos = end + 1;
    }
    return lines;
}

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
bool replace_file_contents(const std::string &path, const std::string &text) {
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

struct NumericRow {
    std::size_t line;
    std::size_t count;  // 3 or 6
};

}  // namespace

CanonicalizeResult canonicalize_fseries_file_inplace(const std::string &path) {
    std::string text;
    if (!read_regular_file(path, text)) throw std::runtime_error("cannot open file: " + path);
    std::vector<std::string> lines = split_lines(text);

    std::vector<NumericRow> rows;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (is_comment_or_blank(lines[i])) continue;
        const auto values = parse_floats_line(lines[i]);
        if (values && (values->size() == 3 || values->size() == 6)) rows.push_back({i, values->size()});
    }

    CanonicalizeResult r;
    r.path = path;
    r.found_numeric_rows = static_cast<int>(std::min<std::size_t>(rows.size(), INT_MAX));
    r.changed = false;
    if (rows.empty()) {
        r.reason = "no numeric rows found";
        return r;
    }
    if (rows[0].count == 6) {
        r.reason = "already has 6-column j=0 row";
        return r;
    }
    if (rows.size() < 2) {
        r.reason = "no second numeric row";
        return r;
    }
    if (rows[1].count == 3) {
        r.reason = "file appears to be 3-column legacy throughout; not auto-converted";
        return r;
    }

    std::string zero_row;
    for (int c = 0; c < 6; ++c) zero_row += "    0.000000";
    lines[rows[0].line] = zero_row;
    std::string out;
    out.reserve(text.size() + zero_row.size() + 1);
    for (const std::string &ln : lines) {
        out += ln;
        out += '\n';
    }
    if (!replace_file_contents(path, out)) throw std::runtime_error("cannot write file: " + path);
    r.changed = true;
    r.reason = "upgraded leading 3-col zeros row to 6-col j=0 row";
    return r;
}

}  // namespace qelext
}  // namespace qel

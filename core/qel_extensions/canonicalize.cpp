// In-place upgrade of legacy Fourier-series files whose first numeric row
// has three columns; the file is rewritten through file_access, which keeps
// its identity and never loses it on a failed write.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <locale>
#include <streambuf>
#include <stdexcept>
#include <utility>

#include "../file_access.h"
#include "internal.h"

namespace qel {
namespace qelext {

bool is_comment_or_blank(const std::string &line) {
    for (const char c : line) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        return c == '%';
    }
    return true;
}

namespace {

// Work units (bytes) of text between two calls of the interrupt: well under
// a millisecond of scanning, a few milliseconds of number reading.
constexpr std::size_t kTextPollBytes = std::size_t(1) << 18;
// Bytes of a line that the number reader sees at a time. The reader takes
// many times longer per byte than the scans for line ends and blanks, so a
// window counts kWindowWeight times its bytes.
constexpr std::size_t kWindowBytes = std::size_t(16) << 10;
constexpr std::size_t kWindowWeight = 8;

// Counts the bytes examined and calls the interrupt every kTextPollBytes.
class TextMeter {
public:
    explicit TextMeter(const Interrupt &interrupt) : interrupt_(interrupt) {}
    void add(std::size_t bytes) {
        done_ += bytes;
        if (done_ >= kTextPollBytes) {
            done_ = 0;
            if (interrupt_) interrupt_();
        }
    }

private:
    const Interrupt &interrupt_;
    std::size_t done_ = 0;
};

// A read-only stream buffer over [begin, end) of a text, which the stream
// sees one window at a time; each new window is counted by the meter, so a
// long line is read with the interrupt called in between. The stream's own
// extraction does the reading, exactly as over a copy of the line; an
// exception from the interrupt leaves the extraction as thrown (the stream
// rethrows it, its exceptions() including badbit).
class TextWindows : public std::streambuf {
public:
    TextWindows(const char *begin, const char *end, TextMeter &meter) : next_(begin), end_(end), meter_(meter) {}

protected:
    int_type underflow() override {
        if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (next_ == end_) return traits_type::eof();
        const std::size_t n = std::min(kWindowBytes, static_cast<std::size_t>(end_ - next_));
        meter_.add(n * kWindowWeight);
        char *b = const_cast<char *>(next_);  // only ever read
        next_ += n;
        setg(b, b, b + n);
        return traits_type::to_int_type(*gptr());
    }

private:
    const char *next_;
    const char *end_;
    TextMeter &meter_;
};

// Reads doubles from [begin, end) with the standard formatted extraction in
// the classic locale until one fails or `limit` are read; each is passed to
// `keep` (when given). The count read.
std::size_t read_numbers(const char *begin, const char *end, std::size_t limit, TextMeter &meter,
                         std::vector<double> *keep) {
    TextWindows windows(begin, end, meter);
    std::istream in(&windows);
    in.imbue(std::locale::classic());
    in.exceptions(std::ios::badbit);
    std::size_t count = 0;
    double v;
    while (count < limit && in >> v) {
        if (keep != nullptr) keep->push_back(v);
        ++count;
    }
    return count;
}

// The length of the line that starts at p (up to the next '\n' or the end).
std::size_t line_length(const char *p, std::size_t left, TextMeter &meter) {
    std::size_t len = 0;
    while (len < left) {
        const std::size_t n = std::min(kTextPollBytes, left - len);
        const void *nl = std::memchr(p + len, '\n', n);
        if (nl != nullptr) {
            const std::size_t at = static_cast<std::size_t>(static_cast<const char *>(nl) - p);
            meter.add(at - len + 1);
            return at;
        }
        len += n;
        meter.add(n);
    }
    return len;
}

// The first character of [p, end) that is not blank as is_comment_or_blank
// sees it, or end.
const char *skip_blanks(const char *p, const char *end, TextMeter &meter) {
    while (p != end) {
        const char *stop = p + std::min(kTextPollBytes, static_cast<std::size_t>(end - p));
        const char *q = p;
        while (q != stop && (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r')) ++q;
        meter.add(static_cast<std::size_t>(q - p));
        if (q != stop) return q;
        p = q;
    }
    return end;
}

struct NumericRow {
    std::size_t begin, end;  // the line's bytes in the text, without its '\n'
    std::size_t count;       // 3 or 6
};

}  // namespace

std::optional<std::vector<double>> parse_floats_line(const std::string &line) {
    static const Interrupt none;
    TextMeter meter(none);
    std::vector<double> values;
    read_numbers(line.data(), line.data() + line.size(), SIZE_MAX, meter, &values);
    if (values.empty()) return std::nullopt;
    return values;
}

CanonicalizeResult canonicalize_fseries_file_inplace(const std::string &path, const Interrupt &interrupt) {
    std::string text;
    if (!file_access::read_regular_file(path, text, interrupt)) {
        throw file_access::PathError("cannot open file: ", path);
    }

    // Lines end at '\n'; a carriage return stays in its line, a last line
    // without '\n' counts, the empty text after a final '\n' does not. Only
    // the first two numeric rows decide, but every row is counted; a row
    // counts with exactly 3 or 6 numbers, so reading stops at the seventh.
    NumericRow rows[2] = {};
    std::size_t found = 0;
    TextMeter meter(interrupt);
    const char *data = text.data();
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t len = line_length(data + pos, text.size() - pos, meter);
        const char *end = data + pos + len;
        const char *c = skip_blanks(data + pos, end, meter);
        if (c != end && *c != '%') {
            const std::size_t count = read_numbers(c, end, 7, meter, nullptr);
            if (count == 3 || count == 6) {
                if (found < 2) rows[found] = {pos, pos + len, count};
                ++found;
            }
        }
        pos += len + 1;
    }

    CanonicalizeResult r;
    r.path = path;
    r.found_numeric_rows = static_cast<int>(std::min<std::size_t>(found, INT_MAX));
    r.changed = false;
    if (found == 0) {
        r.reason = "no numeric rows found";
        return r;
    }
    if (rows[0].count == 6) {
        r.reason = "already has 6-column j=0 row";
        return r;
    }
    if (found < 2) {
        r.reason = "no second numeric row";
        return r;
    }
    if (rows[1].count == 3) {
        r.reason = "file appears to be 3-column legacy throughout; not auto-converted";
        return r;
    }

    // The first numeric row becomes the zero row; every line ends in '\n'.
    std::string zero_row;
    for (int c = 0; c < 6; ++c) zero_row += "    0.000000";
    std::string out;
    out.reserve(text.size() + zero_row.size() + 1);
    auto append_polled = [&](std::size_t from, std::size_t to) {
        while (from < to) {
            const std::size_t n = std::min<std::size_t>(to - from, std::size_t(4) << 20);
            out.append(text, from, n);
            from += n;
            if (interrupt) interrupt();
        }
    };
    append_polled(0, rows[0].begin);
    out += zero_row;
    append_polled(rows[0].end, text.size());
    if (out.back() != '\n') out += '\n';
    if (interrupt) interrupt();
    const file_access::RewriteOutcome w = file_access::rewrite_regular_file(path, text, out, interrupt);
    using Part = file_access::PathError::Part;
    if (!w.kept_backup.empty()) {
        throw file_access::PathError(std::vector<Part>{{"cannot write file: ", false},
                                                       {path, true},
                                                       {" (its old contents are kept in ", false},
                                                       {w.kept_backup, true},
                                                       {")", false}});
    }
    const char *const other = "changed by another writer during the write";
    if (!w.done && !w.left_behind.empty()) {
        throw file_access::PathError(std::vector<Part>{{"cannot write file: ", false},
                                                       {path, true},
                                                       {w.changed_by_other ? std::string(" (") + other + "; cannot remove "
                                                                           : std::string(" (cannot remove "),
                                                        false},
                                                       {w.left_behind, true},
                                                       {")", false}});
    }
    if (!w.done && w.changed_by_other) {
        throw file_access::PathError("cannot write file: ", path, std::string(" (") + other + ")");
    }
    if (!w.done) throw file_access::PathError("cannot write file: ", path);
    if (!w.left_behind.empty()) throw file_access::PathError("cannot remove file: ", w.left_behind);
    r.changed = true;
    r.reason = "upgraded leading 3-col zeros row to 6-col j=0 row";
    return r;
}

}  // namespace qelext
}  // namespace qel

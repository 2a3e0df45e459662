// In-place upgrade of legacy Fourier-series files whose first numeric row
// has three columns; the file is rewritten through file_access, which keeps
// its identity and never loses it on a failed write.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstddef>
#include <locale>
#include <sstream>
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

struct NumericRow {
    std::size_t begin, end;  // the line's bytes in the text, without its '\n'
    std::size_t count;       // 3 or 6
};

// Work units (bytes) of text between two calls of the interrupt: a few
// milliseconds of line parsing.
constexpr std::uint64_t kTextPollBytes = std::uint64_t(1) << 18;

}  // namespace

CanonicalizeResult canonicalize_fseries_file_inplace(const std::string &path, const Interrupt &interrupt) {
    std::string text;
    if (!file_access::read_regular_file(path, text, interrupt)) {
        throw file_access::PathError("cannot open file: ", path);
    }

    // Lines end at '\n'; a carriage return stays in its line, a last line
    // without '\n' counts, the empty text after a final '\n' does not. Only
    // the first two numeric rows decide, but every row is counted.
    NumericRow rows[2] = {};
    std::size_t found = 0;
    std::uint64_t since_poll = 0;
    std::string line;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        line.assign(text, pos, end - pos);
        if (!is_comment_or_blank(line)) {
            const auto values = parse_floats_line(line);
            if (values && (values->size() == 3 || values->size() == 6)) {
                if (found < 2) rows[found] = {pos, end, values->size()};
                ++found;
            }
        }
        since_poll += end - pos + 1;
        if (since_poll >= kTextPollBytes) {
            since_poll = 0;
            if (interrupt) interrupt();
        }
        pos = end + 1;
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
    out.append(text, 0, rows[0].begin);
    out += zero_row;
    out.append(text, rows[0].end, std::string::npos);
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
    if (!w.done && !w.left_behind.empty()) {
        throw file_access::PathError(std::vector<Part>{{"cannot write file: ", false},
                                                       {path, true},
                                                       {" (cannot remove ", false},
                                                       {w.left_behind, true},
                                                       {")", false}});
    }
    if (!w.done) throw file_access::PathError("cannot write file: ", path);
    if (!w.left_behind.empty()) throw file_access::PathError("cannot remove file: ", w.left_behind);
    r.changed = true;
    r.reason = "upgraded leading 3-col zeros row to 6-col j=0 row";
    return r;
}

}  // namespace qelext
}  // namespace qel

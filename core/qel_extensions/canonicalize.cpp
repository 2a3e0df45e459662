// In-place upgrade of legacy Fourier-series files whose first numeric row
// has three columns; the file is rewritten through file_access, which keeps
// its identity and never loses it on a failed write.
#include <algorithm>
#include <climits>
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

struct NumericRow {
    std::size_t line;
    std::size_t count;  // 3 or 6
};

}  // namespace

CanonicalizeResult canonicalize_fseries_file_inplace(const std::string &path, const Interrupt &interrupt) {
    std::string text;
    if (!file_access::read_regular_file(path, text, interrupt)) {
        throw file_access::PathError("cannot open file: ", path);
    }
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
    if (!file_access::rewrite_regular_file(path, text, out)) throw std::runtime_error("cannot write file: " + path);
    r.changed = true;
    r.reason = "upgraded leading 3-col zeros row to 6-col j=0 row";
    return r;
}

}  // namespace qelext
}  // namespace qel

// The ideal knot database: record scanner, lookups by id, evaluation of the
// components of a record and the header line of a record.
#include "../knot_dynamics.h"
#include "internal.h"
#include "../file_access.h"

#include <cstddef>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel {

using namespace knot_detail;

namespace {

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
inline bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The scanner reads the records and their parts as views into the text:
// a record or component of hundreds of megabytes is then not copied before
// it is read (a copy of that size takes a tenth of a second, with no call
// of the interrupt).
using Text = std::string_view;
constexpr std::size_t kNpos = Text::npos;

// Case-insensitive match of the lower-case literal `lit` at position pos.
bool iprefix_at(Text text, std::size_t pos, const char *lit) {
    for (std::size_t i = 0; lit[i] != '\0'; ++i) {
        if (pos + i >= text.size() || lower_ascii(text[pos + i]) != lit[i]) return false;
    }
    return true;
}

// First case-insensitive occurrence of a lower-case literal beginning with
// '<' at or after pos. Every '<' passed counts as work: a text dense with
// them costs a test at each.
std::size_t ifind_tag(Text text, std::size_t pos, const char *lit, WorkMeter &meter) {
    while ((pos = text.find('<', pos)) != kNpos) {
        meter.add(kTextByteWork);
        if (iprefix_at(text, pos, lit)) return pos;
        ++pos;
    }
    return kNpos;
}

// text.find(needle, from), searched in windows with a count of the work
// after each: where the text is dense with the needle's first character,
// the search tests a candidate at every byte.
std::size_t find_counted(Text text, Text needle, std::size_t from, WorkMeter &meter) {
    constexpr std::size_t kWindow = std::size_t(1) << 16;
    for (std::size_t start = from; start < text.size(); start += kWindow) {
        // Every match that starts in [start, start + kWindow) lies in this window.
        const std::size_t hit = text.substr(start, kWindow + needle.size() - 1).find(needle);
        if (hit != kNpos) return start + hit;
        meter.add(kTextByteWork * kWindow);
    }
    return kNpos;
}

// Positions tested for an attribute between two counts of the work.
constexpr std::size_t kAttributeStride = 1 << 16;

// First match of  Name="(value)"  in text, the name compared without regard
// to letter case. With word_start the name may not follow a letter, digit or
// underscore; without allow_empty the value needs at least one character.
bool find_attribute(Text text, const char *lower_name, bool word_start, bool allow_empty, std::string &value,
                    WorkMeter &meter) {
    const std::string lit = std::string(lower_name) + "=\"";
    for (std::size_t p = 0; p + lit.size() <= text.size(); ++p) {
        if (p % kAttributeStride == kAttributeStride - 1) meter.add(kTextByteWork * kAttributeStride);
        if (!iprefix_at(text, p, lit.c_str())) continue;
        if (word_start && p > 0 && is_word(text[p - 1])) continue;
        const std::size_t q = p + lit.size();
        const std::size_t e = text.find('"', q);
        if (e == kNpos) return false;  // no later start can close either
        if (e == q && !allow_empty) continue;
        value = std::string(text.substr(q, e - q));
        return true;
    }
    return false;
}

std::string trim_ws(const std::string &s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool read_triple(std::string text, Vec3 &out) {
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    return static_cast<bool>(in >> out[0] >> out[1] >> out[2]);
}

// One  <Coeff I="k" A="x, y, z" B="x, y, z" />  element starting at p.
struct CoeffMatch {
    std::size_t end = 0;
    std::string index, a, b;
};

bool match_coeff_at(Text t, std::size_t p, CoeffMatch &m) {
    const std::size_t n = t.size();
    if (!iprefix_at(t, p, "<coeff")) return false;
    std::size_t i = p + 6;
    auto spaces = [&](bool at_least_one) {
        const std::size_t start = i;
        while (i < n && is_space(t[i])) ++i;
        return !at_least_one || i > start;
    };
    auto quoted = [&](const char *name, std::string &value) {
        if (!iprefix_at(t, i, name)) return false;
        i += std::char_traits<char>::length(name);
        const std::size_t e = t.find('"', i);
        if (e == kNpos || e == i) return false;
        value = std::string(t.substr(i, e - i));
        i = e + 1;
        return true;
    };
    if (!spaces(true)) return false;
    if (!iprefix_at(t, i, "i=\"")) return false;
    i += 3;
    spaces(false);
    const std::size_t d0 = i;
    while (i < n && is_digit(t[i])) ++i;
    if (i == d0 || i >= n || t[i] != '"') return false;
    m.index = std::string(t.substr(d0, i - d0));
    ++i;
    if (!spaces(true)) return false;
    if (!quoted("a=\"", m.a)) return false;
    if (!spaces(true)) return false;
    if (!quoted("b=\"", m.b)) return false;
    spaces(false);
    if (i < n && t[i] == '/') ++i;
    if (i >= n || t[i] != '>') return false;
    m.end = i + 1;
    return true;
}

FourierKnot::IdealABComponent _qel_parse_component_block(Text tag, Text body, WorkMeter &meter) {
    FourierKnot::IdealABComponent comp;
    // I="\s*([0-9]+)" in the tag.
    for (std::size_t p = 0; p + 3 <= tag.size(); ++p) {
        if (p % kAttributeStride == kAttributeStride - 1) meter.add(kTextByteWork * kAttributeStride);
        if (!iprefix_at(tag, p, "i=\"")) continue;
        std::size_t i = p + 3;
        while (i < tag.size() && is_space(tag[i])) ++i;
        const std::size_t d0 = i;
        while (i < tag.size() && is_digit(tag[i])) ++i;
        if (i == d0 || i >= tag.size() || tag[i] != '"') continue;
        comp.component_index = std::stoi(std::string(tag.substr(d0, i - d0)));
        break;
    }

    std::map<int, std::pair<Vec3, Vec3>> coeffs;
    std::size_t pos = 0;
    CoeffMatch m;
    std::size_t counted = 0;
    while ((pos = body.find('<', pos)) != kNpos) {
        meter.add(kTextByteWork * (pos - counted));
        counted = pos;
        if (!match_coeff_at(body, pos, m)) {
            ++pos;
            continue;
        }
        pos = m.end;
        const int index = std::stoi(m.index);
        if (index > FourierKnot::kMaxIdealCoeffIndex) {
            throw std::invalid_argument("ideal record: Coeff index " + std::to_string(index) +
                                        " exceeds the largest supported index " +
                                        std::to_string(FourierKnot::kMaxIdealCoeffIndex));
        }
        Vec3 A, B;
        if (!read_triple(m.a, A)) continue;
        if (!read_triple(m.b, B)) continue;
        coeffs[index] = {A, B};
    }

    auto zero = coeffs.find(0);
    if (zero != coeffs.end()) {
        comp.A0 = zero->second.first;
        comp.B0 = zero->second.second;
    }
    const int K = coeffs.empty() ? 0 : std::max(0, coeffs.rbegin()->first);
    FourierBlock &f = comp.fourier;
    f.header = "% ideal component";
    for (std::vector<double> *v : {&f.a_x, &f.b_x, &f.a_y, &f.b_y, &f.a_z, &f.b_z}) v->assign(static_cast<std::size_t>(K), 0.0);
    for (const auto &kv : coeffs) {
        if (kv.first < 1) continue;
        const std::size_t k = static_cast<std::size_t>(kv.first - 1);
        const Vec3 &A = kv.second.first;
        const Vec3 &B = kv.second.second;
        f.a_x[k] = A[0];
        f.a_y[k] = A[1];
        f.a_z[k] = A[2];
        f.b_x[k] = B[0];
        f.b_y[k] = B[1];
        f.b_z[k] = B[2];
    }
    return comp;
}

// The first "</AB>" at or after a position that only grows from call to
// call. The answer is kept while it lies ahead: headers without an end tag
// of their own then cost no new search each, which would make a text of
// many such headers take time quadratic in its length.
class EndTag {
public:
    std::size_t at_or_after(Text text, std::size_t from, WorkMeter &meter) {
        if (!known_ || (found_ != kNpos && found_ < from)) {
            found_ = find_counted(text, "</AB>", from, meter);
            known_ = true;
        }
        return found_;
    }

private:
    bool known_ = false;
    std::size_t found_ = kNpos;
};

FourierKnot::IdealABBlock parse_record(Text header, Text body, WorkMeter &meter) {
    FourierKnot::IdealABBlock ab;
    std::string v;
    if (find_attribute(header, "id", false, false, v, meter)) ab.id = v;
    if (find_attribute(header, "conway", false, true, v, meter)) ab.conway = v;
    if (find_attribute(header, "l", false, false, v, meter)) ab.L = std::stod(trim_ws(v));
    if (find_attribute(header, "d", true, false, v, meter)) ab.D = std::stod(trim_ws(v));
    if (find_attribute(header, "n", false, false, v, meter)) {
        int n = 1;
        try {
            n = std::stoi(trim_ws(v));
        } catch (const std::exception &) {
            n = 1;
        }
        ab.n = n < 1 ? 1 : n;
    }

    // <Component\b([^>]*)>([\s\S]*?)</Component>, left to right, no overlap.
    std::size_t pos = 0;
    while (true) {
        const std::size_t p = ifind_tag(body, pos, "<component", meter);
        if (p == kNpos) break;
        const std::size_t after = p + 10;
        if (after < body.size() && is_word(body[after])) {
            pos = p + 1;
            continue;
        }
        const std::size_t gt = body.find('>', after);
        if (gt == kNpos) break;
        const std::size_t close = ifind_tag(body, gt + 1, "</component>", meter);
        if (close == kNpos) break;
        const std::string tag = "<Component" + std::string(body.substr(after, gt - after)) + ">";
        ab.components.push_back(_qel_parse_component_block(tag, body.substr(gt + 1, close - gt - 1), meter));
        pos = close + 12;
    }
    if (ab.components.empty()) {
        ab.components.push_back(_qel_parse_component_block("<Component I=\"1\">", body, meter));
    }
    ab.fourier = ab.components.front().fourier;
    return ab;
}

// The records of a database text, in text order.
std::vector<FourierKnot::IdealABBlock> parse_records(Text text, WorkMeter &meter) {
    std::vector<FourierKnot::IdealABBlock> out;
    std::size_t pos = 0;
    EndTag close_of;
    while (true) {
        const std::size_t ab = find_counted(text, "<AB", pos, meter);
        if (ab == kNpos) break;
        const std::size_t gt = text.find('>', ab);
        if (gt == kNpos) break;
        const std::size_t close = close_of.at_or_after(text, gt, meter);
        if (close == kNpos) break;
        // A record that reaches another "<AB" before its end tag lacks its
        // own end tag: skip it so that the following record is not lost.
        const std::size_t next_ab = find_counted(text.substr(0, close), "<AB", gt + 1, meter);
        if (next_ab != kNpos) {
            meter.add(kTextByteWork * (next_ab - pos));
            pos = next_ab;
            continue;
        }
        meter.add(kTextByteWork * (gt + 1 - pos));
        out.push_back(parse_record(text.substr(ab, gt - ab + 1), text.substr(gt + 1, close - gt - 1), meter));
        pos = close + 5;
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Ideal database records

std::vector<FourierKnot::IdealABBlock> FourierKnot::parse_ideal_txt_from_string(const std::string &content,
                                                                                const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    return parse_records(content, meter);
}

std::vector<FourierKnot::IdealABBlock> FourierKnot::parse_ideal_txt_multi(const std::string &path,
                                                                          const Interrupt &interrupt) {
    std::string text;
    if (!file_access::read_regular_file(path, text, interrupt)) {
        throw file_access::PathError("parse_ideal_txt_multi: cannot open file: ", path);
    }
    return parse_ideal_txt_from_string(text, interrupt);
}

FourierKnot::IdealABBlock FourierKnot::parse_ideal_ab_by_id_from_string(const std::string &content,
                                                                        const std::string &ab_id,
                                                                        const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    const Text text(content);
    const std::string needle = "Id=\"" + ab_id + "\"";
    std::size_t pos = 0;
    std::size_t found = 0;
    bool searched = false;
    EndTag close_of;
    while (true) {
        const std::size_t ab = find_counted(text, "<AB", pos, meter);
        if (ab == kNpos) break;
        const std::size_t gt = text.find('>', ab);
        if (gt == kNpos) break;
        // Next occurrence of the needle at or after this header's start.
        if (!searched || found < ab) {
            found = find_counted(text, needle, ab, meter);
            searched = true;
        }
        if (found == kNpos) break;
        if (found + needle.size() > gt + 1) {  // not inside this header
            meter.add(kTextByteWork * (gt + 1 - pos));
            pos = gt + 1;
            continue;
        }
        const std::size_t close = close_of.at_or_after(text, gt, meter);
        if (close == kNpos) break;
        const std::size_t next_ab = find_counted(text.substr(0, close), "<AB", gt + 1, meter);
        if (next_ab != kNpos) {  // unterminated record: look further
            meter.add(kTextByteWork * (next_ab - pos));
            pos = next_ab;
            continue;
        }
        std::vector<IdealABBlock> one = parse_records(text.substr(ab, close + 5 - ab), meter);
        if (!one.empty()) return std::move(one.front());
        break;
    }
    throw std::runtime_error("parse_ideal_ab_by_id_from_string: AB Id not found: " + ab_id);
}

FourierKnot::IdealABBlock FourierKnot::parse_ideal_ab_by_id_from_embedded(const std::string &ab_id,
                                                                          const std::string &name,
                                                                          const Interrupt &interrupt) {
    return parse_ideal_ab_by_id_from_string(load_embedded_ideal_text(name), ab_id, interrupt);
}

int FourierKnot::index_of_ideal_id(const std::vector<IdealABBlock> &blocks, const std::string &id) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

PointList FourierKnot::evaluate_ideal_component(const IdealABComponent &component, const std::vector<double> &s,
                                                const Interrupt &interrupt) {
    // The offset is read before the evaluation calls the interrupt (which may
    // run Python code that changes the component).
    const Vec3 A0 = component.A0;
    PointList pts = evaluate(component.fourier, s, interrupt);
    for (Vec3 &p : pts) {
        p[0] += A0[0];
        p[1] += A0[1];
        p[2] += A0[2];
    }
    return pts;
}

std::vector<PointList> FourierKnot::evaluate_ideal_ab_components(const IdealABBlock &ab, const std::vector<double> &s,
                                                                 const Interrupt &interrupt) {
    std::vector<PointList> out;
    out.reserve(ab.components.size());
    for (const IdealABComponent &c : ab.components) out.push_back(evaluate_ideal_component(c, s, interrupt));
    return out;
}

std::string FourierKnot::format_ideal_ab_header(const IdealABBlock &ab) {
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os.setf(std::ios::fixed, std::ios::floatfield);
    os.precision(6);
    os << "AB Id=\"" << ab.id << "\" Conway=\"" << ab.conway << "\" L=\"" << ab.L << "\" D=\"" << ab.D
       << "\" n=\"" << ab.n << "\"";
    return os.str();
}

}  // namespace qel

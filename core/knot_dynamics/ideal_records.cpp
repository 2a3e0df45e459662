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

// Case-insensitive match of the lower-case literal `lit` at position pos.
bool iprefix_at(const std::string &text, std::size_t pos, const char *lit) {
    for (std::size_t i = 0; lit[i] != '\0'; ++i) {
        if (pos + i >= text.size() || lower_ascii(text[pos + i]) != lit[i]) return false;
    }
    return true;
}

// First case-insensitive occurrence of a lower-case literal beginning with
// '<' at or after pos.
std::size_t ifind_tag(const std::string &text, std::size_t pos, const char *lit) {
    while ((pos = text.find('<', pos)) != std::string::npos) {
        if (iprefix_at(text, pos, lit)) return pos;
        ++pos;
    }
    return std::string::npos;
}

// First match of  Name="(value)"  in text, the name compared without regard
// to letter case. With word_start the name may not follow a letter, digit or
// underscore; without allow_empty the value needs at least one character.
bool find_attribute(const std::string &text, const char *lower_name, bool word_start, bool allow_empty,
                    std::string &value, WorkMeter &meter) {
    const std::string lit = std::string(lower_name) + "=\"";
    constexpr std::size_t kStride = 1 << 16;  // positions between two counts of the work
    for (std::size_t p = 0; p + lit.size() <= text.size(); ++p) {
        if (p % kStride == kStride - 1) meter.add(kTextByteWork * kStride);
        if (!iprefix_at(text, p, lit.c_str())) continue;
        if (word_start && p > 0 && is_word(text[p - 1])) continue;
        const std::size_t q = p + lit.size();
        const std::size_t e = text.find('"', q);
        if (e == std::string::npos) return false;  // no later start can close either
        if (e == q && !allow_empty) continue;
        value = text.substr(q, e - q);
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

bool match_coeff_at(const std::string &t, std::size_t p, CoeffMatch &m) {
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
        if (e == std::string::npos || e == i) return false;
        value = t.substr(i, e - i);
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
    m.index = t.substr(d0, i - d0);
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

FourierKnot::IdealABComponent _qel_parse_component_block(const std::string &tag, const std::string &body,
                                                         WorkMeter &meter) {
    FourierKnot::IdealABComponent comp;
    // I="\s*([0-9]+)" in the tag.
    for (std::size_t p = 0; p + 3 <= tag.size(); ++p) {
        if (!iprefix_at(tag, p, "i=\"")) continue;
        std::size_t i = p + 3;
        while (i < tag.size() && is_space(tag[i])) ++i;
        const std::size_t d0 = i;
        while (i < tag.size() && is_digit(tag[i])) ++i;
        if (i == d0 || i >= tag.size() || tag[i] != '"') continue;
        comp.component_index = std::stoi(tag.substr(d0, i - d0));
        break;
    }

    std::map<int, std::pair<Vec3, Vec3>> coeffs;
    std::size_t pos = 0;
    CoeffMatch m;
    std::size_t counted = 0;
    while ((pos = body.find('<', pos)) != std::string::npos) {
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
    std::size_t at_or_after(const std::string &text, std::size_t from) {
        if (!known_ || (found_ != std::string::npos && found_ < from)) {
            found_ = text.find("</AB>", from);
            known_ = true;
        }
        return found_;
    }

private:
    bool known_ = false;
    std::size_t found_ = std::string::npos;
};

FourierKnot::IdealABBlock parse_record(const std::string &header, const std::string &body, WorkMeter &meter) {
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
        const std::size_t p = ifind_tag(body, pos, "<component");
        if (p == std::string::npos) break;
        const std::size_t after = p + 10;
        if (after < body.size() && is_word(body[after])) {
            pos = p + 1;
            continue;
        }
        const std::size_t gt = body.find('>', after);
        if (gt == std::string::npos) break;
        const std::size_t close = ifind_tag(body, gt + 1, "</component>");
        if (close == std::string::npos) break;
        const std::string tag = "<Component" + body.substr(after, gt - after) + ">";
        ab.components.push_back(_qel_parse_component_block(tag, body.substr(gt + 1, close - gt - 1), meter));
        pos = close + 12;
    }
    if (ab.components.empty()) {
        ab.components.push_back(_qel_parse_component_block("<Component I=\"1\">", body, meter));
    }
    ab.fourier = ab.components.front().fourier;
    return ab;
}

}  // namespace

// ---------------------------------------------------------------------------
// Ideal database records

std::vector<FourierKnot::IdealABBlock> FourierKnot::parse_ideal_txt_from_string(const std::string &content,
                                                                                const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    std::vector<IdealABBlock> out;
    std::size_t pos = 0;
    EndTag close_of;
    while (true) {
        const std::size_t ab = content.find("<AB", pos);
        if (ab == std::string::npos) break;
        const std::size_t gt = content.find('>', ab);
        if (gt == std::string::npos) break;
        const std::size_t close = close_of.at_or_after(content, gt);
        if (close == std::string::npos) break;
        // A record that reaches another "<AB" before its end tag lacks its
        // own end tag: skip it so that the following record is not lost.
        const std::size_t next_ab = content.find("<AB", gt + 1);
        if (next_ab < close) {
            meter.add(kTextByteWork * (next_ab - pos));
            pos = next_ab;
            continue;
        }
        meter.add(kTextByteWork * (gt + 1 - pos));
        out.push_back(
            parse_record(content.substr(ab, gt - ab + 1), content.substr(gt + 1, close - gt - 1), meter));
        pos = close + 5;
    }
    return out;
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
    const std::string needle = "Id=\"" + ab_id + "\"";
    std::size_t pos = 0;
    std::size_t found = 0;
    bool searched = false;
    EndTag close_of;
    while (true) {
        const std::size_t ab = content.find("<AB", pos);
        if (ab == std::string::npos) break;
        const std::size_t gt = content.find('>', ab);
        if (gt == std::string::npos) break;
        // Next occurrence of the needle at or after this header's start.
        if (!searched || found < ab) {
            found = content.find(needle, ab);
            searched = true;
        }
        if (found == std::string::npos) break;
        if (found + needle.size() > gt + 1) {  // not inside this header
            meter.add(kTextByteWork * (gt + 1 - pos));
            pos = gt + 1;
            continue;
        }
        const std::size_t close = close_of.at_or_after(content, gt);
        if (close == std::string::npos) break;
        const std::size_t next_ab = content.find("<AB", gt + 1);
        if (next_ab < close) {  // unterminated record: look further
            meter.add(kTextByteWork * (next_ab - pos));
            pos = next_ab;
            continue;
        }
        std::vector<IdealABBlock> one = parse_ideal_txt_from_string(content.substr(ab, close + 5 - ab), interrupt);
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

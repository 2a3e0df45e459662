// Knot model: the embedded knot data and the knot-file lookup, Fourier-series
// readers, block evaluation and geometry, the ideal-database parser, the knot
// object with its loaders, and curve topology.
#include "knot_dynamics.h"

#include "biot_savart.h"
#include "knot_embedded_data.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <locale>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qel {

// ---------------------------------------------------------------------------
// Embedded data files and knot-file lookup
// ---------------------------------------------------------------------------

namespace {

EmbeddedFileMap build_map(const detail::EmbeddedFileTable &table) {
    EmbeddedFileMap map;
    // The entries are already in key order: each one goes at the end.
    for (std::size_t i = 0; i < table.count; ++i) {
        const detail::EmbeddedFileEntry &e = table.entries[i];
        map.emplace_hint(map.end(), e.key, std::string(table.blob + e.offset, e.size));
    }
    return map;
}

bool path_exists(const std::string &path) {
    std::ifstream in(path);
    return in.good();
}

// Value of an environment variable; false when it is unset (an empty value
// still counts as set).
bool env_value(const char *name, std::string &value) {
    const char *v = std::getenv(name);
    if (v == nullptr) return false;
    value = v;
    return true;
}

}  // namespace

EmbeddedFileMap get_embedded_knot_files() { return build_map(detail::embedded_knot_files); }

EmbeddedFileMap get_embedded_ideal_files() { return build_map(detail::embedded_ideal_files); }

std::string find_knot_file_path(const std::string &knot_id, const std::string &base_dir) {
    const std::string f = "knot." + knot_id + ".fseries";
    if (!base_dir.empty()) {
        for (const std::string &c : {base_dir + "/" + f, base_dir + "/knot_fseries/" + f})
            if (path_exists(c)) return c;
    }
    std::string d;
    if (env_value("QEL_KNOT_DATA_DIR", d)) {
        const std::string c = d + "/" + f;
        if (path_exists(c)) return c;
    }
    std::string r;
    if (env_value("QEL_RESOURCE_DIR", r)) {
        for (const std::string &c : {r + "/resources/knot_fseries/" + f, r + "/knot_fseries/" + f})
            if (path_exists(c)) return c;
    }
    static const char *const dirs[] = {
        "src/knot_fseries",
        "src/Knots_FourierSeries",
        "../src/knot_fseries",
        "../src/Knots_FourierSeries",
        "../../src/knot_fseries",
        "../../src/Knots_FourierSeries",
        "knot_fseries",
        "../knot_fseries",
        "share/qel_core/knot_fseries",
        "../../share/qel_core/knot_fseries",
        "/usr/local/share/qel_core/knot_fseries",
        "/usr/share/qel_core/knot_fseries",
    };
    for (const char *s : dirs) {
        const std::string c = std::string(s) + "/" + f;
        if (path_exists(c)) return c;
    }
    return std::string();
}

std::string find_ideal_file_path(const std::string &name, const std::string &base_dir) {
    if (!base_dir.empty()) {
        for (const std::string &c : {base_dir + "/" + name, base_dir + "/resources/" + name})
            if (path_exists(c)) return c;
    }
    std::string r;
    if (env_value("QEL_RESOURCE_DIR", r)) {
        for (const std::string &c : {r + "/" + name, r + "/resources/" + name})
            if (path_exists(c)) return c;
    }
    std::string d;
    if (env_value("QEL_KNOT_DATA_DIR", d)) {
        const std::string c = d + "/../" + name;
        if (path_exists(c)) return c;
    }
    for (const char *s : {"resources", "../resources", "share/qel_core/resources"}) {
        const std::string c = std::string(s) + "/" + name;
        if (path_exists(c)) return c;
    }
    return std::string();
}

std::string load_embedded_ideal_text(const std::string &name) {
    // Built once per process on first use (thread-safe static initialisation)
    // and only read afterwards.
    static const EmbeddedFileMap files = get_embedded_ideal_files();
    auto it = files.find(name);
    if (it != files.end()) return it->second;
    for (const auto &kv : files) {
        const std::string &key = kv.first;
        const std::size_t cut = key.find_last_of("/\\");
        const bool match = cut == std::string::npos
                               ? key == name
                               : key.compare(cut + 1, std::string::npos, name) == 0;
        if (match) return kv.second;
    }
    throw std::runtime_error("Embedded ideal text not found: " + name);
}

}  // namespace qel

namespace qel {

namespace {

constexpr double kTwoPi = 6.283185307179586;

inline Vec3 sub(const Vec3 &a, const Vec3 &b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 cross(const Vec3 &a, const Vec3 &b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double dot(const Vec3 &a, const Vec3 &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm(const Vec3 &a) { return std::sqrt(dot(a, a)); }

// ---------------------------------------------------------------------------
// Fourier-series text

// Calls fn(line) for every line of `text` split at '\n'; a last line without
// '\n' counts too, an empty text has no lines.
template <class Fn>
void for_each_line(const std::string &text, Fn &&fn) {
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = n;
        fn(text.substr(pos, end - pos));
        pos = end + 1;
    }
}

// Formatted extraction of doubles in the classic locale, one reused stream.
class NumberReader {
public:
    NumberReader() { stream_.imbue(std::locale::classic()); }
    void reset(const std::string &line) {
        stream_.clear();
        stream_.str(line);
    }
    bool next(double &value) { return static_cast<bool>(stream_ >> value); }

private:
    std::istringstream stream_;
};

void append_row(FourierBlock &b, const double v[6]) {
    b.a_x.push_back(v[0]);
    b.b_x.push_back(v[1]);
    b.a_y.push_back(v[2]);
    b.b_y.push_back(v[3]);
    b.a_z.push_back(v[4]);
    b.b_z.push_back(v[5]);
}

// Appends the working block when it has rows and starts a fresh one; a block
// without rows keeps its header.
void close_block(FourierBlock &work, std::vector<FourierBlock> &out) {
    if (work.a_x.empty()) return;
    out.push_back(std::move(work));
    work = FourierBlock{};
}

// Reader with trimming and headers, shared by the file and the text forms.
class SeriesParser {
public:
    void line(std::string ln) {
        while (!ln.empty()) {
            const char c = ln.back();
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ln.pop_back();
            } else {
                break;
            }
        }
        if (ln.empty()) {
            close_block(work_, out_);
            return;
        }
        if (ln[0] == '%') {
            close_block(work_, out_);
            std::size_t i = 1;
            while (i < ln.size() && (ln[i] == ' ' || ln[i] == '\t')) ++i;
            work_.header = ln.substr(i);
            return;
        }
        reader_.reset(ln);
        double v[6];
        for (double &x : v) {
            if (!reader_.next(x)) return;
        }
        append_row(work_, v);
    }
    std::vector<FourierBlock> finish() {
        close_block(work_, out_);
        return std::move(out_);
    }

private:
    std::vector<FourierBlock> out_;
    FourierBlock work_;
    NumberReader reader_;
};

// Cosine/sine coefficients of one block padded with zeros to K harmonics.
struct PaddedCoeffs {
    std::vector<double> c[6];
    std::size_t K = 0;
};

PaddedCoeffs padded(const FourierBlock &b, std::size_t K) {
    PaddedCoeffs p;
    p.K = K;
    const std::vector<double> *src[6] = {&b.a_x, &b.b_x, &b.a_y, &b.b_y, &b.a_z, &b.b_z};
    for (int d = 0; d < 6; ++d) {
        p.c[d].assign(K, 0.0);
        const std::size_t m = std::min(K, src[d]->size());
        std::copy(src[d]->begin(), src[d]->begin() + static_cast<std::ptrdiff_t>(m), p.c[d].begin());
    }
    return p;
}

std::size_t max_list_length(const FourierBlock &b) {
    return std::max({b.a_x.size(), b.b_x.size(), b.a_y.size(), b.b_y.size(), b.a_z.size(), b.b_z.size()});
}

inline Vec3 eval_padded(const PaddedCoeffs &p, double s) {
    double x = 0.0, y = 0.0, z = 0.0;
    const double *ax = p.c[0].data(), *bx = p.c[1].data(), *ay = p.c[2].data();
    const double *by = p.c[3].data(), *az = p.c[4].data(), *bz = p.c[5].data();
    for (std::size_t k = 0; k < p.K; ++k) {
        const double ws = static_cast<double>(k + 1) * s;
        const double c = std::cos(ws);
        const double n = std::sin(ws);
        x += ax[k] * c + bx[k] * n;
        y += ay[k] * c + by[k] * n;
        z += az[k] * c + bz[k] * n;
    }
    return {x, y, z};
}

// r' and r'' at s.
inline void first_two_derivatives(const PaddedCoeffs &p, double s, Vec3 &d1, Vec3 &d2) {
    d1 = {0.0, 0.0, 0.0};
    d2 = {0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < p.K; ++k) {
        const double w = static_cast<double>(k + 1);
        const double c = std::cos(w * s);
        const double n = std::sin(w * s);
        for (int d = 0; d < 3; ++d) {
            const double a = p.c[2 * d][k];
            const double b = p.c[2 * d + 1][k];
            d1[d] += w * (b * c - a * n);
            d2[d] += -(w * w) * (a * c + b * n);
        }
    }
}

double length_sum(const PaddedCoeffs &p, std::int64_t n) {
    const double ds = kTwoPi / static_cast<double>(n);
    double L = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        Vec3 d1, d2;
        first_two_derivatives(p, static_cast<double>(i) * ds, d1, d2);
        L += norm(d1) * ds;
    }
    return L;
}

double bending_sum(const PaddedCoeffs &p, std::int64_t n, double eps) {
    const double ds = kTwoPi / static_cast<double>(n);
    double E = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        Vec3 d1, d2;
        first_two_derivatives(p, static_cast<double>(i) * ds, d1, d2);
        const double v = std::max(norm(d1), eps);
        const double kappa = norm(cross(d1, d2)) / (v * v * v);
        E += kappa * kappa * v * ds;
    }
    return E;
}

// Points of a block at (i*2pi)/n, i = 0 .. n-1.
PointList sample_end_excluded(const FourierBlock &block, std::int64_t n) {
    PaddedCoeffs p = padded(block, block.a_x.size());
    PointList pts(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        pts[static_cast<std::size_t>(i)] = eval_padded(p, (static_cast<double>(i) * kTwoPi) / static_cast<double>(n));
    }
    return pts;
}

// ---------------------------------------------------------------------------
// Ideal database text

inline char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
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
                    std::string &value) {
    const std::string lit = std::string(lower_name) + "=\"";
    for (std::size_t p = 0; p + lit.size() <= text.size(); ++p) {
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

FourierKnot::IdealABComponent _qel_parse_component_block(const std::string &tag, const std::string &body) {
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
    while ((pos = body.find('<', pos)) != std::string::npos) {
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

FourierKnot::IdealABBlock parse_record(const std::string &header, const std::string &body) {
    FourierKnot::IdealABBlock ab;
    std::string v;
    if (find_attribute(header, "id", false, false, v)) ab.id = v;
    if (find_attribute(header, "conway", false, true, v)) ab.conway = v;
    if (find_attribute(header, "l", false, false, v)) ab.L = std::stod(trim_ws(v));
    if (find_attribute(header, "d", true, false, v)) ab.D = std::stod(trim_ws(v));
    if (find_attribute(header, "n", false, false, v)) {
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
        ab.components.push_back(_qel_parse_component_block(tag, body.substr(gt + 1, close - gt - 1)));
        pos = close + 12;
    }
    if (ab.components.empty()) ab.components.push_back(_qel_parse_component_block("<Component I=\"1\">", body));
    ab.fourier = ab.components.front().fourier;
    return ab;
}

}  // namespace

// ---------------------------------------------------------------------------
// Readers

std::vector<FourierBlock> FourierKnot::parse_fseries_multi(const std::string &path) {
    std::ifstream in(path);
    if (!in.is_open()) return {};
    SeriesParser parser;
    std::string line;
    while (std::getline(in, line)) parser.line(line);
    return parser.finish();
}

std::vector<FourierBlock> FourierKnot::parse_fseries_from_string(const std::string &content) {
    SeriesParser parser;
    for_each_line(content, [&](std::string line) { parser.line(std::move(line)); });
    return parser.finish();
}

int FourierKnot::index_of_largest_block(const std::vector<FourierBlock> &blocks) {
    if (blocks.empty()) return -1;
    std::size_t best = 0;
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].a_x.size() > blocks[best].a_x.size()) best = i;
    }
    return static_cast<int>(best);
}

void FourierKnot::loadBlocks(const std::string &path) {
    blocks.clear();
    std::ifstream in(path);
    if (!in.is_open()) throw std::runtime_error("Cannot open file: " + path);
    FourierBlock work;
    NumberReader reader;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '%') {
            if (!work.a_x.empty()) {
                blocks.push_back(std::move(work));
                work = FourierBlock{};
            }
            continue;
        }
        reader.reset(line);
        double v[7];
        int count = 0;
        while (count < 7 && reader.next(v[count])) ++count;
        if (count == 6) append_row(work, v);
    }
    if (!work.a_x.empty()) blocks.push_back(std::move(work));
}

void FourierKnot::selectMaxHarmonics() {
    if (blocks.empty()) throw std::runtime_error("No Fourier blocks loaded");
    activeBlock = blocks[static_cast<std::size_t>(index_of_largest_block(blocks))];
}

void FourierKnot::reconstruct(std::size_t N) {
    if (activeBlock.a_x.empty()) throw std::runtime_error("No active Fourier block selected");
    points.clear();
    points.reserve(N);
    const PaddedCoeffs p = padded(activeBlock, activeBlock.a_x.size());
    const double ds = kTwoPi / static_cast<double>(N);
    for (std::size_t i = 0; i < N; ++i) points.push_back(eval_padded(p, static_cast<double>(i) * ds));
}

// ---------------------------------------------------------------------------
// Evaluation and geometry

PointList FourierKnot::evaluate(const FourierBlock &block, const std::vector<double> &s) {
    const PaddedCoeffs p = padded(block, block.a_x.size());
    PointList out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = eval_padded(p, s[i]);
    return out;
}

Vec3 FourierKnot::evalPoint(const FourierBlock &block, double s) {
    return eval_padded(padded(block, block.a_x.size()), s);
}

std::array<Vec3, 4> FourierKnot::evaluate_with_derivatives(const FourierBlock &block, double s) {
    const PaddedCoeffs p = padded(block, max_list_length(block));
    std::array<Vec3, 4> r{};
    for (std::size_t k = 0; k < p.K; ++k) {
        const double w = static_cast<double>(k + 1);
        const double c = std::cos(w * s);
        const double n = std::sin(w * s);
        for (int d = 0; d < 3; ++d) {
            const double a = p.c[2 * d][k];
            const double b = p.c[2 * d + 1][k];
            r[0][d] += a * c + b * n;
            r[1][d] += w * (b * c - a * n);
            r[2][d] += -(w * w) * (a * c + b * n);
            r[3][d] += (w * w * w) * (a * n - b * c);
        }
    }
    return r;
}

std::vector<double> FourierKnot::curvature_exact(const FourierBlock &block, const std::vector<double> &s, double eps) {
    const PaddedCoeffs p = padded(block, max_list_length(block));
    std::vector<double> out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        Vec3 d1, d2;
        first_two_derivatives(p, s[i], d1, d2);
        const double v = std::max(eps, norm(d1));
        out[i] = norm(cross(d1, d2)) / (v * v * v);
    }
    return out;
}

double FourierKnot::length_exact(const FourierBlock &block, int nsamples) {
    return length_sum(padded(block, max_list_length(block)), std::max(nsamples, 16));
}

double FourierKnot::bending_energy_exact(const FourierBlock &block, int nsamples, double eps) {
    return bending_sum(padded(block, max_list_length(block)), std::max(nsamples, 32), eps);
}

std::vector<double> FourierKnot::mode_energies(const FourierBlock &block) {
    const PaddedCoeffs p = padded(block, max_list_length(block));
    std::vector<double> out(p.K, 0.0);
    for (std::size_t k = 0; k < p.K; ++k) {
        double e = 0.0;
        for (int d = 0; d < 6; ++d) e += p.c[d][k] * p.c[d][k];
        out[k] = e;
    }
    return out;
}

double FourierKnot::min_self_distance_sampled(const PointList &points, int exclude_window) {
    const std::int64_t N = static_cast<std::int64_t>(points.size());
    if (N <= 3) return 0.0;
    // A pair (i, j) counts when window < j - i < N - window.
    const std::int64_t w = exclude_window;
    const std::int64_t lo = std::max<std::int64_t>(w + 1, 1);
    const std::int64_t hi = N - w;  // exclusive bound on j - i
    double best = std::numeric_limits<double>::infinity();
    bool found = false;
    for (std::int64_t i = 0; i < N; ++i) {
        const std::int64_t j0 = i + lo;
        const std::int64_t j1 = std::min(N, i + hi);
        const Vec3 &a = points[static_cast<std::size_t>(i)];
        for (std::int64_t j = j0; j < j1; ++j) {
            const Vec3 &b = points[static_cast<std::size_t>(j)];
            const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
            const double d2 = dx * dx + dy * dy + dz * dz;
            if (d2 < best) best = d2;
            found = true;
        }
    }
    return found ? std::sqrt(best) : 0.0;
}

double FourierKnot::min_self_distance_exactish(const FourierBlock &block, int nsamples, int exclude_window) {
    return min_self_distance_sampled(sample_end_excluded(block, std::max(nsamples, 64)), exclude_window);
}

FourierKnot::GeometricDescriptors FourierKnot::describe_fourier_block(const FourierBlock &block, int nsamples,
                                                                      int exclude_window) {
    const std::int64_t n = std::max(nsamples, 64);
    const PointList P = sample_end_excluded(block, n);
    const std::int64_t m = std::max<std::int64_t>(4 * n, 512);
    const PaddedCoeffs p = padded(block, max_list_length(block));
    GeometricDescriptors g;
    g.L = length_sum(p, m);
    g.bending_energy = bending_sum(p, m, 1e-12);
    g.min_self_distance = min_self_distance_sampled(P, exclude_window);
    g.writhe = KnotDynamics::compute_writhe(P);
    g.mode_energy = mode_energies(block);
    return g;
}

PointList FourierKnot::center_points(const PointList &points) {
    if (points.empty()) return {};
    Vec3 sum{0.0, 0.0, 0.0};
    for (const Vec3 &p : points) {
        sum[0] += p[0];
        sum[1] += p[1];
        sum[2] += p[2];
    }
    const double n = static_cast<double>(points.size());
    const Vec3 mean{sum[0] / n, sum[1] / n, sum[2] / n};
    PointList out(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) out[i] = sub(points[i], mean);
    return out;
}

std::vector<double> FourierKnot::curvature(const PointList &points, double eps) {
    const std::size_t N = points.size();
    std::vector<double> out(N, 0.0);
    if (N <= 2) return out;
    for (std::size_t i = 0; i < N; ++i) {
        const Vec3 &prev = points[(i + N - 1) % N];
        const Vec3 &cur = points[i];
        const Vec3 &next = points[(i + 1) % N];
        Vec3 d1, d2;
        for (int d = 0; d < 3; ++d) {
            d1[d] = (next[d] - prev[d]) / 2.0;
            d2[d] = next[d] - 2.0 * cur[d] + prev[d];
        }
        const double s = norm(d1);
        out[i] = norm(cross(d1, d2)) / (s * s * s + eps);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Ideal database records

std::vector<FourierKnot::IdealABBlock> FourierKnot::parse_ideal_txt_from_string(const std::string &content) {
    std::vector<IdealABBlock> out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t ab = content.find("<AB", pos);
        if (ab == std::string::npos) break;
        const std::size_t gt = content.find('>', ab);
        if (gt == std::string::npos) break;
        const std::size_t close = content.find("</AB>", gt);
        if (close == std::string::npos) break;
        // A record that reaches another "<AB" before its end tag lacks its
        // own end tag: skip it so that the following record is not lost.
        const std::size_t next_ab = content.find("<AB", gt + 1);
        if (next_ab < close) {
            pos = next_ab;
            continue;
        }
        out.push_back(parse_record(content.substr(ab, gt - ab + 1), content.substr(gt + 1, close - gt - 1)));
        pos = close + 5;
    }
    return out;
}

std::vector<FourierKnot::IdealABBlock> FourierKnot::parse_ideal_txt_multi(const std::string &path) {
    std::ifstream in(path);
    if (!in.is_open()) throw std::runtime_error("parse_ideal_txt_multi: cannot open file: " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return parse_ideal_txt_from_string(text.str());
}

FourierKnot::IdealABBlock FourierKnot::parse_ideal_ab_by_id_from_string(const std::string &content,
                                                                        const std::string &ab_id) {
    const std::string needle = "Id=\"" + ab_id + "\"";
    std::size_t pos = 0;
    std::size_t found = 0;
    bool searched = false;
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
            pos = gt + 1;
            continue;
        }
        const std::size_t close = content.find("</AB>", gt);
        if (close == std::string::npos) break;
        const std::size_t next_ab = content.find("<AB", gt + 1);
        if (next_ab < close) {  // unterminated record: look further
            pos = next_ab;
            continue;
        }
        std::vector<IdealABBlock> one = parse_ideal_txt_from_string(content.substr(ab, close + 5 - ab));
        if (!one.empty()) return std::move(one.front());
        break;
    }
    throw std::runtime_error("parse_ideal_ab_by_id_from_string: AB Id not found: " + ab_id);
}

FourierKnot::IdealABBlock FourierKnot::parse_ideal_ab_by_id_from_embedded(const std::string &ab_id,
                                                                          const std::string &name) {
    return parse_ideal_ab_by_id_from_string(load_embedded_ideal_text(name), ab_id);
}

int FourierKnot::index_of_ideal_id(const std::vector<IdealABBlock> &blocks, const std::string &id) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

PointList FourierKnot::evaluate_ideal_component(const IdealABComponent &component, const std::vector<double> &s) {
    PointList pts = evaluate(component.fourier, s);
    for (Vec3 &p : pts) {
        p[0] += component.A0[0];
        p[1] += component.A0[1];
        p[2] += component.A0[2];
    }
    return pts;
}

std::vector<PointList> FourierKnot::evaluate_ideal_ab_components(const IdealABBlock &ab, const std::vector<double> &s) {
    std::vector<PointList> out;
    out.reserve(ab.components.size());
    for (const IdealABComponent &c : ab.components) out.push_back(evaluate_ideal_component(c, s));
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

// ---------------------------------------------------------------------------
// Knot loading

std::pair<PointList, std::vector<double>> FourierKnot::load_knot(const std::string &path, int nsamples) {
    const std::vector<FourierBlock> blocks = parse_fseries_multi(path);
    const int best = index_of_largest_block(blocks);
    if (best < 0) return {};
    if (nsamples < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    const std::size_t n = static_cast<std::size_t>(nsamples);
    std::vector<double> s(n);
    // With one sample the only parameter is s = 0.
    for (std::size_t k = 0; k < n; ++k) {
        s[k] = n == 1 ? 0.0 : (static_cast<double>(k) * kTwoPi) / static_cast<double>(n - 1);
    }
    PointList pts = center_points(evaluate(blocks[static_cast<std::size_t>(best)], s));
    // The last sample repeats the first: take the curvature over the distinct
    // points cyclically and give the repeated end the value of the first.
    std::vector<double> kappa;
    if (n >= 2) {
        kappa = curvature(PointList(pts.begin(), pts.end() - 1), 1e-8);
        kappa.push_back(kappa.front());
    } else {
        kappa = curvature(pts, 1e-8);
    }
    return {std::move(pts), std::move(kappa)};
}

std::vector<FourierKnot::LoadedKnot> FourierKnot::load_all_knots(const std::vector<std::string> &paths, int nsamples) {
    std::vector<LoadedKnot> out;
    for (const std::string &path : paths) {
        std::string name = path;
        const std::size_t slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name = name.substr(slash + 1);
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos) name = name.substr(0, dot);
        std::string lowered = name;
        for (char &c : lowered) c = lower_ascii(c);
        const std::size_t k = lowered.find("knot");
        if (k != std::string::npos) name.erase(k, 4);

        auto loaded = load_knot(path, nsamples);
        if (loaded.first.empty()) continue;
        out.push_back(LoadedKnot{std::move(name), std::move(loaded.first), std::move(loaded.second)});
    }
    return out;
}

// ---------------------------------------------------------------------------
// Curve topology

double KnotDynamics::compute_writhe(const PointList &P) {
    const std::size_t N = P.size();
    if (N < 2) return 0.0;
    const std::size_t M = N - 1;
    double sum = 0.0;
    for (std::size_t a = 0; a + 1 < M; ++a) {
        const Vec3 dla = sub(P[a + 1], P[a]);
        for (std::size_t b = a + 1; b < M; ++b) {
            const Vec3 r = sub(P[a], P[b]);
            const double rn = norm(r);
            if (rn < 1e-6) continue;
            const Vec3 dlb = sub(P[b + 1], P[b]);
            sum += dot(cross(dla, dlb), r) / (rn * rn * rn);
        }
    }
    return sum / kTwoPi;
}

int KnotDynamics::compute_linking_number(const PointList &A, const PointList &B) {
    if (A.size() < 2 || B.size() < 2) return 0;
    double sum = 0.0;
    for (std::size_t a = 0; a + 1 < A.size(); ++a) {
        const Vec3 dla = sub(A[a + 1], A[a]);
        for (std::size_t b = 0; b + 1 < B.size(); ++b) {
            const Vec3 r = sub(A[a], B[b]);
            const double rn = norm(r);
            if (rn < 1e-6) continue;
            sum += dot(cross(dla, sub(B[b + 1], B[b])), r) / (rn * rn * rn);
        }
    }
    const double lk = std::round(sum / kFourPi);
    if (!(lk >= static_cast<double>(std::numeric_limits<int>::min()) &&
          lk <= static_cast<double>(std::numeric_limits<int>::max()))) {
        throw std::domain_error("compute_linking_number: Gauss linking sum is not a finite integer in range");
    }
    return static_cast<int>(lk);
}

double KnotDynamics::compute_twist(const PointList &X, const PointList &V) {
    if (V.size() < X.size()) {
        throw std::invalid_argument("compute_twist: vectors must hold at least as many entries as points");
    }
    const std::size_t N = X.size();
    if (N <= 2) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 1; i + 1 < N; ++i) {
        Vec3 dV;
        for (int d = 0; d < 3; ++d) dV[d] = (V[i + 1][d] - V[i - 1][d]) * 0.5;
        sum += dot(cross(X[i], dV), V[i]);
    }
    return sum / kTwoPi;
}

double KnotDynamics::compute_centerline_helicity(const PointList &X, const PointList &T) {
    (void)T;
    return compute_writhe(X);
}

std::vector<std::pair<int, int>> KnotDynamics::detect_reconnection_candidates(const PointList &P, double threshold) {
    std::vector<std::pair<int, int>> out;
    const std::size_t N = P.size();
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 5; j < N; ++j) {
            if (norm(sub(P[i], P[j])) < threshold) out.emplace_back(static_cast<int>(i), static_cast<int>(j));
        }
    }
    return out;
}

double KnotDynamics::writhe_gauss_curve(const PointList &X, const PointList &T) {
    if (T.size() < X.size()) {
        throw std::invalid_argument("writhe_gauss_curve: tangents must hold at least as many entries as points");
    }
    const std::size_t N = X.size();
    const double ds = kTwoPi / static_cast<double>(N);
    double sum = 0.0;
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            if (i == j) continue;
            const Vec3 r = sub(X[i], X[j]);
            const double rn = norm(r);
            if (rn < 1e-6) continue;
            sum += dot(cross(T[i], T[j]), r) / (rn * rn * rn);
        }
    }
    return ds * ds * sum / kFourPi;
}

}  // namespace qel

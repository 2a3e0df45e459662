#pragma once
// Helpers shared by the sources of the knot model: vector arithmetic, the
// line splitter and number reader of the Fourier-series text, and the padded
// coefficient tables that every evaluation of a block runs on.
#include "../knot_dynamics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <locale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace qel {
namespace knot_detail {

constexpr double kTwoPi = 6.283185307179586;

// Work of one harmonic at one parameter value (a cosine and a sine), in the
// units of the interrupt's work count.
constexpr std::uint64_t kHarmonicWork = 16;

inline Vec3 sub(const Vec3 &a, const Vec3 &b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 cross(const Vec3 &a, const Vec3 &b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double dot(const Vec3 &a, const Vec3 &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm(const Vec3 &a) { return std::sqrt(dot(a, a)); }

// ---------------------------------------------------------------------------
// Fourier-series text

// Work of one byte of Fourier-series or database text, in the units of the
// interrupt's work count (splitting, trimming and reading the numbers of a
// line take a few tens of nanoseconds per byte).
constexpr std::uint64_t kTextByteWork = 8;

// Calls fn(line) for every line of `text` split at '\n'; a last line without
// '\n' counts too, an empty text has no lines. The meter counts each line's
// bytes before the line is handed on.
template <class Fn>
inline void for_each_line(const std::string &text, WorkMeter &meter, Fn &&fn) {
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = n;
        meter.add(kTextByteWork * (end - pos + 1));
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

inline void append_row(FourierBlock &b, const double v[6]) {
    b.a_x.push_back(v[0]);
    b.b_x.push_back(v[1]);
    b.a_y.push_back(v[2]);
    b.b_y.push_back(v[3]);
    b.a_z.push_back(v[4]);
    b.b_z.push_back(v[5]);
}

// Appends the working block when it has rows and starts a fresh one; a block
// without rows keeps its header.
inline void close_block(FourierBlock &work, std::vector<FourierBlock> &out) {
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

// ---------------------------------------------------------------------------
// Padded coefficients and the sums over them

// Cosine/sine coefficients of one block padded with zeros to K harmonics.
struct PaddedCoeffs {
    std::vector<double> c[6];
    std::size_t K = 0;
};

inline PaddedCoeffs padded(const FourierBlock &b, std::size_t K) {
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

inline std::size_t max_list_length(const FourierBlock &b) {
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

inline double length_sum(const PaddedCoeffs &p, std::int64_t n, WorkMeter &meter) {
    const double ds = kTwoPi / static_cast<double>(n);
    double L = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        meter.add(kHarmonicWork * p.K + 1);
        Vec3 d1, d2;
        first_two_derivatives(p, static_cast<double>(i) * ds, d1, d2);
        L += norm(d1) * ds;
    }
    return L;
}

inline double bending_sum(const PaddedCoeffs &p, std::int64_t n, double eps, WorkMeter &meter) {
    const double ds = kTwoPi / static_cast<double>(n);
    double E = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        meter.add(kHarmonicWork * p.K + 1);
        Vec3 d1, d2;
        first_two_derivatives(p, static_cast<double>(i) * ds, d1, d2);
        const double v = std::max(norm(d1), eps);
        const double kappa = norm(cross(d1, d2)) / (v * v * v);
        E += kappa * kappa * v * ds;
    }
    return E;
}

// Points of a block at (i*2pi)/n, i = 0 .. n-1.
inline PointList sample_end_excluded(const FourierBlock &block, std::int64_t n, WorkMeter &meter) {
    PaddedCoeffs p = padded(block, block.a_x.size());
    PointList pts(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        meter.add(kHarmonicWork * p.K + 1);
        pts[static_cast<std::size_t>(i)] = eval_padded(p, (static_cast<double>(i) * kTwoPi) / static_cast<double>(n));
    }
    return pts;
}

inline char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace knot_detail
}  // namespace qel

// Crossings of a closed polygon in random projections: the crossing-number
// estimate and planar-diagram codes.
//
// Both operations test every pair of non-adjacent segments (i, j), j >= i+2,
// except (0, N-1), which meet through the closing segment. For a fixed
// segment i the side value f(p) = cross(a1 - a0, p - a0) of every later
// point is computed once in a vectorised pass; a pair can only cross where
// the side value changes sign between b0 and b1, so the full test runs on
// those few pairs only. The full test is the same expression a plain double
// loop would evaluate, so the crossings found and their order are the same.
#include "../knot_dynamics.h"
#include "../kernel_clones.h"
#include "internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

namespace qel {

using namespace knot_detail;

namespace {

constexpr double kPi = 3.141592653589793;


// Projection frame of one random direction: view direction d and the plane
// axes e1, e2 (e2 is not normalised again). The estimate and the codes
// differ in the guard added to the norms and in the choice of the auxiliary
// axis at |d.x| = 0.9 exactly.
struct Frame {
    Vec3 d, e1, e2;
};

template <class Normal>
Frame draw_frame(std::mt19937 &engine, Normal &normal, double eps, bool aux_y_at_boundary) {
    const double x = normal(engine);
    const double y = normal(engine);
    const double z = normal(engine);
    const Vec3 v{x, y, z};
    const double n = norm(v) + eps;
    Frame f;
    f.d = {x / n, y / n, z / n};
    const double adx = std::fabs(f.d[0]);
    const bool aux_y = aux_y_at_boundary ? (adx >= 0.9) : (adx > 0.9);
    const Vec3 aux = aux_y ? Vec3{0.0, 1.0, 0.0} : Vec3{1.0, 0.0, 0.0};
    const Vec3 c = cross(f.d, aux);
    const double cn = norm(c) + eps;
    f.e1 = {c[0] / cn, c[1] / cn, c[2] / cn};
    f.e2 = cross(f.d, f.e1);
    return f;
}

// Plane coordinates of the points, N + 1 entries each: the last repeats the
// first so that segment k always ends at entry k + 1.
struct Projection {
    std::vector<double> x, y, z;  // z: depth along the view direction
    std::vector<double> side;     // side values of the current segment
    double extent = 0.0;          // larger of the x and y ranges
};

void project(const PointList &P, const Frame &f, bool with_depth, Projection &out) {
    const std::size_t N = P.size();
    out.x.resize(N + 1);
    out.y.resize(N + 1);
    out.side.resize(N + 1);
    if (with_depth) out.z.resize(N + 1);
    double xmin = 0.0, xmax = 0.0, ymin = 0.0, ymax = 0.0;
    for (std::size_t k = 0; k < N; ++k) {
        const double px = dot(P[k], f.e1);
        const double py = dot(P[k], f.e2);
        out.x[k] = px;
        out.y[k] = py;
        if (with_depth) out.z[k] = dot(P[k], f.d);
        if (k == 0) {
            xmin = xmax = px;
            ymin = ymax = py;
        } else {
            xmin = std::min(xmin, px);
            xmax = std::max(xmax, px);
            ymin = std::min(ymin, py);
            ymax = std::max(ymax, py);
        }
    }
    if (N > 0) {
        out.x[N] = out.x[0];
        out.y[N] = out.y[0];
        if (with_depth) out.z[N] = out.z[0];
    }
    out.extent = std::max(xmax - xmin, ymax - ymin);
}

// side[k] = cross(r, p_k - a0) for k in [begin, end).
QEL_KERNEL_CLONES QEL_HOT_ALIGN
void side_values(const double *__restrict px, const double *__restrict py, std::int64_t begin, std::int64_t end,
                 double a0x, double a0y, double rx, double ry, double *__restrict side) {
    for (std::int64_t k = begin; k < end; ++k) side[k] = rx * (py[k] - a0y) - ry * (px[k] - a0x);
}

// Number of j in [j0, j1) where the side value changes sign strictly
// (the first half of the estimate's crossing test).
QEL_KERNEL_CLONES QEL_HOT_ALIGN
std::int64_t sign_changes(const double *__restrict f, std::int64_t j0, std::int64_t j1) {
    std::int64_t n = 0;
    for (std::int64_t j = j0; j < j1; ++j) n += (f[j] * f[j + 1] < 0.0) ? 1 : 0;
    return n;
}

// Number of j in [j0, j1) whose two side values are not both beyond tau on
// the same side of the line.
QEL_KERNEL_CLONES QEL_HOT_ALIGN
std::int64_t straddles(const double *__restrict f, std::int64_t j0, std::int64_t j1, double tau) {
    std::int64_t n = 0;
    for (std::int64_t j = j0; j < j1; ++j) {
        const bool above = (f[j] > tau) & (f[j + 1] > tau);
        const bool below = (f[j] < -tau) & (f[j + 1] < -tau);
        n += (above | below) ? 0 : 1;
    }
    return n;
}

// Pairs are scanned in chunks; a chunk without a candidate is skipped after
// one vectorised pass over its side values.
constexpr std::int64_t kChunk = 64;

// Labels 1 .. 2K are signed 32-bit values.
constexpr std::size_t kMaxCrossings = std::numeric_limits<std::int32_t>::max() / 2;

inline double cross2(double ux, double uy, double vx, double vy) { return ux * vy - uy * vx; }

// Last segment index j paired with segment i, plus one.
inline std::int64_t pair_end(std::int64_t i, std::int64_t N) { return i == 0 ? N - 1 : N; }

// Work of one projection besides its pairs (drawing the direction, projecting
// the points, the attempt itself), in the units of the interrupt's count.
constexpr std::uint64_t kProjectionWork = 256;

// Strict crossings of the segments i in [i0, i1) with their later segments.
// Kept out of line: the loop then compiles as it does without the runs.
#if defined(__GNUC__)
__attribute__((noinline)) QEL_HOT_ALIGN
#endif
std::int64_t count_rows(Projection &pr, std::int64_t N, std::int64_t i0, std::int64_t i1) {
    const double *px = pr.x.data();
    const double *py = pr.y.data();
    double *f = pr.side.data();
    std::int64_t count = 0;
    for (std::int64_t i = i0; i < i1; ++i) {
        const double a0x = px[i], a0y = py[i], a1x = px[i + 1], a1y = py[i + 1];
        const double rx = a1x - a0x, ry = a1y - a0y;
        const std::int64_t jend = pair_end(i, N);
        side_values(px, py, i + 2, jend + 1, a0x, a0y, rx, ry, f);
        for (std::int64_t j0 = i + 2; j0 < jend; j0 += kChunk) {
            const std::int64_t j1 = std::min(j0 + kChunk, jend);
            if (sign_changes(f, j0, j1) == 0) continue;
            for (std::int64_t j = j0; j < j1; ++j) {
                if (!(f[j] * f[j + 1] < 0.0)) continue;
                const double b0x = px[j], b0y = py[j];
                const double sx = px[j + 1] - b0x, sy = py[j + 1] - b0y;
                if (cross2(sx, sy, a1x - b0x, a1y - b0y) * cross2(sx, sy, a0x - b0x, a0y - b0y) < 0.0) ++count;
            }
        }
    }
    return count;
}

// The rows (segments i) are taken in runs of about one interval of pairs, and
// the work is counted between runs: the loop over the rows of a run is the
// one a plain count would run.
std::int64_t count_strict_crossings(Projection &pr, std::int64_t N, WorkMeter &meter) {
    const std::int64_t rows = N > 2 ? N - 2 : 0;
    const auto run = static_cast<std::int64_t>(iterations_per_interval(static_cast<std::uint64_t>(N)));
    std::int64_t count = 0;
    for (std::int64_t i0 = 0; i0 < rows; i0 += run) {
        const std::int64_t i1 = std::min(i0 + run, rows);
        meter.add(static_cast<std::uint64_t>(i1 - i0) * static_cast<std::uint64_t>(N));
        count += count_rows(pr, N, i0, i1);
    }
    return count;
}

struct CrossingCandidate {
    int seg_a;
    int seg_b;
    double t_a;
    double t_b;
    bool a_over;
};

struct Event {
    double s;
    int crossing;
    bool over;
    int in_label;
    int out_label;
};

// Elements of a linear pass (events, labels, entries) per count of the work:
// a run takes well under a millisecond.
constexpr std::size_t kLinearRun = kInterruptInterval / 16;

// body(b, e) for consecutive ranges [b, e) of [0, n), with the work counted
// between ranges.
template <class Body>
void in_runs(std::size_t n, WorkMeter &meter, Body body) {
    for (std::size_t b = 0; b < n; b += kLinearRun) {
        const std::size_t e = std::min(b + kLinearRun, n);
        meter.add(e - b);
        body(b, e);
    }
}

// Merges the sorted runs [a, ae) and [b, be) into out, an entry of the first
// run before an equal one of the second (as a stable sort orders them).
void merge_events(const Event *a, const Event *ae, const Event *b, const Event *be, Event *out, WorkMeter &meter) {
    while (a != ae && b != be) {
        // Neither run can run out within n steps.
        const auto n = std::min<std::ptrdiff_t>({static_cast<std::ptrdiff_t>(kLinearRun), ae - a, be - b});
        meter.add(static_cast<std::uint64_t>(n));
        for (std::ptrdiff_t k = 0; k < n; ++k) *out++ = (b->s < a->s) ? *b++ : *a++;
    }
    out = std::copy(a, ae, out);
    std::copy(b, be, out);
}

// Events of one sort between two counts of the work when the list is long.
constexpr std::size_t kSortRun = std::size_t(1) << 18;

// Events by ascending s, equal ones in the order they were made: the order
// std::stable_sort gives. A list of more than a million events (a sort of a
// tenth of a second or more) is sorted in runs that are then merged pairwise,
// with the work counted in between, so that the interrupt is called while it
// is sorted.
void sort_events(std::vector<Event> &events, WorkMeter &meter) {
    const auto by_s = [](const Event &a, const Event &b) { return a.s < b.s; };
    const std::size_t L = events.size();
    if (L <= 4 * kSortRun) {
        std::stable_sort(events.begin(), events.end(), by_s);
        return;
    }
    for (std::size_t b = 0; b < L; b += kSortRun) {
        const std::size_t e = std::min(b + kSortRun, L);
        meter.add(16 * (e - b));
        const auto first = events.begin();
        std::stable_sort(first + static_cast<std::ptrdiff_t>(b), first + static_cast<std::ptrdiff_t>(e), by_s);
    }
    // The second buffer is left uninitialised: every pass writes all of it,
    // and clearing hundreds of megabytes first would be a long stretch
    // without a count.
    std::unique_ptr<Event[]> buffer(new Event[L]);
    Event *in = events.data();
    Event *out = buffer.get();
    for (std::size_t width = kSortRun; width < L; width *= 2) {
        for (std::size_t lo = 0; lo < L; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, L), hi = std::min(lo + 2 * width, L);
            merge_events(in + lo, in + mid, in + mid, in + hi, out + lo, meter);
        }
        std::swap(in, out);
    }
    if (in != events.data()) {
        in_runs(L, meter, [&](std::size_t b, std::size_t e) { std::copy(in + b, in + e, events.data() + b); });
    }
}

}  // namespace

// The accepted crossings of the segments i in [i0, i1) with their later
// segments, appended to cand; throws when a crossing makes the projection
// unusable. Out of line, as count_rows.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
static void crossings_of_rows(Projection &pr, std::int64_t N, std::int64_t i0, std::int64_t i1,
                              double min_angle_deg, double depth_tol, std::vector<CrossingCandidate> &cand) {
    const double *px = pr.x.data();
    const double *py = pr.y.data();
    const double *pz = pr.z.data();
    double *f = pr.side.data();
    for (std::int64_t i = i0; i < i1; ++i) {
        const double a0x = px[i], a0y = py[i];
        const double rx = px[i + 1] - a0x, ry = py[i + 1] - a0y;
        const std::int64_t jend = pair_end(i, N);
        side_values(px, py, i + 2, jend + 1, a0x, a0y, rx, ry, f);
        // The side values and den carry rounding errors below about
        // 1e-15 * (|rx| + |ry|) * extent. When b0 and b1 lie beyond tau on
        // the same side of the line, u = -f(b0)/den falls outside (0, 1) in
        // exact and in rounded arithmetic alike, so the pair is skipped.
        const double tau = 1e-12 * (std::fabs(rx) + std::fabs(ry)) * pr.extent;
        for (std::int64_t j0 = i + 2; j0 < jend; j0 += kChunk) {
            const std::int64_t j1 = std::min(j0 + kChunk, jend);
            if (straddles(f, j0, j1, tau) == 0) continue;
            for (std::int64_t j = j0; j < j1; ++j) {
                const double f0 = f[j], f1 = f[j + 1];
                if ((f0 > tau && f1 > tau) || (f0 < -tau && f1 < -tau)) continue;

                const double b0x = px[j], b0y = py[j];
                const double sx = px[j + 1] - b0x, sy = py[j + 1] - b0y;
                const double den = cross2(rx, ry, sx, sy);
                if (std::fabs(den) < 1e-12) continue;
                const double qx = b0x - a0x, qy = b0y - a0y;
                const double t = cross2(qx, qy, sx, sy) / den;
                const double u = cross2(qx, qy, rx, ry) / den;
                if (!(t > 1e-12 && t < 0.999999999999 && u > 1e-12 && u < 0.999999999999)) continue;

                const double za = pz[i] + t * (pz[i + 1] - pz[i]);
                const double zb = pz[j] + u * (pz[j + 1] - pz[j]);
                if (std::fabs(za - zb) < depth_tol) {
                    throw std::runtime_error("Projection not generic (strands cross at nearly equal depth).");
                }
                const double rn = std::sqrt(rx * rx + ry * ry);
                const double sn = std::sqrt(sx * sx + sy * sy);
                double c = (rx * sx + ry * sy) / ((rn + 1e-18) * (sn + 1e-18));
                c = std::min(1.0, std::max(-1.0, c));
                const double angle = std::acos(std::fabs(c)) * 180.0 / kPi;
                if (angle < min_angle_deg) {
                    throw std::runtime_error("Projection not generic (strands cross at too small an angle).");
                }
                if (cand.size() >= kMaxCrossings) {
                    throw std::runtime_error("Projection has too many crossings to label.");
                }
                cand.push_back(CrossingCandidate{static_cast<int>(i), static_cast<int>(j), t, u, za > zb});
            }
        }
    }
}

// The code of one projection. A crossing that the angle or depth filter
// would drop makes the projection unusable: the remaining crossings would
// describe a diagram of another curve.
static KnotDynamics::PDCode build_pd_from_projection(Projection &pr, std::int64_t N, double min_angle_deg,
                                                     double depth_tol, WorkMeter &meter) {
    std::vector<CrossingCandidate> cand;
    // Rows in runs of about one interval of pairs, counted between runs.
    const std::int64_t rows = N > 2 ? N - 2 : 0;
    const auto run = static_cast<std::int64_t>(iterations_per_interval(static_cast<std::uint64_t>(N)));
    for (std::int64_t r0 = 0; r0 < rows; r0 += run) {
        const std::int64_t r1 = std::min(r0 + run, rows);
        meter.add(static_cast<std::uint64_t>(r1 - r0) * static_cast<std::uint64_t>(N));
        crossings_of_rows(pr, N, r0, r1, min_angle_deg, depth_tol, cand);
    }
    if (cand.empty()) throw std::runtime_error("No crossings detected (projection not generic).");

    const std::size_t K = cand.size();
    const std::size_t L = 2 * K;
    std::vector<Event> events;
    events.reserve(L);
    const double dN = static_cast<double>(N);
    in_runs(K, meter, [&](std::size_t c0, std::size_t c1) {
        for (std::size_t c = c0; c < c1; ++c) {
            const CrossingCandidate &cc = cand[c];
            events.push_back(
                Event{(static_cast<double>(cc.seg_a) + cc.t_a) / dN, static_cast<int>(c), cc.a_over, 0, 0});
            events.push_back(
                Event{(static_cast<double>(cc.seg_b) + cc.t_b) / dN, static_cast<int>(c), !cc.a_over, 0, 0});
        }
    });
    // Passages in curve order; equal positions (degenerate projections only)
    // keep the order in which they were made.
    sort_events(events, meter);

    // Arc m + 1 runs from passage m to passage m + 1; arc L closes the loop.
    std::vector<std::size_t> under_at(K), over_at(K);
    in_runs(L, meter, [&](std::size_t m0, std::size_t m1) {
        for (std::size_t m = m0; m < m1; ++m) {
            Event &e = events[m];
            e.out_label = static_cast<int>(m + 1);
            e.in_label = (m == 0) ? static_cast<int>(L) : static_cast<int>(m);
            (e.over ? over_at : under_at)[static_cast<std::size_t>(e.crossing)] = m;
        }
    });

    KnotDynamics::PDCode code;
    code.reserve(K);
    in_runs(K, meter, [&](std::size_t c0, std::size_t c1) {
        for (std::size_t c = c0; c < c1; ++c) {
            const Event &under = events[under_at[c]];
            const Event &over = events[over_at[c]];
            const KnotDynamics::PDCrossing entry{under.in_label, over.in_label, under.out_label, over.out_label};
            if (entry[0] > 0 && entry[1] > 0 && entry[2] > 0 && entry[3] > 0) code.push_back(entry);
        }
    });

    std::vector<int> uses(L + 1, 0);
    in_runs(code.size(), meter, [&](std::size_t c0, std::size_t c1) {
        for (std::size_t c = c0; c < c1; ++c) {
            for (int label : code[c]) {
                if (label >= 1 && static_cast<std::size_t>(label) <= L) ++uses[static_cast<std::size_t>(label)];
            }
        }
    });
    for (std::size_t k = 1; k <= L; ++k) {
        if (uses[k] != 2) throw std::runtime_error("PD validation failed (labels must appear exactly twice).");
    }
    return code;
}

std::int64_t KnotDynamics::estimate_crossing_number(const PointList &points, int directions, int seed,
                                                    const Interrupt &interrupt) {
    const auto N = static_cast<std::int64_t>(points.size());
    std::int64_t best = N * N;
    std::mt19937 engine(static_cast<std::uint32_t>(seed));
    // One distribution for the whole call: the second value of a pair it
    // draws carries over into the next direction.
    std::normal_distribution<double> normal(0.0, 1.0);
    Projection pr;
    WorkMeter meter(interrupt);
    for (int k = 0; k < directions; ++k) {
        meter.add(kProjectionWork + static_cast<std::uint64_t>(N));
        const Frame f = draw_frame(engine, normal, 1e-12, false);
        project(points, f, false, pr);
        best = std::min(best, count_strict_crossings(pr, N, meter));
    }
    return best;
}

KnotDynamics::PDCode KnotDynamics::pd_from_curve(const PointList &points, int tries, std::uint32_t seed,
                                                 double min_angle_deg, double depth_tol, const Interrupt &interrupt) {
    if (points.size() < 4) throw std::invalid_argument("pd_from_curve: need at least 4 points");
    const auto N = static_cast<std::int64_t>(points.size());
    std::mt19937 engine(seed);
    PDCode result;
    std::int64_t best = -1;
    Projection pr;
    // A try that fails is skipped, but never because the interrupt threw.
    const WatchedInterrupt watched(interrupt);
    WorkMeter meter(watched.interrupt());
    for (int k = 0; k < tries; ++k) {
        meter.add(kProjectionWork + static_cast<std::uint64_t>(N));
        // A new distribution per try: only the engine state continues.
        std::normal_distribution<double> normal(0.0, 1.0);
        const Frame f = draw_frame(engine, normal, 1e-18, true);
        project(points, f, true, pr);
        PDCode code;
        try {
            code = build_pd_from_projection(pr, N, min_angle_deg, depth_tol, meter);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (const std::exception &) {
            if (watched.fired()) throw;  // the interrupt's exception ends the call
            continue;            // this projection gives no usable code
        }
        if (static_cast<std::int64_t>(code.size()) > best) {
            best = static_cast<std::int64_t>(code.size());
            result = std::move(code);
        }
    }
    if (best < 0) throw std::runtime_error("Failed to extract PD from any projection.");
    return result;
}

}  // namespace qel

#include "biot_savart.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "kernel_clones.h"

namespace qel {
namespace {

// Targets are processed in blocks held as structure-of-arrays so the inner
// loop over targets vectorises; each target still sums its segments in
// segment order, so the result does not depend on the vector width.
constexpr std::size_t kTargetBlock = 512;
// Segments per kernel call: a block of targets meets about
// kInterruptInterval pairs between two counts of the work.
constexpr std::size_t kSegmentChunk = kInterruptInterval / kTargetBlock;

struct SegmentArrays {
    std::vector<double> mx, my, mz, lx, ly, lz;
};

// One block of targets and their sums. On the heap rather than the stack:
// the interrupt runs Python handlers, which may call this routine again
// inside it, and each level would hold the block's 24 KiB of stack.
struct alignas(64) TargetBlock {
    double tx[kTargetBlock], ty[kTargetBlock], tz[kTargetBlock];
    double vx[kTargetBlock], vy[kTargetBlock], vz[kTargetBlock];
};


// Adds the terms of segments [k0, k1) to the velocities of the nt targets.
QEL_KERNEL_CLONES
void accumulate_block(const SegmentArrays &seg, std::size_t k0, std::size_t k1, const double *__restrict tx,
                      const double *__restrict ty, const double *__restrict tz, double *__restrict vx,
                      double *__restrict vy, double *__restrict vz, std::size_t nt) {
    for (std::size_t k = k0; k < k1; ++k) {
        const double mx = seg.mx[k], my = seg.my[k], mz = seg.mz[k];
        const double lx = seg.lx[k], ly = seg.ly[k], lz = seg.lz[k];
        for (std::size_t j = 0; j < nt; ++j) {
            const double rx = tx[j] - mx;
            const double ry = ty[j] - my;
            const double rz = tz[j] - mz;
            const double r2 = (rx * rx + ry * ry) + rz * rz;
            const double d = r2 * std::sqrt(r2) + 1e-12;
            vx[j] += (ly * rz - lz * ry) / d;
            vy[j] += (lz * rx - lx * rz) / d;
            vz[j] += (lx * ry - ly * rx) / d;
        }
    }
}

}  // namespace

PointList BiotSavart::computeVelocity(const PointList &curve, const PointList &points, double circulation,
                                      const Interrupt &interrupt) {
    const std::size_t n = curve.size();
    const std::size_t m = points.size();
    PointList out(m, Vec3{0.0, 0.0, 0.0});
    if (n < 2 || m == 0) return out;

    SegmentArrays seg;
    for (auto *v : {&seg.mx, &seg.my, &seg.mz, &seg.lx, &seg.ly, &seg.lz}) v->resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Vec3 &p = curve[k];
        const Vec3 &q = curve[(k + 1) % n];
        seg.mx[k] = (p[0] + q[0]) * 0.5;
        seg.my[k] = (p[1] + q[1]) * 0.5;
        seg.mz[k] = (p[2] + q[2]) * 0.5;
        seg.lx[k] = q[0] - p[0];
        seg.ly[k] = q[1] - p[1];
        seg.lz[k] = q[2] - p[2];
    }

    const double scale = circulation / kFourPi;
    const std::unique_ptr<TargetBlock> block(new TargetBlock);
    double *__restrict tx = block->tx, *__restrict ty = block->ty, *__restrict tz = block->tz;
    double *__restrict vx = block->vx, *__restrict vy = block->vy, *__restrict vz = block->vz;
    WorkMeter meter(interrupt);
    for (std::size_t start = 0; start < m; start += kTargetBlock) {
        const std::size_t nt = std::min(kTargetBlock, m - start);
        for (std::size_t j = 0; j < nt; ++j) {
            tx[j] = points[start + j][0];
            ty[j] = points[start + j][1];
            tz[j] = points[start + j][2];
            vx[j] = vy[j] = vz[j] = 0.0;
        }
        // Each target sums the segments in order, chunk after chunk.
        for (std::size_t k0 = 0; k0 < n; k0 += kSegmentChunk) {
            const std::size_t k1 = std::min(n, k0 + kSegmentChunk);
            accumulate_block(seg, k0, k1, tx, ty, tz, vx, vy, vz, nt);
            meter.add(nt * (k1 - k0));
        }
        for (std::size_t j = 0; j < nt; ++j) {
            out[start + j] = Vec3{vx[j] * scale, vy[j] * scale, vz[j] * scale};
        }
    }
    return out;
}

PointList BiotSavart::computeVelocity(const PointList &curve, const PointList &points) {
    return computeVelocity(curve, points, 1.0);
}

Vec3 BiotSavart::velocity(const Vec3 &r, const PointList &X, const PointList &T, double circulation) {
    Vec3 v{0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < X.size(); ++j) {
        const double Rx = r[0] - X[j][0], Ry = r[1] - X[j][1], Rz = r[2] - X[j][2];
        const double s = std::sqrt((Rx * Rx + Ry * Ry) + Rz * Rz);
        if (!(s > 1e-6)) continue;  // skips s <= 1e-6 and NaN
        const double f = circulation / ((s * s) * s);
        const Vec3 &t = T[j];
        const double cx = t[1] * Rz - t[2] * Ry;
        const double cy = t[2] * Rx - t[0] * Rz;
        const double cz = t[0] * Ry - t[1] * Rx;
        v[0] += (cx * kInvFourPi) * f;
        v[1] += (cy * kInvFourPi) * f;
        v[2] += (cz * kInvFourPi) * f;
    }
    return v;
}

// The grid kernels below fill their results row by row (a row is one run
// of the last grid axis) and count their work after each row: a grid of
// tens of millions of nodes takes seconds. A row is sized when it is
// written rather than the whole result made zero first, so that the memory
// of a large result is first touched in the loops that count the work.
namespace {

// Work of one grid node of the vorticity, of one copied interior sample and
// of one term of the invariants, in the units of the interrupt's work count.
constexpr std::uint64_t kVorticityNodeWork = 16;
constexpr std::uint64_t kCopyWork = 2;
constexpr std::uint64_t kInvariantWork = 4;
// Entries between two counts of the work in the flat loops.
constexpr std::size_t kFlatRun = 16384;

// Appends `count` zero vectors to `out`, a run at a time.
void append_zeros(PointList &out, std::size_t count, WorkMeter &meter) {
    while (count > 0) {
        const std::size_t run = std::min(count, kFlatRun);
        out.resize(out.size() + run, Vec3{0.0, 0.0, 0.0});
        count -= run;
        meter.add(kCopyWork * run);
    }
}

}  // namespace

PointList BiotSavart::computeVorticity(const PointList &u, const Dims &dims, double h, const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    PointList out;
    out.reserve(u.size());
    append_zeros(out, u.size(), meter);
    const std::int64_t d0 = dims[0], d1 = dims[1], d2 = dims[2];
    if (d0 <= 0 || d1 <= 0 || d2 <= 0) return out;
    const double two_h = h + h;
    auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) -> const Vec3 & {
        return u[static_cast<std::size_t>((i * d1 + j) * d2 + k)];
    };
    for (std::int64_t i = 0; i < d0; ++i) {
        const std::int64_t ip = (i + 1) % d0, im = (i - 1 + d0) % d0;
        for (std::int64_t j = 0; j < d1; ++j) {
            const std::int64_t jp = (j + 1) % d1, jm = (j - 1 + d1) % d1;
            for (std::int64_t k = 0; k < d2; ++k) {
                const std::int64_t kp = (k + 1) % d2, km = (k - 1 + d2) % d2;
                const Vec3 &a0p = at(ip, j, k), &a0m = at(im, j, k);
                const Vec3 &a1p = at(i, jp, k), &a1m = at(i, jm, k);
                const Vec3 &a2p = at(i, j, kp), &a2m = at(i, j, km);
                const double d0y = (a0p[1] - a0m[1]) / two_h, d0z = (a0p[2] - a0m[2]) / two_h;
                const double d1x = (a1p[0] - a1m[0]) / two_h, d1z = (a1p[2] - a1m[2]) / two_h;
                const double d2x = (a2p[0] - a2m[0]) / two_h, d2y = (a2p[1] - a2m[1]) / two_h;
                out[static_cast<std::size_t>((i * d1 + j) * d2 + k)] = Vec3{d2y - d1z, d0z - d2x, d1x - d0y};
            }
            meter.add(kVorticityNodeWork * static_cast<std::uint64_t>(d2));
        }
    }
    return out;
}

PointList BiotSavart::extractInterior(const PointList &u, const Dims &dims, int margin, const Interrupt &interrupt) {
    PointList out;
    const std::int64_t m = margin, d0 = dims[0], d1 = dims[1], d2 = dims[2];
    if (2 * m >= d0 || 2 * m >= d1 || 2 * m >= d2) return out;
    out.reserve(static_cast<std::size_t>((d0 - 2 * m) * (d1 - 2 * m) * (d2 - 2 * m)));
    WorkMeter meter(interrupt);
    for (std::int64_t i = m; i < d0 - m; ++i)
        for (std::int64_t j = m; j < d1 - m; ++j) {
            const Vec3 *row = u.data() + static_cast<std::size_t>((i * d1 + j) * d2);
            out.insert(out.end(), row + m, row + (d2 - m));
            meter.add(kCopyWork * static_cast<std::uint64_t>(d2 - 2 * m));
        }
    return out;
}

BiotSavart::Invariants BiotSavart::computeInvariants(const PointList &v, const PointList &w,
                                                     const std::vector<double> &r_sq, const Interrupt &interrupt) {
    // Each sum runs over its entries in order, a run at a time.
    WorkMeter meter(interrupt);
    double h_charge = 0.0;
    for (std::size_t i0 = 0; i0 < v.size(); i0 += kFlatRun) {
        const std::size_t i1 = std::min(v.size(), i0 + kFlatRun);
        for (std::size_t i = i0; i < i1; ++i) {
            h_charge += (v[i][0] * w[i][0] + v[i][1] * w[i][1]) + v[i][2] * w[i][2];
        }
        meter.add(kInvariantWork * (i1 - i0));
    }
    double h_mass = 0.0;
    for (std::size_t i0 = 0; i0 < w.size(); i0 += kFlatRun) {
        const std::size_t i1 = std::min(w.size(), i0 + kFlatRun);
        for (std::size_t i = i0; i < i1; ++i) {
            const double norm = std::sqrt((w[i][0] * w[i][0] + w[i][1] * w[i][1]) + w[i][2] * w[i][2]);
            h_mass += (norm * norm) * r_sq[i];
        }
        meter.add(kInvariantWork * (i1 - i0));
    }
    const double a_mu = (h_charge / h_mass - 1.0) * 0.5;
    return Invariants{h_charge, h_mass, a_mu};
}

}  // namespace qel

namespace qel {
namespace {

// Lower bound of a distance among the cutoffs (the number of cutoffs below
// it), in O(1) for evenly spread cutoffs. The range [c_0, c_{M-1}] is cut
// into M equal buckets; each bucket records its first cutoff index, how many
// cutoffs fall into it and the first of them. Because bucket_of is monotone
// in its argument, for sorted cutoffs every cutoff in an earlier bucket than
// d is smaller than d and every cutoff in a later bucket is larger, so only
// d's own bucket is searched and the answer equals the binary-search lower
// bound. For unsorted cutoffs the answer still lies in [0, M].
class CutoffIndex {
public:
    struct Bucket {
        double first;         // c[start], when count > 0
        std::uint32_t start;  // index of the bucket's first cutoff
        std::uint32_t count;  // cutoffs in the bucket
    };

    // Cutoff lists longer than this are searched by bisection alone.
    static constexpr std::size_t kMaxBuckets = 0x7fffffff;

    explicit CutoffIndex(const std::vector<double> &c) : c_(c) {
        const std::size_t m = c_.size();
        c0_ = c_.front();
        if (m > kMaxBuckets) return;
        last_ = static_cast<std::int32_t>(m - 1);
        const double span = c_.back() - c0_;
        inv_width_ = (span > 0.0) ? static_cast<double>(m) / span : 0.0;
        buckets_.assign(m, Bucket{0.0, 0, 0});
        for (const double x : c_) ++buckets_[static_cast<std::size_t>(bucket_of(x))].count;
        std::uint32_t start = 0;
        single_ = true;
        for (Bucket &bk : buckets_) {
            bk.start = start;
            bk.first = (bk.count > 0) ? c_[start] : 0.0;
            start += bk.count;
            single_ = single_ && bk.count <= 1;
        }
        if (single_) {
            // Flat tables for the branch-free lookup; an empty bucket's
            // cutoff is +inf, which no distance exceeds.
            single_start_.resize(m);
            single_first_.resize(m);
            for (std::size_t b = 0; b < m; ++b) {
                single_start_[b] = static_cast<std::int32_t>(buckets_[b].start);
                single_first_[b] = buckets_[b].count ? buckets_[b].first : std::numeric_limits<double>::infinity();
            }
        }
    }

    bool bucketed() const { return !buckets_.empty(); }
    // Every bucket holds at most one cutoff (evenly spread cutoffs): the lower
    // bound of d in bucket b is single_start()[b] + (single_first()[b] < d).
    bool single() const { return single_; }
    const std::int32_t *single_start() const { return single_start_.data(); }
    const double *single_first() const { return single_first_.data(); }
    double c0() const { return c0_; }
    double inv_width() const { return inv_width_; }
    std::int32_t last() const { return last_; }

    // Bucket of x: t = (x - c_0) / width, clamped to [0, M-1] and truncated;
    // below the range, at c_0 and NaN give bucket 0. scan_row forms the same
    // number with the same operations.
    std::int32_t bucket_of(double x) const {
        const double t = (x - c0_) * inv_width_;
        const double last = static_cast<double>(last_);
        return static_cast<std::int32_t>(t > 0.0 ? (t < last ? t : last) : 0.0);
    }

    // Lower bound of d > 0 given its bucket.
    std::size_t lower_bound(double d, std::int32_t b) const {
        const Bucket &bk = buckets_[static_cast<std::size_t>(b)];
        // Evenly spread cutoffs put one cutoff in almost every bucket.
        if (bk.count == 1) return bk.start + static_cast<std::size_t>(bk.first < d);
        const double *first = c_.data() + bk.start;
        const double *last = first + bk.count;
        if (bk.count > 8) return static_cast<std::size_t>(std::lower_bound(first, last, d) - c_.data());
        while (first < last && *first < d) ++first;
        return static_cast<std::size_t>(first - c_.data());
    }

    // Lower bound of d by bisection over all cutoffs.
    std::size_t lower_bound(double d) const {
        return static_cast<std::size_t>(std::lower_bound(c_.begin(), c_.end(), d) - c_.begin());
    }

private:
    const std::vector<double> &c_;
    std::vector<Bucket> buckets_;
    std::vector<std::int32_t> single_start_;
    std::vector<double> single_first_;
    bool single_ = false;
    double c0_ = 0.0;
    double inv_width_ = 0.0;
    std::int32_t last_ = 0;
};

// One row of the pair scan: for vertex i and every later vertex j > i, the
// distance d_ij (left at 0 or NaN where d_ij^2 is not positive), its cutoff
// bucket and the weight of both ordered pairs, w_ij + w_ji with
// w_ij = ((t_j . t_i) / d_ij) ds_i ds_j.
QEL_KERNEL_CLONES
void scan_row(const double *__restrict px, const double *__restrict py, const double *__restrict pz,
              const double *__restrict tx, const double *__restrict ty, const double *__restrict tz,
              const double *__restrict ds, std::size_t i, std::size_t lo, std::size_t hi, double c0, double inv_width,
              std::int32_t last_bucket, double *__restrict dist, double *__restrict weight,
              std::int32_t *__restrict bucket) {
    const double pix = px[i], piy = py[i], piz = pz[i];
    const double tix = tx[i], tiy = ty[i], tiz = tz[i];
    const double dsi = ds[i];
    const double last = static_cast<double>(last_bucket);
    for (std::size_t j = lo; j < hi; ++j) {
        const double dx = px[j] - pix, dy = py[j] - piy, dz = pz[j] - piz;
        dist[j] = (dx * dx + dy * dy) + dz * dz;
    }
    for (std::size_t j = lo; j < hi; ++j) dist[j] = std::sqrt(dist[j]);
    for (std::size_t k = lo; k < hi; ++k) {
        const double q = ((tx[k] * tix + ty[k] * tiy) + tz[k] * tiz) / dist[k];
        weight[k] = (q * dsi) * ds[k] + (q * ds[k]) * dsi;
        const double t = (dist[k] - c0) * inv_width;
        bucket[k] = static_cast<std::int32_t>(t > 0.0 ? (t < last ? t : last) : 0.0);
    }
}

// Lower bounds of one row's distances when every bucket holds at most one
// cutoff: a gather and a compare per pair, no branches.
QEL_KERNEL_CLONES
void single_lower_bounds(const double *__restrict dist, const std::int32_t *__restrict bucket,
                         const std::int32_t *__restrict start, const double *__restrict first, std::size_t lo,
                         std::size_t n, std::int32_t *__restrict k) {
    for (std::size_t j = lo; j < n; ++j) {
        const std::int32_t b = bucket[j];
        k[j] = start[b] + static_cast<std::int32_t>(first[b] < dist[j]);
    }
}

// The arrays of one scan (see bs_cutoff_energy_scan).
struct PairScan {
    const double *px, *py, *pz, *tx, *ty, *tz, *ds;
    double *row_d, *row_w;
    std::int32_t *row_b, *row_k;
    double *diff;
    std::size_t n;
    bool single, bucketed;
};

// Rows [i0, i1) of the pair scan into the difference list; returns `total`
// with their weights added. Out of line, so that the loop that counts the
// work between runs of rows leaves the pair loops as they are.
QEL_NOINLINE
double scan_rows(const PairScan &scan, const CutoffIndex &index, std::size_t i0, std::size_t i1, double total) {
    const double *px = scan.px, *py = scan.py, *pz = scan.pz, *tx = scan.tx, *ty = scan.ty, *tz = scan.tz;
    const double *w = scan.ds;
    double *row_d = scan.row_d, *row_w = scan.row_w, *diff = scan.diff;
    std::int32_t *row_b = scan.row_b, *row_k = scan.row_k;
    const std::size_t n = scan.n;
    const bool single = scan.single, bucketed = scan.bucketed;
    // Each row is taken in chunks of later vertices whose work lists stay in
    // the first-level cache between the vector passes and the update loop;
    // within a row the pairs are still visited in ascending j.
    constexpr std::size_t kChunk = 512;
    for (std::size_t i = i0; i < i1; ++i) {
        for (std::size_t lo = i + 1; lo < n; lo += kChunk) {
            const std::size_t hi = std::min(n, lo + kChunk);
            scan_row(px, py, pz, tx, ty, tz, w, i, lo, hi, index.c0(), index.inv_width(), index.last(), row_d, row_w,
                     row_b);
            if (single) single_lower_bounds(row_d, row_b, index.single_start(), index.single_first(), lo, hi, row_k);
            for (std::size_t j = lo; j < hi; ++j) {
                const double d = row_d[j];
                // Coincident vertices and NaN distances (no cutoff lies below NaN).
                if (!(d > 0.0)) continue;
                const std::size_t k = single     ? static_cast<std::size_t>(row_k[j])
                                      : bucketed ? index.lower_bound(d, row_b[j])
                                                 : index.lower_bound(d);
                if (k == 0) continue;
                total += row_w[j];
                diff[k] -= row_w[j];
            }
        }
    }
    return total;
}

}  // namespace

std::vector<double> bs_cutoff_energy_scan(const double *points, const double *tangents, const double *ds,
                                          std::uint64_t n64, const double *cutoffs, std::uint64_t m64,
                                          const Interrupt &interrupt) {
    const std::size_t n = static_cast<std::size_t>(n64);
    const std::size_t m = static_cast<std::size_t>(m64);
    std::vector<double> energy(m, 0.0);
    if (m == 0 || n < 2) return energy;

    const std::vector<double> c(cutoffs, cutoffs + m);
    const CutoffIndex index(c);

    // Structure-of-arrays copies, so that the distances, weights and cutoff
    // buckets of one row are formed in loops the compiler can vectorise; the
    // lookups and the difference-list updates then run over that row. Both
    // ordered pairs of a vertex pair share their distance and so their cutoff
    // count, and enter the difference list together.
    std::vector<double> work(9 * n);
    double *px = work.data(), *py = px + n, *pz = py + n;
    double *tx = pz + n, *ty = tx + n, *tz = ty + n, *w = tz + n;
    double *row_d = w + n, *row_w = row_d + n;
    std::vector<std::int32_t> row_b(n);
    for (std::size_t j = 0; j < n; ++j) {
        px[j] = points[3 * j];
        py[j] = points[3 * j + 1];
        pz[j] = points[3 * j + 2];
        tx[j] = tangents[3 * j];
        ty[j] = tangents[3 * j + 1];
        tz[j] = tangents[3 * j + 2];
        w[j] = ds[j];
    }

    // diff[0] is the sum of every recorded weight, kept in a register; it is
    // summed in the same order as the entries it balances, so where every
    // pair lands at one position the difference list cancels to exactly 0.
    std::vector<double> diff(m + 1, 0.0);
    double total = 0.0;
    const bool bucketed = index.bucketed();
    const bool single = bucketed && index.single();
    std::vector<std::int32_t> row_k(single ? n : 0);
    const PairScan scan{px, py, pz, tx, ty, tz, w, row_d, row_w, row_b.data(), row_k.data(), diff.data(), n, single,
                        bucketed};
    // Rows come in runs of about one interval of the interrupt's work,
    // which is counted between runs.
    WorkMeter meter(interrupt);
    const std::size_t run = iterations_per_interval(n);
    for (std::size_t i0 = 0; i0 + 1 < n; i0 += run) {
        const std::size_t i1 = std::min(n - 1, i0 + run);
        total = scan_rows(scan, index, i0, i1, total);
        meter.add((i1 - i0) * (n - i0));
    }
    diff[0] += total;

    constexpr double kEightPi = 25.132741228718345;
    double prefix = 0.0;
    for (std::size_t q = 0; q < m; ++q) {
        prefix += diff[q];
        energy[q] = prefix / kEightPi;
    }
    return energy;
}

}  // namespace qel

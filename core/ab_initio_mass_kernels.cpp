// The two hot loops of the particle evaluator: the filament relaxation (a
// cell grid finds the pairs within the repulsion range) and the tail-energy
// surrogate (the softened Biot–Savart flow on shells around every point).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "ab_initio_mass.h"
#include "kernel_clones.h"

namespace qel {

// ---------------------------------------------------------------------------
// Relaxation
// ---------------------------------------------------------------------------

namespace {

constexpr double kTension = 25.0;
constexpr double kCentring = 15.0;
constexpr double kRepulsion = 200.0;
constexpr double kRepulsionRange = 0.04000000000000001;  // squared distance, strict
constexpr double kRepulsionFloor = 1e-8;                 // squared distance, strict
constexpr double kDamping = 0.7;
constexpr double kLengthScale = 2.81794034e-15;
constexpr double kSmallSetRadius = 1e-12;
constexpr double kSmallSetScale = 2.81794034e-9;

// Pairs closer than sqrt(kRepulsionRange) (0.2 and a few ulps) lie in the same
// or adjacent cells; the small margin covers the rounding of cell indices.
constexpr double kCellSide = 0.2 * (1.0 + 1e-6);

// Cells whose pair tests are counted together (see the pair listing).
constexpr std::size_t kCellBlock = 64;

// The points sorted into the cells of a uniform grid (counting sort, so each
// cell lists its points in ascending index order), with copies of their
// coordinates in that order. Cells are at least kCellSide wide; wider when
// the set is spread so far that the grid would hold too many cells.
class CellGrid {
public:
    // Non-finite points take part in no pair (their squared distance to any
    // point is NaN or infinite) and are left out of the grid.
    void build(const double *x, const double *y, const double *z, std::size_t n) {
        cell_.assign(n, kNone);
        double lo[3] = {0.0, 0.0, 0.0}, hi[3] = {0.0, 0.0, 0.0};
        bool any = false;
        for (std::size_t i = 0; i < n; ++i) {
            const double p[3] = {x[i], y[i], z[i]};
            if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
            for (int a = 0; a < 3; ++a) {
                if (!any || p[a] < lo[a]) lo[a] = p[a];
                if (!any || p[a] > hi[a]) hi[a] = p[a];
            }
            any = true;
        }

        const double max_cells = std::max(65536.0, 32.0 * static_cast<double>(n));
        h_ = kCellSide;
        double count[3] = {1.0, 1.0, 1.0};
        bool fits = !any;
        for (int attempt = 0; attempt < 2200 && !fits; ++attempt) {
            double cells = 1.0;
            for (int a = 0; a < 3; ++a) {
                const double c = std::floor((hi[a] - lo[a]) / h_) + 1.0;
                count[a] = (c >= 1.0 && c <= max_cells) ? c : max_cells + 1.0;
                cells *= count[a];
            }
            fits = cells <= max_cells;
            if (!fits) h_ *= 2.0;
        }
        if (!fits) count[0] = count[1] = count[2] = 1.0;  // one cell: every pair is tested
        inv_h_ = 1.0 / h_;
        for (int a = 0; a < 3; ++a) {
            lo_[a] = lo[a];
            dim_[a] = static_cast<std::size_t>(count[a]);
        }
        const std::size_t cells = dim_[0] * dim_[1] * dim_[2];

        start_.assign(cells + 1, 0);
        if (any) {
            for (std::size_t i = 0; i < n; ++i) {
                if (!(std::isfinite(x[i]) && std::isfinite(y[i]) && std::isfinite(z[i]))) continue;
                cell_[i] = cell_of(x[i], y[i], z[i]);
                ++start_[cell_[i] + 1];
            }
        }
        for (std::size_t c = 0; c < cells; ++c) start_[c + 1] += start_[c];
        const std::size_t placed = start_[cells];
        index_.resize(placed);
        xyz_.resize(4 * placed);
        fill_ = start_;
        for (std::size_t i = 0; i < n; ++i) {
            if (cell_[i] == kNone) continue;
            const std::size_t k = fill_[cell_[i]]++;
            index_[k] = i;
            xyz_[4 * k] = x[i];
            xyz_[4 * k + 1] = y[i];
            xyz_[4 * k + 2] = z[i];
            xyz_[4 * k + 3] = 0.0;
        }
    }

    std::size_t cells() const { return start_.size() - 1; }
    // Points of cell c: entries [first(c), first(c + 1)) of index().
    std::size_t first(std::size_t c) const { return start_[c]; }
    const std::vector<std::size_t> &index() const { return index_; }

    // Cell of point i; kNone for a point left out of the grid.
    std::size_t cell_of_point(std::size_t i) const { return cell_[i]; }

    // The cells around cell c (c included) as stretches of sorted points,
    // one per row of up to three cells along z. Returns their number.
    std::size_t rows_around(std::size_t c, std::size_t (&s)[9], std::size_t (&e)[9]) const {
        const std::size_t iz = c % dim_[2];
        const std::size_t iy = (c / dim_[2]) % dim_[1];
        const std::size_t ix = c / (dim_[2] * dim_[1]);
        const std::size_t z0 = iz > 0 ? iz - 1 : 0, z1 = std::min(iz + 1, dim_[2] - 1);
        std::size_t r = 0;
        for (std::size_t a = (ix > 0 ? ix - 1 : 0); a <= std::min(ix + 1, dim_[0] - 1); ++a) {
            for (std::size_t b = (iy > 0 ? iy - 1 : 0); b <= std::min(iy + 1, dim_[1] - 1); ++b) {
                const std::size_t base = (a * dim_[1] + b) * dim_[2];
                s[r] = start_[base + z0];
                e[r] = start_[base + z1 + 1];
                ++r;
            }
        }
        return r;
    }

    // The cells after cell c among its neighbours (offsets (dx, dy, dz) after
    // (0, 0, 0) in lexicographic order, whose linear indices are larger), as
    // stretches of sorted points: each row of up to three cells along z is
    // one stretch. The neighbour (0, 0, +1) directly follows c and is not
    // listed: `own_end` is where the points of c and of that cell end.
    std::size_t rows_after(std::size_t c, std::size_t (&s)[4], std::size_t (&e)[4], std::size_t &own_end) const {
        const std::size_t iz = c % dim_[2];
        const std::size_t iy = (c / dim_[2]) % dim_[1];
        const std::size_t ix = c / (dim_[2] * dim_[1]);
        own_end = start_[c + (iz + 1 < dim_[2] ? 2 : 1)];
        const std::size_t z0 = iz > 0 ? iz - 1 : 0, z1 = std::min(iz + 1, dim_[2] - 1);
        std::size_t r = 0;
        auto row = [&](std::size_t a, std::size_t b) {
            const std::size_t base = (a * dim_[1] + b) * dim_[2];
            s[r] = start_[base + z0];
            e[r] = start_[base + z1 + 1];
            ++r;
        };
        if (iy + 1 < dim_[1]) row(ix, iy + 1);
        if (ix + 1 < dim_[0]) {
            for (std::size_t b = (iy > 0 ? iy - 1 : 0); b <= std::min(iy + 1, dim_[1] - 1); ++b) row(ix + 1, b);
        }
        return r;
    }

    // Cells after a cell that its rows_after() stretches can reach: they
    // end before cell c + reach().
    std::size_t reach() const { return dim_[1] * dim_[2] + dim_[2] + 2; }

    // Writes to out[cnt], out[cnt + 1], ... the positions k in [s, e) of the
    // sorted points with kRepulsionFloor < |P - P_k|^2 < kRepulsionRange
    // (branch-free; out has room for e - s more entries). Returns the new count.
    std::size_t within_range(double x, double y, double z, std::size_t s, std::size_t e, std::size_t *out,
                             std::size_t cnt) const {
        const double *p = xyz_.data();
        for (std::size_t k = s; k < e; ++k) {
            const double dx = x - p[4 * k];
            const double dy = y - p[4 * k + 1];
            const double dz = z - p[4 * k + 2];
            const double d2 = (dx * dx + dy * dy) + dz * dz;
            out[cnt] = k;
            cnt += static_cast<std::size_t>((d2 < kRepulsionRange) & (d2 > kRepulsionFloor));
        }
        return cnt;
    }

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

private:

    // Scaled by the reciprocal of the side rather than divided by it: the
    // index can differ only for a point within rounding of a cell boundary,
    // and the margin in kCellSide keeps every pair in range in adjacent
    // cells either way, so the pairs found are the same.
    std::size_t cell_of(double x, double y, double z) const {
        const double p[3] = {x, y, z};
        std::size_t idx[3];
        for (int a = 0; a < 3; ++a) {
            const double t = std::floor((p[a] - lo_[a]) * inv_h_);
            const double top = static_cast<double>(dim_[a] - 1);
            idx[a] = (t >= 0.0) ? static_cast<std::size_t>(t < top ? t : top) : 0;
        }
        return (idx[0] * dim_[1] + idx[1]) * dim_[2] + idx[2];
    }

    double h_ = kCellSide;
    double inv_h_ = 1.0 / kCellSide;
    double lo_[3] = {0.0, 0.0, 0.0};
    std::size_t dim_[3] = {1, 1, 1};
    std::vector<std::size_t> cell_, start_, fill_, index_;
    std::vector<double> xyz_;  // x, y, z and a pad per sorted point: one point per half cache line
};

// Ascending order of a short list of point indices.
void sort_indices(std::size_t *v, std::size_t n) {
    if (n > 32) {
        std::sort(v, v + n);
        return;
    }
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t t = v[i];
        std::size_t j = i;
        while (j > 0 && v[j - 1] > t) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = t;
    }
}

// The pairs of points within the repulsion range, each found once: the
// points of a cell against the later points of the cell and the cells after
// it, into pair_a and pair_b. Returns false, with the pairs incomplete, once
// they outgrow `pair_budget`. Out of line and on a cache line of its own:
// its speed does not change with the code around it.
QEL_NOINLINE QEL_HOT_ALIGN bool list_pairs(const CellGrid &grid, const double *x, const double *y, const double *z,
                                           const std::size_t *prev_of, const std::size_t *next_of, std::size_t *hits,
                                           std::vector<std::size_t> &pair_a, std::vector<std::size_t> &pair_b,
                                           std::size_t pair_budget, WorkMeter &meter) {
    pair_a.clear();
    pair_b.clear();
    bool listed = true;
    const std::vector<std::size_t> &order = grid.index();
    // The pair tests of one cell; with a true `count_points`, each point's
    // tests are counted as it starts.
    auto list_cell = [&](std::size_t c, auto count_points) {
        const std::size_t k0 = grid.first(c), k1 = grid.first(c + 1);
        if (k0 == k1) return;
        std::size_t rs[4], re[4], own_end;
        const std::size_t rows = grid.rows_after(c, rs, re, own_end);
        std::size_t row_points = 0;
        if constexpr (decltype(count_points)::value) {
            for (std::size_t r = 0; r < rows; ++r) row_points += re[r] - rs[r];
        }
        for (std::size_t k = k0; k < k1; ++k) {
            if constexpr (decltype(count_points)::value) meter.add(own_end - k + row_points);
            const std::size_t i = order[k];
            const double xi = x[i], yi = y[i], zi = z[i];
            // Disjoint stretches of the sorted points: `hits` has room.
            std::size_t nh = grid.within_range(xi, yi, zi, k + 1, own_end, hits, 0);
            for (std::size_t r = 0; r < rows; ++r) {
                nh = grid.within_range(xi, yi, zi, rs[r], re[r], hits, nh);
            }
            for (std::size_t h = 0; h < nh; ++h) {
                const std::size_t m = order[hits[h]];
                if (m == prev_of[i] || m == next_of[i]) continue;  // held by the tension
                pair_a.push_back(i);
                pair_b.push_back(m);
            }
            if (pair_a.size() > pair_budget) {
                listed = false;
                return;
            }
        }
    };
    // Cells in blocks of kCellBlock. A point of the block is tested only
    // against sorted points from the block's first cell up to the last cell
    // its rows reach, so the product of the two counts bounds the block's
    // tests. Where that bound is within an interval it is counted once;
    // otherwise every point is counted.
    const std::size_t cells = grid.cells(), reach = grid.reach();
    for (std::size_t c0 = 0; c0 < cells && listed; c0 += kCellBlock) {
        const std::size_t c1 = std::min(c0 + kCellBlock, cells);
        const std::uint64_t block_points = grid.first(c1) - grid.first(c0);
        if (block_points == 0) continue;
        const std::uint64_t window = grid.first(std::min(c1 + reach, cells)) - grid.first(c0);
        if (block_points * window <= kInterruptInterval) {
            meter.add(block_points * window);
            for (std::size_t c = c0; c < c1 && listed; ++c) list_cell(c, std::false_type{});
        } else {
            for (std::size_t c = c0; c < c1 && listed; ++c) list_cell(c, std::true_type{});
        }
    }
    return listed;
}

}  // namespace

void ParticleEvaluator::relax_hamiltonian(int iterations, double timestep, const Interrupt &interrupt) {
    if (filaments.empty()) return;

    // Flat copies of all points, filament by filament: the order of every sum.
    std::vector<std::size_t> offset(filaments.size() + 1, 0);
    for (std::size_t f = 0; f < filaments.size(); ++f) offset[f + 1] = offset[f] + filaments[f].size();
    const std::size_t total = offset.back();
    std::vector<double> x(total), y(total), z(total);
    for (std::size_t f = 0; f < filaments.size(); ++f) {
        for (std::size_t j = 0; j < filaments[f].size(); ++j) {
            const Vec3 &p = filaments[f][j];
            x[offset[f] + j] = p[0];
            y[offset[f] + j] = p[1];
            z[offset[f] + j] = p[2];
        }
    }
    // The relaxation runs on these copies; the interrupt runs Python code
    // that may call this evaluator again, so the filaments are replaced whole
    // (shaped as they were at the start of this call) rather than written
    // point by point.
    const std::size_t nf = offset.size() - 1;
    auto store = [&]() {
        std::vector<PointList> out(nf);
        for (std::size_t f = 0; f < nf; ++f) {
            out[f].resize(offset[f + 1] - offset[f]);
            for (std::size_t j = 0; j < out[f].size(); ++j) {
                const std::size_t i = offset[f] + j;
                out[f][j] = Vec3{x[i], y[i], z[i]};
            }
        }
        filaments.swap(out);
    };
    auto centroid = [&](double &cx, double &cy, double &cz) {
        double sx = 0.0, sy = 0.0, sz = 0.0;
        for (std::size_t i = 0; i < total; ++i) {
            sx += x[i];
            sy += y[i];
            sz += z[i];
        }
        const double n = static_cast<double>(total);
        cx = sx / n;
        cy = sy / n;
        cz = sz / n;
    };

    std::vector<double> vx(total, 0.0), vy(total, 0.0), vz(total, 0.0);
    std::vector<double> fx(total), fy(total), fz(total);
    // Neighbours along each point's own filament.
    std::vector<std::size_t> prev_of(total), next_of(total);
    for (std::size_t f = 0; f < nf; ++f) {
        const std::size_t o = offset[f];
        const std::size_t n = offset[f + 1] - o;
        for (std::size_t j = 0; j < n; ++j) {
            prev_of[o + j] = o + (j + n - 1) % n;
            next_of[o + j] = o + (j + 1) % n;
        }
    }

    CellGrid grid;
    std::vector<std::size_t> hits(total), pair_a, pair_b, list, list_start(total + 1), list_fill(total);
    const std::size_t pair_budget = std::max<std::size_t>(std::size_t(1) << 20, 32 * total);

    // The interrupt is called at the start of every iteration and, about
    // every kInterruptInterval pair tests, between blocks of cells or points
    // within it. Until the last loop of an iteration, x, y and z hold the
    // last completed iteration: what is kept when it throws.
    WorkMeter meter(interrupt);
    try {
        for (int it = 0; it < iterations; ++it) {
            meter.poll();

            double cx, cy, cz;
            centroid(cx, cy, cz);
            grid.build(x.data(), y.data(), z.data(), total);

            // Every pair in range goes into the lists of both its points. A set
            // so dense that the lists would outgrow their budget is handled
            // point by point instead, without lists.
            const bool listed =
                list_pairs(grid, x.data(), y.data(), z.data(), prev_of.data(), next_of.data(), hits.data(), pair_a,
                           pair_b, pair_budget, meter);
            const std::vector<std::size_t> &order = grid.index();
            if (listed) {
                std::fill(list_start.begin(), list_start.end(), 0);
                for (std::size_t p = 0; p < pair_a.size(); ++p) {
                    ++list_start[pair_a[p] + 1];
                    ++list_start[pair_b[p] + 1];
                }
                for (std::size_t i = 0; i < total; ++i) list_start[i + 1] += list_start[i];
                list.resize(list_start[total]);
                std::copy(list_start.begin(), list_start.end() - 1, list_fill.begin());
                for (std::size_t p = 0; p < pair_a.size(); ++p) {
                    list[list_fill[pair_a[p]]++] = pair_b[p];
                    list[list_fill[pair_b[p]]++] = pair_a[p];
                }
            }

            for (std::size_t i = 0; i < total; ++i) {
                const std::size_t prev = prev_of[i], next = next_of[i];
                const double xi = x[i], yi = y[i], zi = z[i];
                double gx = 0.0, gy = 0.0, gz = 0.0;
                gx += kTension * ((x[prev] - xi) + (x[next] - xi));
                gy += kTension * ((y[prev] - yi) + (y[next] - yi));
                gz += kTension * ((z[prev] - zi) + (z[next] - zi));
                gx += kCentring * (cx - xi);
                gy += kCentring * (cy - yi);
                gz += kCentring * (cz - zi);

                // Repelling points in ascending index order, the order in which
                // a loop over all points adds their terms.
                std::size_t *near = nullptr;
                std::size_t nn = 0;
                std::size_t work = 1;
                if (listed) {
                    near = list.data() + list_start[i];
                    nn = list_start[i + 1] - list_start[i];
                } else if (grid.cell_of_point(i) != CellGrid::kNone) {
                    std::size_t rs[9], re[9];
                    const std::size_t rows = grid.rows_around(grid.cell_of_point(i), rs, re);
                    std::size_t nh = 0;
                    for (std::size_t r = 0; r < rows; ++r) {
                        nh = grid.within_range(xi, yi, zi, rs[r], re[r], hits.data(), nh);
                        work += re[r] - rs[r];
                    }
                    for (std::size_t h = 0; h < nh; ++h) {
                        const std::size_t m = order[hits[h]];
                        if (m != prev && m != i && m != next) hits[nn++] = m;
                    }
                    near = hits.data();
                }
                sort_indices(near, nn);
                for (std::size_t q = 0; q < nn; ++q) {
                    const std::size_t m = near[q];
                    const double dx = xi - x[m];
                    const double dy = yi - y[m];
                    const double dz = zi - z[m];
                    const double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
                    gx += (kRepulsion * dx) / r;
                    gy += (kRepulsion * dy) / r;
                    gz += (kRepulsion * dz) / r;
                }
                fx[i] = gx;
                fy[i] = gy;
                fz[i] = gz;
                meter.add(work + nn);
            }

            for (std::size_t i = 0; i < total; ++i) {
                vx[i] = (vx[i] + timestep * fx[i]) * kDamping;
                vy[i] = (vy[i] + timestep * fy[i]) * kDamping;
                vz[i] = (vz[i] + timestep * fz[i]) * kDamping;
                x[i] = x[i] + timestep * vx[i];
                y[i] = y[i] + timestep * vy[i];
                z[i] = z[i] + timestep * vz[i];
            }
        }
    } catch (...) {
        store();  // the positions of the last completed iteration, unscaled
        throw;
    }

    // Move the set to the origin and scale it to the particle length scale.
    // Adding the centroid back would round every coordinate to the spacing of
    // doubles near the centroid, far coarser than the scaled set itself.
    double cx, cy, cz;
    centroid(cx, cy, cz);
    double R = 0.0;
    for (std::size_t i = 0; i < total; ++i) {
        const double dx = x[i] - cx, dy = y[i] - cy, dz = z[i] - cz;
        const double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
        if (r > R) R = r;
    }
    const double s = (R < kSmallSetRadius) ? kSmallSetScale : kLengthScale / R;
    for (std::size_t i = 0; i < total; ++i) {
        x[i] = (x[i] - cx) * s;
        y[i] = (y[i] - cy) * s;
        z[i] = (z[i] - cz) * s;
    }
    store();
}

// ---------------------------------------------------------------------------
// Tail-energy surrogate
// ---------------------------------------------------------------------------

namespace {

constexpr double kCoreRadius = 1.40897017e-15;
constexpr double kInnerRadiusFloor = 1.4230598717000001e-15;  // 1.01 r_c
constexpr double kOuterRadiusFloor = 1.5653658588700003e-15;  // 1.1 * 1.01 r_c
constexpr double kBiotSavartFactor = 7.705979316274285e-10;
constexpr double kSoftening = 1e-24;
constexpr double kShellEnergyFactor = 3.435e-7;
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr std::size_t kSampleBlock = 64;
// Segments per kernel call: a sample block meets at most about
// kInterruptInterval segment terms between two counts of the work.
constexpr std::size_t kSegmentChunk = kInterruptInterval / kSampleBlock;

// Segments of all filaments with at least two points: midpoints and line
// elements, filament by filament.
struct Segments {
    std::vector<double> mx, my, mz, lx, ly, lz;
    std::vector<std::size_t> first;  // first segment of each filament (count for short ones)
};

// Adds the softened Biot–Savart velocity of segments [s0, s1) at the nq
// sample points; each sample sums its segments in ascending order.
QEL_KERNEL_CLONES
void accumulate_segments(const Segments &seg, std::size_t s0, std::size_t s1, const double *__restrict qx,
                         const double *__restrict qy, const double *__restrict qz, double *__restrict ux,
                         double *__restrict uy, double *__restrict uz, std::size_t nq) {
    for (std::size_t k = s0; k < s1; ++k) {
        const double mx = seg.mx[k], my = seg.my[k], mz = seg.mz[k];
        const double lx = seg.lx[k], ly = seg.ly[k], lz = seg.lz[k];
        for (std::size_t q = 0; q < nq; ++q) {
            const double rx = qx[q] - mx;
            const double ry = qy[q] - my;
            const double rz = qz[q] - mz;
            const double r2 = ((rx * rx + ry * ry) + rz * rz) + kSoftening;
            const double f = kBiotSavartFactor / (r2 * std::sqrt(r2));
            ux[q] += f * (ly * rz - lz * ry);
            uy[q] += f * (lz * rx - lx * rz);
            uz[q] += f * (lx * ry - ly * rx);
        }
    }
}


// Half-width, in segments, of the window left out around a point of its own
// filament: ceil(e / (L/n)), at least 1 and at most n (NaN gives 1).
std::size_t exclusion_window(double exclusion_length, double length, std::size_t n) {
    const double mean = length / static_cast<double>(n);
    double w = std::ceil(exclusion_length / (mean > 1e-30 ? mean : 1e-30));
    if (!(w >= 1.0)) w = 1.0;
    if (w > static_cast<double>(n)) w = static_cast<double>(n);
    return static_cast<std::size_t>(w);
}

// Whether segment k of a filament of n segments lies outside the window of
// half-width w around point i.
inline bool outside_window(std::size_t k, std::size_t i, std::size_t n, std::size_t w) {
    const std::size_t d = k > i ? k - i : i - k;
    return std::min(d, n - d) > w;
}

}  // namespace

Vec3 ParticleEvaluator::induced_velocity_bs_surrogate(const Vec3 &x, std::size_t self_f, std::size_t self_i,
                                                      double exclusion_length) const {
    Vec3 u{0.0, 0.0, 0.0};
    for (std::size_t g = 0; g < filaments.size(); ++g) {
        const PointList &P = filaments[g];
        const std::size_t n = P.size();
        if (n < 2) continue;
        const std::size_t w = (g == self_f) ? exclusion_window(exclusion_length, closed_polyline_length(P), n) : 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (g == self_f && !outside_window(k, self_i, n, w)) continue;
            const Vec3 &a = P[k];
            const Vec3 &b = P[(k + 1) % n];
            const Vec3 M = v_mul(v_add(a, b), 0.5);
            const Vec3 dl = v_sub(b, a);
            const Vec3 R = v_sub(x, M);
            const double r2 = ((R[0] * R[0] + R[1] * R[1]) + R[2] * R[2]) + kSoftening;
            const double f = kBiotSavartFactor / (r2 * std::sqrt(r2));
            const Vec3 c = v_cross(dl, R);
            u[0] += f * c[0];
            u[1] += f * c[1];
            u[2] += f * c[2];
        }
    }
    return u;
}

double ParticleEvaluator::compute_tail_energy_surrogate_J(const Interrupt &interrupt) const {
    const TailApproxConfig &cfg = tail_config;
    if (!cfg.enabled || filaments.empty()) return 0.0;

    const double fmin = cfg.r_min_factor;
    const double r_min = (fmin > 1.01) ? fmin * kCoreRadius : kInnerRadiusFloor;
    const double r_max_floor = (fmin > 1.01) ? 1.1 * r_min : kOuterRadiusFloor;
    const double r_max_cfg = cfg.r_max_factor * kCoreRadius;
    const double r_max = (r_max_cfg > r_max_floor) ? r_max_cfg : r_max_floor;

    const int nr = std::max(1, cfg.radial_samples);
    const int na = std::max(1, cfg.azimuth_samples);
    if (nr > kTailMaxSamples) {
        throw std::length_error("TailApproxConfig.radial_samples must not exceed " + std::to_string(kTailMaxSamples));
    }
    if (na > kTailMaxSamples) {
        throw std::length_error("TailApproxConfig.azimuth_samples must not exceed " +
                                std::to_string(kTailMaxSamples));
    }

    std::vector<double> radius(static_cast<std::size_t>(nr) + 1);
    for (int k = 0; k <= nr; ++k) {
        radius[static_cast<std::size_t>(k)] =
            (static_cast<double>(k) / static_cast<double>(nr)) * (r_max - r_min) + r_min;
    }
    std::vector<double> cos_a(static_cast<std::size_t>(na)), sin_a(static_cast<std::size_t>(na));
    for (int m = 0; m < na; ++m) {
        const double phi = ((static_cast<double>(m) + 0.5) * kTwoPi) / static_cast<double>(na);
        cos_a[static_cast<std::size_t>(m)] = std::cos(phi);
        sin_a[static_cast<std::size_t>(m)] = std::sin(phi);
    }

    // Segments and closed lengths, once per evaluation.
    Segments seg;
    std::vector<double> length(filaments.size(), 0.0);
    seg.first.resize(filaments.size() + 1, 0);
    for (std::size_t g = 0; g < filaments.size(); ++g) {
        const PointList &P = filaments[g];
        const std::size_t n = P.size();
        seg.first[g] = seg.mx.size();
        if (n < 2) continue;
        length[g] = closed_polyline_length(P);
        for (std::size_t k = 0; k < n; ++k) {
            const Vec3 &a = P[k];
            const Vec3 &b = P[(k + 1) % n];
            seg.mx.push_back((a[0] + b[0]) * 0.5);
            seg.my.push_back((a[1] + b[1]) * 0.5);
            seg.mz.push_back((a[2] + b[2]) * 0.5);
            seg.lx.push_back(b[0] - a[0]);
            seg.ly.push_back(b[1] - a[1]);
            seg.lz.push_back(b[2] - a[2]);
        }
    }
    seg.first[filaments.size()] = seg.mx.size();

    const std::size_t samples = static_cast<std::size_t>(nr) * static_cast<std::size_t>(na);
    double qx[kSampleBlock], qy[kSampleBlock], qz[kSampleBlock];
    double ux[kSampleBlock], uy[kSampleBlock], uz[kSampleBlock];

    // Segments [s0, s1) at the nq samples of the block, chunk by chunk; each
    // sample still sums its segments in ascending order.
    WorkMeter meter(interrupt);
    auto accumulate = [&](std::size_t s0, std::size_t s1, std::size_t nq) {
        for (std::size_t k0 = s0; k0 < s1; k0 += kSegmentChunk) {
            const std::size_t k1 = std::min(s1, k0 + kSegmentChunk);
            accumulate_segments(seg, k0, k1, qx, qy, qz, ux, uy, uz, nq);
            meter.add(nq * (k1 - k0));
        }
    };

    double E = 0.0;
    for (std::size_t fi = 0; fi < filaments.size(); ++fi) {
        const PointList &P = filaments[fi];
        const std::size_t n = P.size();
        if (n < 3) continue;
        const double L = length[fi];
        const double e = (L / static_cast<double>(n)) * cfg.exclusion_ds_factor;
        const std::size_t w = exclusion_window(e, L, n);

        for (std::size_t h = 0; h < n; ++h) {
            const Vec3 &a = P[h];
            const Vec3 &b = P[(h + 1) % n];
            const double dsx = b[0] - a[0], dsy = b[1] - a[1], dsz = b[2] - a[2];
            const double ds = std::sqrt(dsz * dsz + (dsx * dsx + dsy * dsy));
            Vec3 T, N, B;
            local_frame_at_index(fi, h, T, N, B);

            double S = 0.0;
            for (std::size_t base = 0; base < samples; base += kSampleBlock) {
                const std::size_t nq = std::min(kSampleBlock, samples - base);
                for (std::size_t q = 0; q < nq; ++q) {
                    const std::size_t k = (base + q) / static_cast<std::size_t>(na);
                    const std::size_t m = (base + q) % static_cast<std::size_t>(na);
                    const double r_mid = (radius[k] + radius[k + 1]) * 0.5;
                    const double c = r_mid * cos_a[m];
                    const double s = r_mid * sin_a[m];
                    qx[q] = (a[0] + c * N[0]) + s * B[0];
                    qy[q] = (a[1] + c * N[1]) + s * B[1];
                    qz[q] = (a[2] + c * N[2]) + s * B[2];
                    ux[q] = uy[q] = uz[q] = 0.0;
                }
                for (std::size_t g = 0; g < filaments.size(); ++g) {
                    const std::size_t s0 = seg.first[g], s1 = seg.first[g + 1];
                    if (g != fi) {
                        accumulate(s0, s1, nq);
                        continue;
                    }
                    // Own filament: the segments outside the window, as
                    // stretches of consecutive indices.
                    std::size_t k = 0;
                    while (k < n) {
                        while (k < n && !outside_window(k, h, n, w)) ++k;
                        std::size_t k1 = k;
                        while (k1 < n && outside_window(k1, h, n, w)) ++k1;
                        if (k1 > k) accumulate(s0 + k, s0 + k1, nq);
                        k = k1;
                    }
                }
                for (std::size_t q = 0; q < nq; ++q) {
                    const std::size_t k = (base + q) / static_cast<std::size_t>(na);
                    const std::size_t m = (base + q) % static_cast<std::size_t>(na);
                    S += (ux[q] * ux[q] + uy[q] * uy[q]) + uz[q] * uz[q];
                    if (m + 1 == static_cast<std::size_t>(na)) {
                        const double area = (radius[k + 1] * radius[k + 1] - radius[k] * radius[k]) * kPi;
                        E += ((S / static_cast<double>(na)) * kShellEnergyFactor) * (area * ds);
                        S = 0.0;
                    }
                }
                // The samples and the window scan, also where the window
                // leaves no segment to sum.
                meter.add(nq + n);
            }
        }
    }
    return E;
}

double closed_polyline_length(const PointList &P) {
    const std::size_t n = P.size();
    double L = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 &a = P[i];
        const Vec3 &b = P[i + 1 < n ? i + 1 : 0];
        const double dx = b[0] - a[0], dy = b[1] - a[1], dz = b[2] - a[2];
        L += std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    return L;
}

}  // namespace qel

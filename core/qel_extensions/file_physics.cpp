// Per-file physics of the Fourier-series tools: the grid helicity of a
// file's largest block with the curve metrics of its samples, and the energy
// of the curve as a thin vortex filament.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../kernel_clones.h"
#include "internal.h"

namespace qel {
namespace qelext {

using namespace detail;

namespace {

// Terms ((T_j . T_k) / l) ds ds of the non-local sum for k in [lo, hi),
// written to out[k]; 0 where the pair is left out (l <= cut).
QEL_KERNEL_CLONES
void nonlocal_terms(const Coords &p, const Coords &t, std::int64_t j, std::int64_t lo, std::int64_t hi, double cut,
                    double ds, double *out) {
    const double *px = p.x.data(), *py = p.y.data(), *pz = p.z.data();
    const double *tx = t.x.data(), *ty = t.y.data(), *tz = t.z.data();
    const double xj = px[j], yj = py[j], zj = pz[j];
    const double txj = tx[j], tyj = ty[j], tzj = tz[j];
    for (std::int64_t k = lo; k < hi; ++k) {
        const double dx = px[k] - xj;
        const double dy = py[k] - yj;
        const double dz = pz[k] - zj;
        const double l = std::sqrt(dx * dx + dy * dy + dz * dz);
        const bool keep = l > cut;
        const double dot = txj * tx[k] + tyj * ty[k] + tzj * tz[k];
        const double v = ((dot / (keep ? l : 1.0)) * ds) * ds;
        out[k] = keep ? v : 0.0;
    }
}

// Rows [j0, j1) of the non-local sum, added to S in order: the ordered
// pairs (j, k), k ascending, whose cyclic separation is above m form two runs
// of k, below and above j. Out of line, so that the loop that counts the work
// between runs of rows leaves these loops as they compile without it.
QEL_NOINLINE
double nonlocal_rows(const Coords &pc, const Coords &tc, std::int64_t m, double cut, double ds, std::int64_t j0,
                     std::int64_t j1, double *row, double S) {
    const auto nn = static_cast<std::int64_t>(pc.x.size());
    for (std::int64_t j = j0; j < j1; ++j) {
        const std::int64_t lo1 = std::max<std::int64_t>(0, j - nn + m + 1);
        const std::int64_t hi1 = j - m;  // exclusive
        const std::int64_t lo2 = j + m + 1;
        const std::int64_t hi2 = std::min(nn, j + nn - m);  // exclusive
        if (lo1 < hi1) {
            nonlocal_terms(pc, tc, j, lo1, hi1, cut, ds, row);
            for (std::int64_t k = lo1; k < hi1; ++k) S += row[k];
        }
        if (lo2 < hi2) {
            nonlocal_terms(pc, tc, j, lo2, hi2, cut, ds, row);
            for (std::int64_t k = lo2; k < hi2; ++k) S += row[k];
        }
    }
    return S;
}

}  // namespace

HelicityResult helicity_from_fseries(const std::string &path, int grid_size, double spacing, int interior_margin,
                                     int nsamples, const Interrupt &interrupt) {
    // One reading of the file serves both the samples of the metrics (end of
    // the period excluded) and the grid helicity (which samples the block
    // itself with both ends included).
    const FourierBlock block = largest_block_of(path, interrupt);
    const PointList points = sample_block_centered(block, nsamples, interrupt);

    HelicityResult r;
    r.path = path;
    r.nsamples = nsamples;
    curve_metrics_from_points(points, r.L, r.kappa_max, r.kappa_mean, r.bend_energy);
    r.min_non_neighbor_dist = min_non_neighbor_distance(points, 3, interrupt);
    r.reach_proxy = 0.5 * r.min_non_neighbor_dist;

    const KnotDynamics::Triple h = KnotDynamics::compute_helicity_from_fourier_block(block, grid_size, spacing,
                                                                                     interior_margin, nsamples,
                                                                                     interrupt);
    r.Hc = h[0];
    r.Hm = h[1];
    r.a_mu = h[2];
    return r;
}

FilamentEnergyResult filament_energy_from_fseries(const std::string &path, const FilamentEnergyParams &P,
                                                  const Interrupt &interrupt) {
    const PointList points = sample_curve_centered(path, P.nsamples, interrupt);
    const std::size_t n = points.size();

    FilamentEnergyResult r;
    r.path = path;
    r.nsamples = P.nsamples;
    curve_metrics_from_points(points, r.L, r.kappa_max, r.kappa_mean, r.bend_energy);
    const double ds = n > 0 ? r.L / static_cast<double>(n) : 0.0;
    r.ds_avg = ds;
    r.min_non_neighbor_dist = min_non_neighbor_distance(points, std::max(1, P.skip_neighbors_base), interrupt);
    r.reach_proxy = 0.5 * r.min_non_neighbor_dist;

    // Neighbour exclusion of the pair sum. The cut-off in samples is clamped
    // while still a double: any value of at least n/2 already leaves out
    // every pair, and INT_MAX is at least that for every sample count.
    int m_loc;
    if (P.s_cut_local > 0.0 && ds > 0.0) {
        const double c = std::ceil(P.s_cut_local / ds);
        const int cells = c >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(c);
        m_loc = std::max(cells, P.skip_neighbors_base);
    } else {
        m_loc = std::max(P.skip_neighbors_base, 0);
    }
    r.m_loc = m_loc;

    double E_nonlocal = 0.0;
    if (P.include_nonlocal && n >= 2) {
        const Coords pc(points);
        PointList tangents(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3 &a = points[i];
            const Vec3 &b = points[(i + 1) % n];
            const Vec3 d{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
            const double len = norm3(d[0], d[1], d[2]);
            tangents[i] = len > 0.0 ? Vec3{d[0] / len, d[1] / len, d[2] / len} : Vec3{0.0, 0.0, 0.0};
        }
        const Coords tc(tangents);
        const double cut = P.delta > 0.0 ? P.delta : 0.0;
        const auto nn = static_cast<std::int64_t>(n);
        const auto m = static_cast<std::int64_t>(m_loc);
        std::vector<double> row(n);
        double S = 0.0;
        WorkMeter meter(interrupt);
        const auto run = static_cast<std::int64_t>(iterations_per_interval(n));
        for (std::int64_t j0 = 0; j0 < nn; j0 += run) {
            const std::int64_t j1 = std::min(nn, j0 + run);
            S = nonlocal_rows(pc, tc, m, cut, ds, j0, j1, row.data(), S);
            meter.add(static_cast<std::uint64_t>(j1 - j0) * n);
        }
        E_nonlocal = S * (((P.rho_outer * P.Gamma) * P.Gamma) / 25.132741228718345);
    }

    double E_local_match = 0.0;
    if (P.include_local_match && P.s_cut_local > 0.0 && P.a_core > 0.0) {
        E_local_match = ((((P.rho_local * P.Gamma) * P.Gamma) / 12.566370614359172) * r.L) *
                        (std::log(P.s_cut_local / P.a_core) + P.c_rankine_outer);
    }
    double E_core_int = 0.0;
    if (P.include_core_int) E_core_int = (((P.rho_local * P.Gamma) * P.Gamma) / 50.26548245743669) * r.L;

    r.E_nonlocal = E_nonlocal;
    r.E_local_match = E_local_match;
    r.E_core_int = E_core_int;
    r.E_total = (E_local_match + E_nonlocal) + E_core_int;
    r.rho_outer = P.rho_outer;
    r.rho_local = P.rho_local;
    r.Gamma = P.Gamma;
    r.a_core = P.a_core;
    r.delta = P.delta;
    r.s_cut_local = P.s_cut_local;
    r.c_rankine_outer = P.c_rankine_outer;
    return r;
}

}  // namespace qelext
}  // namespace qel

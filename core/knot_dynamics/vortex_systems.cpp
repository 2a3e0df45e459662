// Vortex knot systems: one closed filament moving under its own Biot–Savart
// velocity, with its shapes (two formulas and the knot data by id) and its
// explicit Euler steps; and the evaluation of Fourier rows numbered from the
// constant term into positions and tangents.
#include "../knot_dynamics.h"
#include "../biot_savart.h"
#include "../kernel_clones.h"
#include "internal.h"
#include "../file_access.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qel {

using namespace knot_detail;

namespace {

// Work of one point of a formula shape (four sines and cosines) and of one
// central-difference tangent, in the units of the interrupt's work count.
constexpr std::uint64_t kFormulaPointWork = 32;
constexpr std::uint64_t kTangentWork = 4;
// Points between two counts of the work.
constexpr std::size_t kPointRun = 4096;

// Periodic central differences (P[k+1] - P[k-1]) * 0.5, not normalised; a
// single point gets the zero vector. The list is filled in order rather
// than made zero first, so that its memory is first touched in the loop
// that counts the work.
PointList central_tangents(const PointList &p, const Interrupt &interrupt) {
    const std::size_t n = p.size();
    PointList t;
    t.reserve(n);
    WorkMeter meter(interrupt);
    for (std::size_t k0 = 0; k0 < n; k0 += kPointRun) {
        const std::size_t k1 = std::min(n, k0 + kPointRun);
        for (std::size_t k = k0; k < k1; ++k) {
            const Vec3 &a = p[(k + 1) % n];
            const Vec3 &b = p[(k + n - 1) % n];
            t.push_back(Vec3{(a[0] - b[0]) * 0.5, (a[1] - b[1]) * 0.5, (a[2] - b[2]) * 0.5});
        }
        meter.add(kTangentWork * (k1 - k0));
    }
    return t;
}

// N points of a formula at t_k = k*2pi/N (end of the period excluded).
template <class Shape>
PointList sample_formula(std::uint64_t resolution, Shape shape, const Interrupt &interrupt) {
    PointList pts;
    pts.reserve(static_cast<std::size_t>(resolution));
    const double n = static_cast<double>(resolution);
    WorkMeter meter(interrupt);
    for (std::uint64_t k0 = 0; k0 < resolution; k0 += kPointRun) {
        const std::uint64_t k1 = std::min<std::uint64_t>(resolution, k0 + kPointRun);
        for (std::uint64_t k = k0; k < k1; ++k) pts.push_back(shape((static_cast<double>(k) * kTwoPi) / n));
        meter.add(kFormulaPointWork * (k1 - k0));
    }
    return pts;
}

// Targets per call of the element sweep, and elements per call: a block of
// targets meets about kInterruptInterval terms between two counts of the work.
constexpr std::size_t kTargetBlock = 256;
constexpr std::size_t kElementChunk = kInterruptInterval / kTargetBlock;

// x where keep holds, +0.0 elsewhere. A bit mask rather than a branch or a
// select: the term is then formed for every lane, so the loop stays free of
// control flow and vectorises also where the instruction set has no masked
// division.
inline double kept(bool keep, double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits &= -static_cast<std::uint64_t>(keep);
    std::memcpy(&x, &bits, sizeof bits);
    return x;
}

// Velocities of a block of targets (structure of arrays, already holding the
// targets' positions in tx/ty/tz) from every element of the filament. Each
// target sums its elements in element order with the arithmetic of
// BiotSavart::velocity, so a target's velocity is the one that kernel gives
// for it. An element nearer than 1e-6 (or at a NaN distance) adds exactly
// +0.0, which leaves the sum unchanged as a skip would (a sum that starts at
// +0.0 never becomes -0.0). The loop over the targets carries no dependence
// and vectorises.
QEL_KERNEL_CLONES
void element_sweep(const double *__restrict px, const double *__restrict py, const double *__restrict pz,
                   const double *__restrict ex, const double *__restrict ey, const double *__restrict ez,
                   std::size_t nel, double circulation, const double *__restrict tx, const double *__restrict ty,
                   const double *__restrict tz, double *__restrict vx, double *__restrict vy,
                   double *__restrict vz, std::size_t nt) {
    for (std::size_t j = 0; j < nel; ++j) {
        const double xj = px[j], yj = py[j], zj = pz[j];
        const double t0 = ex[j], t1 = ey[j], t2 = ez[j];
        for (std::size_t i = 0; i < nt; ++i) {
            const double Rx = tx[i] - xj, Ry = ty[i] - yj, Rz = tz[i] - zj;
            const double s = std::sqrt((Rx * Rx + Ry * Ry) + Rz * Rz);
            const double f = circulation / ((s * s) * s);
            const double cx = t1 * Rz - t2 * Ry;
            const double cy = t2 * Rx - t0 * Rz;
            const double cz = t0 * Ry - t1 * Rx;
            const bool keep = s > 1e-6;
            vx[i] += kept(keep, (cx * kInvFourPi) * f);
            vy[i] += kept(keep, (cy * kInvFourPi) * f);
            vz[i] += kept(keep, (cz * kInvFourPi) * f);
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Fourier rows with a constant term

KnotDynamics::FourierResult KnotDynamics::evaluate_fourier_series(const std::vector<FourierRow> &rows,
                                                                  const std::vector<double> &s,
                                                                  const Interrupt &interrupt) {
    FourierResult out;
    out.positions.reserve(s.size());
    out.tangents.reserve(s.size());
    WorkMeter meter(interrupt);
    for (const double sm : s) {
        meter.add(kHarmonicWork * rows.size() + 1);
        Vec3 r{0.0, 0.0, 0.0};
        Vec3 dr{0.0, 0.0, 0.0};
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const FourierRow &row = rows[j];
            const double w = static_cast<double>(j);
            const double c = std::cos(w * sm);
            const double n = std::sin(w * sm);
            for (int d = 0; d < 3; ++d) {
                const double a = row[static_cast<std::size_t>(2 * d)];
                const double b = row[static_cast<std::size_t>(2 * d + 1)];
                r[static_cast<std::size_t>(d)] += a * c + b * n;
                dr[static_cast<std::size_t>(d)] += w * (b * c - a * n);
            }
        }
        out.positions.push_back(r);
        out.tangents.push_back(dr);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Vortex knot systems

VortexKnotSystem::VortexKnotSystem(double circulation) : circulation_(circulation) {}

void VortexKnotSystem::compute_tangents() { tangents_ = central_tangents(positions_, Interrupt()); }

void VortexKnotSystem::replace_shape(PointList positions, const Interrupt &interrupt) {
    PointList tangents = central_tangents(positions, interrupt);
    // Nothing can fail past this point: the old shape stays until both new
    // lists are complete.
    positions_.swap(positions);
    tangents_.swap(tangents);
}

void VortexKnotSystem::initialize_trefoil_knot(std::uint64_t resolution, const Interrupt &interrupt) {
    replace_shape(sample_formula(
                      resolution,
                      [](double t) {
                          const double r = 2.0 + std::cos(3.0 * t);
                          return Vec3{r * std::cos(2.0 * t), r * std::sin(2.0 * t), std::sin(3.0 * t)};
                      },
                      interrupt),
                  interrupt);
}

void VortexKnotSystem::initialize_figure8_knot(std::uint64_t resolution, const Interrupt &interrupt) {
    replace_shape(sample_formula(
                      resolution,
                      [](double t) {
                          const double r = 2.0 + std::cos(2.0 * t);
                          return Vec3{r * std::cos(3.0 * t), r * std::sin(3.0 * t), std::sin(4.0 * t)};
                      },
                      interrupt),
                  interrupt);
}

std::string VortexKnotSystem::find_knot_file(const std::string &knot_id, const Interrupt &interrupt) {
    std::string path = find_knot_file_path(knot_id, std::string(), interrupt);
    if (path.empty()) throw std::runtime_error("Could not find .fseries file for knot: " + knot_id);
    return path;
}

void VortexKnotSystem::initialize_knot_from_name(const std::string &knot_id, std::uint64_t resolution,
                                                 const Interrupt &interrupt) {
    // Sample counts are signed 32-bit in the knot loaders; a larger
    // resolution is refused rather than wrapped to a smaller count.
    if (resolution > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::invalid_argument("initialize_knot_from_name: resolution " + std::to_string(resolution) +
                                    " exceeds 2147483647");
    }
    const std::size_t n = static_cast<std::size_t>(resolution);

    // The embedded texts, built on first use (thread-safe static
    // initialisation) and only read afterwards.
    static const EmbeddedFileMap embedded = get_embedded_knot_files();
    const auto it = embedded.find(knot_id);
    if (it != embedded.end() && !it->second.empty()) {
        const std::vector<FourierBlock> blocks = FourierKnot::parse_fseries_from_string(it->second);
        const int best = FourierKnot::index_of_largest_block(blocks);
        if (best >= 0) {
            // Both ends of the period are sampled; one sample takes s = 0.
            std::vector<double> s(n);
            for (std::size_t k = 0; k < n; ++k) {
                s[k] = n == 1 ? 0.0 : (static_cast<double>(k) * kTwoPi) / static_cast<double>(n - 1);
            }
            replace_shape(FourierKnot::center_points(
                              FourierKnot::evaluate(blocks[static_cast<std::size_t>(best)], s, interrupt)),
                          interrupt);
            return;
        }
    }

    // Not embedded (or no block in its text): the file on disk. Every error
    // of this path names the knot; running out of memory stays MemoryError,
    // and what the interrupt throws leaves as thrown.
    const WatchedInterrupt watched(interrupt);
    PointList loaded;
    try {
        const std::string path = find_knot_file(knot_id, watched.interrupt());
        loaded = FourierKnot::load_knot(path, static_cast<int>(resolution), watched.interrupt()).first;
        if (loaded.empty()) {
            throw file_access::PathError("Failed to load knot " + knot_id + " from ", path);
        }
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const file_access::PathError &e) {
        if (watched.fired()) throw;
        throw file_access::PathError("Could not initialize knot " + knot_id + ": ", e);
    } catch (const std::exception &e) {
        if (watched.fired()) throw;
        throw std::runtime_error("Could not initialize knot " + knot_id + ": " + e.what());
    }
    replace_shape(std::move(loaded), interrupt);
}

void VortexKnotSystem::evolve(double dt, std::uint64_t steps, const Interrupt &interrupt) {
    const std::size_t n = positions_.size();
    if (steps == 0 || n == 0) return;

    // Positions and tangents as structure of arrays for the whole call; the
    // new positions of a step go to a separate set, so every velocity of the
    // step sees the positions and tangents of the step's start.
    std::vector<double> work(9 * n);
    double *px = work.data(), *py = px + n, *pz = py + n;
    double *ex = pz + n, *ey = ex + n, *ez = ey + n;
    double *qx = ez + n, *qy = qx + n, *qz = qy + n;
    for (std::size_t k = 0; k < n; ++k) {
        px[k] = positions_[k][0];
        py[k] = positions_[k][1];
        pz[k] = positions_[k][2];
        ex[k] = tangents_[k][0];
        ey[k] = tangents_[k][1];
        ez[k] = tangents_[k][2];
    }

    // px.. and ex.. always hold a completed step (or the start): the state
    // kept when the interrupt stops the call. The interrupt runs Python code
    // that may have re-initialised this system meanwhile, so the lists are
    // replaced whole rather than written entry by entry: the system ends as
    // this call leaves it, never with entries of two shapes.
    auto store = [&]() {
        PointList p(n), t(n);
        for (std::size_t k = 0; k < n; ++k) {
            p[k] = Vec3{px[k], py[k], pz[k]};
            t[k] = Vec3{ex[k], ey[k], ez[k]};
        }
        positions_.swap(p);
        tangents_.swap(t);
    };

    alignas(64) double vx[kTargetBlock], vy[kTargetBlock], vz[kTargetBlock];
    WorkMeter meter(interrupt);
    try {
        for (std::uint64_t step = 0; step < steps; ++step) {
            for (std::size_t start = 0; start < n; start += kTargetBlock) {
                const std::size_t nt = std::min(kTargetBlock, n - start);
                std::fill(vx, vx + nt, 0.0);
                std::fill(vy, vy + nt, 0.0);
                std::fill(vz, vz + nt, 0.0);
                // Each target sums the elements in order, chunk after chunk.
                for (std::size_t j0 = 0; j0 < n; j0 += kElementChunk) {
                    const std::size_t nel = std::min(kElementChunk, n - j0);
                    element_sweep(px + j0, py + j0, pz + j0, ex + j0, ey + j0, ez + j0, nel, circulation_,
                                  px + start, py + start, pz + start, vx, vy, vz, nt);
                    meter.add(nt * nel);
                }
                for (std::size_t i = 0; i < nt; ++i) {
                    qx[start + i] = px[start + i] + dt * vx[i];
                    qy[start + i] = py[start + i] + dt * vy[i];
                    qz[start + i] = pz[start + i] + dt * vz[i];
                }
            }
            std::swap(px, qx);
            std::swap(py, qy);
            std::swap(pz, qz);
            // Tangents of the new positions, by the same central differences.
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t a = (k + 1) % n, b = (k + n - 1) % n;
                ex[k] = (px[a] - px[b]) * 0.5;
                ey[k] = (py[a] - py[b]) * 0.5;
                ez[k] = (pz[a] - pz[b]) * 0.5;
            }
        }
    } catch (...) {
        store();
        throw;
    }
    store();
}

const PointList &VortexKnotSystem::get_positions() const { return positions_; }

const PointList &VortexKnotSystem::get_tangents() const { return tangents_; }

}  // namespace qel

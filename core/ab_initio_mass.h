#pragma once
// Particle mass models: the master dictionary of knot invariants with its
// golden-ratio mass law (the zoo), and the particle evaluator, which samples
// closed vortex filaments from an ideal-database record, relaxes them to the
// particle length scale and turns their length (and optionally a tail energy
// of the flow around them) into a mass in MeV.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "interrupt.h"
#include "vec3.h"

// Invariants of one entry of the master dictionary: the multiplier b and the
// exponent g of the golden mass law.
struct QELKnotInvariants {
    double bridge_b;
    int genus_g;
};

namespace qel {

// The 32 entries of the master dictionary, ordered by key (byte-wise).
extern const std::map<std::string, QELKnotInvariants> QEL_MASTER_DICTIONARY;

class ZooEvaluator {
public:
    struct Result {
        std::string identifier;
        double mass_mev;
        double bridge_b;
        int genus_g;
    };

    // Golden mass law of one entry in MeV; -1.0 when the identifier is not a key.
    static double get_entry_mass(const std::string &identifier);
    // Every entry in key order.
    static std::vector<Result> evaluate_all_golden_nls();
};

class ParticleEvaluator {
public:
    struct TailApproxConfig {
        bool enabled = false;
        int radial_samples = 8;
        int azimuth_samples = 8;
        double r_min_factor = 1.25;
        double r_max_factor = 8.0;
        double exclusion_ds_factor = 3.0;
        bool use_log_shell_weight = false;  // kept and copied; no computation reads it
    };

    struct RelativisticMetrics {
        double helicity = 0.0;
        std::vector<double> time_dilation_map;
        double core_time_dilation = 0.0;
    };

    // Closed polylines (the last point joins the first), one per component.
    std::vector<PointList> filaments;
    TailApproxConfig tail_config;

    // Samples `resolution` points per component of the database record with
    // this id. The database is read anew: QEL_IDEAL_DATABASE, then fixed
    // paths relative to the working directory. The reading of the database,
    // the search for the record and the sampling call `interrupt` (see
    // file_access.h); when it throws, the construction ends with its
    // exception.
    ParticleEvaluator(const std::string &knot_ab_id, int resolution, const Interrupt &interrupt = {});
    // Copies the filaments as given.
    explicit ParticleEvaluator(const std::vector<PointList> &input_filaments);

    // Replaces `filaments` by the components of the record `id` in `db`;
    // false (filaments untouched) when the record or its end tag is missing,
    // false (filaments empty) when no component could be cut out.
    // The search and the sampling call `interrupt` about every
    // kInterruptInterval units of work; when it throws, `filaments` is
    // unchanged.
    bool extract_and_build_filament(const std::string &db, const std::string &id, int resolution,
                                    const Interrupt &interrupt = {});

    // Damped tension, centring and short-range repulsion, then the set is
    // moved to the origin and scaled so that its largest distance from the
    // centroid is the particle length scale. `interrupt` is called at the
    // start of every iteration and inside it, about every
    // kInterruptInterval pair tests; when it throws, the filaments keep the
    // positions of the last completed iteration (unscaled) and the exception
    // propagates.
    void relax_hamiltonian(int iterations, double timestep, const Interrupt &interrupt = {});

    // Lengths, energies and masses of the filaments (metres, joules, MeV).
    double get_dimless_ropelength(double stretch_lambda) const;
    double get_physical_length_m() const;
    double compute_core_energy_J() const;
    double get_core_mass_mev_only() const;
    // The tail surrogate (and the two that add it) call `interrupt` about
    // every kInterruptInterval kernel terms; nothing changes when it throws.
    double compute_tail_energy_surrogate_J(const Interrupt &interrupt = {}) const;
    double compute_tail_energy_J(bool include_tail, const Interrupt &interrupt = {}) const;
    double get_mass_mev_ab_initio(bool include_tail, const Interrupt &interrupt = {}) const;

    void set_tail_approx_config(const TailApproxConfig &cfg);
    TailApproxConfig get_tail_approx_config() const;

    // All points, filament by filament.
    PointList get_relaxed_polyline_m() const;
    // Orthonormal frame at a point from the central difference along its filament.
    void local_frame_at_index(std::size_t f, std::size_t i, Vec3 &T, Vec3 &N, Vec3 &B) const;
    // Softened Biot–Savart velocity of all filament segments at x, leaving out
    // the segments of filament self_f within the exclusion length of point self_i.
    Vec3 induced_velocity_bs_surrogate(const Vec3 &x, std::size_t self_f, std::size_t self_i,
                                       double exclusion_length) const;

    // Helicity, time-dilation map and its mean of the first filament's own
    // flow (one velocity per point: `interrupt` is called between points).
    RelativisticMetrics compute_relativistic_metrics(double circulation, const Interrupt &interrupt = {}) const;
    // Writes the core-density derivation to the process's standard output.
    static void print_canonical_derivation();

    static Vec3 v_add(const Vec3 &a, const Vec3 &b);
    static Vec3 v_sub(const Vec3 &a, const Vec3 &b);
    static Vec3 v_mul(const Vec3 &a, double s);
    static double v_dot(const Vec3 &a, const Vec3 &b);
    static Vec3 v_cross(const Vec3 &a, const Vec3 &b);
    static double v_norm(const Vec3 &a);
    static Vec3 v_unit(const Vec3 &a);
};

// Length of a closed polyline (the last point joins the first).
double closed_polyline_length(const PointList &P);

// Largest accepted radial_samples / azimuth_samples of the tail surrogate.
constexpr int kTailMaxSamples = 1 << 20;

}  // namespace qel

#pragma once
// Fourier-series file tools: sampling a file's largest block into a centred
// closed polyline and measuring it, helicity and thin-filament energy of a
// file, in-place canonicalisation of legacy files, batch helicity over a
// directory and the comparison of two files. Every call reads its files anew.
// The routines that sample a curve, sum over pairs of samples or fill a grid
// call `interrupt` about every kInterruptInterval terms (the batch also
// between files); it stops them when it throws.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "interrupt.h"
#include "vec3.h"

namespace qel {
namespace qelext {

// Outcome of one canonicalisation.
struct CanonicalizeResult {
    std::string path;
    int found_numeric_rows = 0;  // rows of exactly 3 or exactly 6 numbers
    bool changed = false;        // true only once the rewritten file is in place
    std::string reason;
};

// Helicity invariants of a file's largest block with the curve metrics of
// its samples (non-neighbour distance always with skip 3).
struct HelicityResult {
    std::string path;
    double a_mu = 0.0;
    double Hc = 0.0;
    double Hm = 0.0;
    double L = 0.0;
    double kappa_max = 0.0;
    double kappa_mean = 0.0;
    double bend_energy = 0.0;
    double min_non_neighbor_dist = 0.0;
    double reach_proxy = 0.0;
    int nsamples = 0;
};

// Parameters of the thin-filament energy; read only by the energy routine.
struct FilamentEnergyParams {
    double rho_outer = 7e-7;
    double rho_local = 7e-7;
    double Gamma = 1.0;
    double a_core = 1.0;
    double delta = 0.0;        // > 0: pairs this close or closer are left out
    double s_cut_local = 0.0;  // arc length of the local cut-off
    bool include_nonlocal = true;
    bool include_local_match = true;
    bool include_core_int = true;
    double c_rankine_outer = 0.0;
    int nsamples = 1024;
    int skip_neighbors_base = 1;
};

// Curve metrics of a file; the energy fields are filled by the energy routine.
struct FilamentEnergyResult {
    std::string path;
    double L = 0.0;
    double ds_avg = 0.0;
    int m_loc = 0;
    double E_nonlocal = 0.0;
    double E_local_match = 0.0;
    double E_core_int = 0.0;
    double E_total = 0.0;
    double kappa_max = 0.0;
    double kappa_mean = 0.0;
    double bend_energy = 0.0;
    double min_non_neighbor_dist = 0.0;
    double reach_proxy = 0.0;
    double rho_outer = 0.0;
    double rho_local = 0.0;
    double Gamma = 0.0;
    double a_core = 0.0;
    double delta = 0.0;
    double s_cut_local = 0.0;
    double c_rankine_outer = 0.0;
    int nsamples = 0;
};

// Largest block of the file (first on ties) at i*2pi/nsamples, end of the
// period excluded, centred on the mean. Throws std::runtime_error
// "no blocks parsed from: " + path, then std::length_error for nsamples < 0.
PointList sample_curve_centered(const std::string &path, int nsamples, const Interrupt &interrupt = {});

// Closed length (the segment from the last point back to the first included).
double curve_length(const PointList &points);
// Closed length, largest and mean discrete curvature and bending energy.
void curve_metrics_from_points(const PointList &points, double &L, double &kappa_max, double &kappa_mean,
                               double &bend_energy);
// Smallest distance between samples more than `skip` apart cyclically; 0 for
// n <= 3, 1e300 when no pair qualifies.
double min_non_neighbor_distance(const PointList &points, int skip, const Interrupt &interrupt = {});
double reach_proxy(const PointList &points, int skip, const Interrupt &interrupt = {});
FilamentEnergyResult curve_metrics_from_fseries(const std::string &path, int nsamples, int skip,
                                                const Interrupt &interrupt = {});

HelicityResult helicity_from_fseries(const std::string &path, int grid_size, double spacing, int interior_margin,
                                     int nsamples, const Interrupt &interrupt = {});
FilamentEnergyResult filament_energy_from_fseries(const std::string &path, const FilamentEnergyParams &params,
                                                  const Interrupt &interrupt = {});

// Blank (space, tab, LF, CR only) or a comment (first other character '%').
bool is_comment_or_blank(const std::string &line);
// Doubles read from the start of the line until the first read fails; no
// value when none was read.
std::optional<std::vector<double>> parse_floats_line(const std::string &line);
// Upgrades a legacy file whose first numeric row has three columns to a
// six-column zero row, through file_access::rewrite_regular_file. Throws
// std::runtime_error "cannot open file: " / "cannot write file: " + path,
// the latter with " (its old contents are kept in " + backup + ")" when a
// failed in-place write could not be undone. The interrupt is called about
// every 256 KiB of text and while the new text is copied; an exception from
// it leaves the file untouched.
CanonicalizeResult canonicalize_fseries_file_inplace(const std::string &path, const Interrupt &interrupt = {});

// Helicity of every ".fseries" file under root_dir (recursively when asked;
// links to directories are never followed), sorted by path. Throws
// std::runtime_error "directory does not exist: " + root_dir. The walk calls
// `interrupt` before every directory it opens and every readdir and stat,
// and the helicities between files and within each.
std::vector<HelicityResult> batch_helicity_from_dir(const std::string &root_dir, int grid_size, double spacing,
                                                    int interior_margin, int nsamples, bool recurse,
                                                    const Interrupt &interrupt = {});

// Metrics of both files, their differences (b - a) and the rms distance of
// samples with the same index.
std::map<std::string, double> compare_fseries_files(const std::string &path_a, const std::string &path_b,
                                                    int nsamples, int skip, const Interrupt &interrupt = {});

}  // namespace qelext
}  // namespace qel

#pragma once
// Knot model: the knot data carried by the module and the lookup of knot
// files on disk, Fourier-series blocks and their text readers, block
// evaluation and geometry, ideal-database records, the knot object with its
// loaders, and the topology of filaments given as point lists.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "interrupt.h"
#include "knot_dynamics/element_list.h"
#include "vec3.h"

namespace qel {

// ---------------------------------------------------------------------------
// Embedded data files and knot-file lookup
// ---------------------------------------------------------------------------

// Name -> complete file text, ordered by byte-wise key comparison.
using EmbeddedFileMap = std::map<std::string, std::string>;

// The 78 Fourier-series texts keyed by knot id; a new map on every call.
EmbeddedFileMap get_embedded_knot_files();
// The ideal databases and the 12-crossing polylines keyed by relative file
// name ("ideal.txt", "ideal_12_data/12a1.txt", ...); a new map on every call.
EmbeddedFileMap get_embedded_ideal_files();

// Path of the first readable "knot.<id>.fseries" among the base directory,
// QEL_KNOT_DATA_DIR, QEL_RESOURCE_DIR and the fixed data directories, or
// the empty text when none is found. An open that a signal interrupts calls
// `interrupt` (see file_access.h); when it throws, the search ends with it.
std::string find_knot_file_path(const std::string &knot_id, const std::string &base_dir,
                                const Interrupt &interrupt = {});
// Path of the first readable ideal text file of that name, or the empty text.
std::string find_ideal_file_path(const std::string &name, const std::string &base_dir,
                                 const Interrupt &interrupt = {});
// Text of one embedded ideal file, by relative name or by bare file name.
// Throws std::runtime_error "Embedded ideal text not found: " + name.
std::string load_embedded_ideal_text(const std::string &name);

// ---------------------------------------------------------------------------

// One closed curve as six Fourier series without constant term: entry k of
// every list holds harmonic k+1.
struct FourierBlock {
    std::string header;
    std::vector<double> a_x;
    std::vector<double> b_x;
    std::vector<double> a_y;
    std::vector<double> b_y;
    std::vector<double> a_z;
    std::vector<double> b_z;
};

class FourierKnot {
public:
    struct GeometricDescriptors {
        double L = 0.0;
        double bending_energy = 0.0;
        double min_self_distance = 0.0;
        double writhe = 0.0;
        std::vector<double> mode_energy;
    };

    struct IdealABComponent {
        int component_index = 0;
        Vec3 A0{0.0, 0.0, 0.0};
        Vec3 B0{0.0, 0.0, 0.0};
        FourierBlock fourier;
    };

    struct IdealABBlock {
        std::string id;
        std::string conway;
        double L = 0.0;
        double D = 0.0;
        int n = 1;
        // Held one by one: Python views of a component outlive changes of the list.
        ElementList<IdealABComponent> components;
        FourierBlock fourier;
    };

    struct LoadedKnot {
        std::string name;
        PointList points;
        std::vector<double> curvature;
    };

    // Largest coefficient index a database record may use; higher indices are
    // refused instead of being zero-filled.
    static constexpr int kMaxIdealCoeffIndex = 100000;

    // Knot object state; blocks are held one by one (see ElementList).
    ElementList<FourierBlock> blocks;
    FourierBlock activeBlock;
    PointList points;

    // Replaces `blocks` with the blocks of a file (rows of exactly six
    // numbers, no headers); "Cannot open file: " + path when it won't open.
    // The read and the parse call `interrupt` (see the readers below); when
    // it throws, `blocks` is unchanged.
    void loadBlocks(const std::string &path, const Interrupt &interrupt = {});
    // Copies the block with the most harmonics into `activeBlock`.
    void selectMaxHarmonics();
    // N points of `activeBlock` at i*2pi/N, end excluded, not centred;
    // `interrupt` is called about every kInterruptInterval terms, and
    // `points` is left as it was when it throws.
    void reconstruct(std::size_t N, const Interrupt &interrupt = {});

    // Fourier-series text readers; a file that won't open gives no blocks.
    // The readers of files and texts call `interrupt` while they read (see
    // file_access.h) and about every kInterruptInterval units of text work;
    // when it throws, nothing is returned.
    static std::vector<FourierBlock> parse_fseries_multi(const std::string &path, const Interrupt &interrupt = {});
    static std::vector<FourierBlock> parse_fseries_from_string(const std::string &content,
                                                               const Interrupt &interrupt = {});
    // Index of the block with the longest a_x (first on ties), -1 when empty.
    static int index_of_largest_block(const std::vector<FourierBlock> &blocks);

    // Evaluation and geometry of a block. The routines that evaluate the
    // block at many parameter values or test many pairs of samples call
    // `interrupt` between samples, about every kInterruptInterval terms.
    // They read the block (or component) only before the first call, since
    // the interrupt may run Python code that changes it.
    static PointList evaluate(const FourierBlock &block, const std::vector<double> &s,
                              const Interrupt &interrupt = {});
    static Vec3 evalPoint(const FourierBlock &block, double s);
    // (r, r', r'', r''') at s.
    static std::array<Vec3, 4> evaluate_with_derivatives(const FourierBlock &block, double s);
    static std::vector<double> curvature_exact(const FourierBlock &block, const std::vector<double> &s, double eps,
                                               const Interrupt &interrupt = {});
    static double length_exact(const FourierBlock &block, int nsamples, const Interrupt &interrupt = {});
    static double bending_energy_exact(const FourierBlock &block, int nsamples, double eps,
                                       const Interrupt &interrupt = {});
    static std::vector<double> mode_energies(const FourierBlock &block);
    static double min_self_distance_sampled(const PointList &points, int exclude_window,
                                            const Interrupt &interrupt = {});
    static double min_self_distance_exactish(const FourierBlock &block, int nsamples, int exclude_window,
                                             const Interrupt &interrupt = {});
    static GeometricDescriptors describe_fourier_block(const FourierBlock &block, int nsamples, int exclude_window,
                                                       const Interrupt &interrupt = {});
    static PointList center_points(const PointList &points);
    // Discrete curvature of a closed polyline (neighbours taken cyclically).
    static std::vector<double> curvature(const PointList &points, double eps);

    // Ideal knot database records; the readers call `interrupt` as the
    // Fourier-series readers do.
    static std::vector<IdealABBlock> parse_ideal_txt_from_string(const std::string &content,
                                                                 const Interrupt &interrupt = {});
    static std::vector<IdealABBlock> parse_ideal_txt_multi(const std::string &path, const Interrupt &interrupt = {});
    static IdealABBlock parse_ideal_ab_by_id_from_string(const std::string &content, const std::string &ab_id,
                                                         const Interrupt &interrupt = {});
    static IdealABBlock parse_ideal_ab_by_id_from_embedded(const std::string &ab_id, const std::string &name,
                                                           const Interrupt &interrupt = {});
    static int index_of_ideal_id(const std::vector<IdealABBlock> &blocks, const std::string &id);
    static PointList evaluate_ideal_component(const IdealABComponent &component, const std::vector<double> &s,
                                              const Interrupt &interrupt = {});
    static std::vector<PointList> evaluate_ideal_ab_components(const IdealABBlock &ab, const std::vector<double> &s,
                                                               const Interrupt &interrupt = {});
    static std::string format_ideal_ab_header(const IdealABBlock &ab);

    // Centred samples of a file's largest block at k*2pi/(n-1), both ends
    // included, with their curvature; no blocks gives two empty lists. The
    // reading of the file calls `interrupt` as parse_fseries_multi does, and
    // the sampling about every kInterruptInterval terms; load_all_knots also
    // calls it between files.
    static std::pair<PointList, std::vector<double>> load_knot(const std::string &path, int nsamples,
                                                               const Interrupt &interrupt = {});
    static std::vector<LoadedKnot> load_all_knots(const std::vector<std::string> &paths, int nsamples,
                                                  const Interrupt &interrupt = {});
};

// One closed vortex filament (point k joined to k+1, the last to the first)
// that moves under its own Biot–Savart velocity. Tangents are the periodic
// central differences (P[k+1] - P[k-1]) * 0.5 of the current positions, not
// normalised, one per point. An initialiser that fails keeps the previous
// shape.
class VortexKnotSystem {
public:
    explicit VortexKnotSystem(double circulation);

    void compute_tangents();
    // N points of the formula at t = k*2pi/N, k = 0 .. N-1. The sampling and
    // the tangents call `interrupt` about every kInterruptInterval units of
    // work; when it throws, the shape is unchanged.
    void initialize_trefoil_knot(std::uint64_t resolution, const Interrupt &interrupt = {});
    void initialize_figure8_knot(std::uint64_t resolution, const Interrupt &interrupt = {});
    // The largest block of the embedded text of that id, else of the file
    // find_knot_file names, sampled at k*2pi/(N-1) (both ends) and centred.
    // Errors of the file path become "Could not initialize knot <id>: ..."
    // (std::runtime_error), except std::bad_alloc and what `interrupt`
    // throws; a resolution above 2^31-1 is std::invalid_argument. The
    // lookup, the reading of the file and the sampling call `interrupt`;
    // when it throws, the shape is unchanged.
    void initialize_knot_from_name(const std::string &knot_id, std::uint64_t resolution,
                                   const Interrupt &interrupt = {});
    // `steps` explicit Euler steps; every velocity of a step is taken at the
    // positions and tangents of the step's start, then the tangents are
    // remade. `interrupt` is called about every kInterruptInterval velocity
    // terms; when it throws, positions and tangents are those of the last
    // completed step.
    void evolve(double dt, std::uint64_t steps, const Interrupt &interrupt = {});
    const PointList &get_positions() const;
    const PointList &get_tangents() const;

    // find_knot_file_path with no base directory; std::runtime_error
    // "Could not find .fseries file for knot: " + id when nothing is found.
    static std::string find_knot_file(const std::string &knot_id, const Interrupt &interrupt = {});

private:
    // Installs new positions with their tangents, or throws and changes
    // nothing; the tangents call `interrupt` as they are made.
    void replace_shape(PointList positions, const Interrupt &interrupt);

    PointList positions_;
    PointList tangents_;
    double circulation_;
};

// Topology of filaments given as open polylines (no closing segment). The
// routines over pairs of points or segments, over many projections, over
// grid nodes and curve samples call `interrupt` between rows, about every
// kInterruptInterval terms; it stops them when it throws.
class KnotDynamics {
public:
    // Fourier rows numbered from the constant term: row j holds harmonic j as
    // (a_x, b_x, a_y, b_y, a_z, b_z).
    using FourierRow = std::array<double, 6>;
    struct FourierResult {
        PointList positions;
        PointList tangents;  // exact derivatives with respect to s, not normalised
    };
    // Positions and tangents at every parameter value, in order.
    static FourierResult evaluate_fourier_series(const std::vector<FourierRow> &rows, const std::vector<double> &s,
                                                 const Interrupt &interrupt = {});

    // Discrete Gauss double sum over segment pairs, divided by 2pi.
    static double compute_writhe(const PointList &points, const Interrupt &interrupt = {});
    // Gauss linking sum over segment pairs / 4pi, rounded half away from zero.
    static int compute_linking_number(const PointList &curve_a, const PointList &curve_b,
                                      const Interrupt &interrupt = {});
    // Requires V.size() >= X.size().
    static double compute_twist(const PointList &X, const PointList &V);
    static double compute_centerline_helicity(const PointList &X, const PointList &T, const Interrupt &interrupt = {});
    // Index pairs (i, j), j >= i + 5, closer than threshold.
    static std::vector<std::pair<int, int>> detect_reconnection_candidates(const PointList &points, double threshold,
                                                                           const Interrupt &interrupt = {});
    // Requires T.size() >= X.size().
    static double writhe_gauss_curve(const PointList &X, const PointList &T, const Interrupt &interrupt = {});

    // Crossings of a closed polygon (segment N-1 -> 0) seen along random
    // directions drawn from std::mt19937(seed) through
    // std::normal_distribution<double>.
    //
    // One crossing of a planar-diagram code: the labels of the arcs that
    // arrive at and leave it, always in the order
    // [under_in, over_in, under_out, over_out]; K crossings use the labels
    // 1 .. 2K, each in exactly two entries.
    using PDCrossing = std::array<int, 4>;
    using PDCode = std::vector<PDCrossing>;
    // Smallest count of strict crossings over `directions` projections, N*N
    // when directions <= 0. The seed is used as its unsigned 32-bit value.
    static std::int64_t estimate_crossing_number(const PointList &points, int directions, int seed,
                                                 const Interrupt &interrupt = {});
    // Code of the projection with the most crossings among `tries` tries. A
    // try fails when its projection shows no crossing or when a crossing
    // meets at less than min_angle_deg or with depths closer than depth_tol.
    // std::invalid_argument for fewer than 4 points; std::runtime_error
    // "Failed to extract PD from any projection." when no try succeeds.
    static PDCode pd_from_curve(const PointList &points, int tries, std::uint32_t seed, double min_angle_deg,
                                double depth_tol, const Interrupt &interrupt = {});

    // Grid helicity. The four grid operations forward to the Biot–Savart grid
    // kernels (velocity with circulation 1), which call `interrupt` between
    // rows of the grid; the triple is (H_charge, H_mass, a_mu). The pipeline
    // calls it in every step, the making of the grid and the radii included.
    using Triple = std::array<double, 3>;
    static PointList compute_biot_savart_velocity_grid(const PointList &curve, const PointList &grid_points,
                                                       const Interrupt &interrupt = {});
    static PointList compute_vorticity_grid(const PointList &velocity, const std::array<int, 3> &shape,
                                            double spacing, const Interrupt &interrupt = {});
    static PointList extract_interior_field(const PointList &field, const std::array<int, 3> &shape, int margin,
                                            const Interrupt &interrupt = {});
    static Triple compute_helicity_invariants(const PointList &v_sub, const PointList &w_sub,
                                              const std::vector<double> &r_sq, const Interrupt &interrupt = {});
    // Samples the block at k*2pi/(n-1) (both ends), centres the samples, lays
    // a G^3 grid of nodes index*h (index -G/2 .. G-G/2-1) about the origin and
    // reduces velocity and vorticity of the nodes `interior_margin` in from
    // every face to the triple. n = 0 or 1, or no interior, gives (0, 0, NaN).
    // A negative margin, or a grid whose node count exceeds 2^31-1, is
    // std::invalid_argument; a negative grid_size or nsamples std::length_error.
    static Triple compute_helicity_from_fourier_block(const FourierBlock &block, int grid_size, double spacing,
                                                      int interior_margin, int nsamples,
                                                      const Interrupt &interrupt = {});
};

}  // namespace qel

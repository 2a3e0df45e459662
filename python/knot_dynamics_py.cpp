// Python faces of the knot model: Fourier blocks and their readers, block
// geometry, ideal-database records, knot objects and loading, and curve
// topology.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "array_convert.h"
#include "bindings.h"
#include "knot_dynamics.h"

namespace {

using qel::FourierBlock;
using qel::FourierKnot;
using qel::KnotDynamics;
using qel::PointList;
using qel::Vec3;
using qel_py::CArray;
using qel_py::points_as_array;
using qel_py::values_as_array;

// Rows of an (N, 3) array as a point list; the message is the one shared
// converter text of the knot functions.
PointList to_vec3(const CArray &a) {
    return qel_py::rows_as_points(a, "pd_from_curve: expected array with shape (N,3)");
}

std::vector<double> values_of_1d(const CArray &a) {
    const double *p = a.data();
    return std::vector<double>(p, p + a.shape(0));
}

void _check_1d_same_len(const CArray &a, const CArray &b, const char *name) {
    if (a.ndim() != 1 || b.ndim() != 1 || a.shape(0) != b.shape(0)) {
        throw std::invalid_argument(std::string("fourier_knot_eval: ") + name + " must be 1D and same length");
    }
}

// The first K entries of an array, zeros where it is shorter.
std::vector<double> first_k(const CArray &a, std::size_t K) {
    std::vector<double> out(K, 0.0);
    const std::size_t m = std::min(K, static_cast<std::size_t>(a.shape(0)));
    std::copy(a.data(), a.data() + m, out.begin());
    return out;
}

std::vector<double> s_of(const CArray &s) {
    if (s.ndim() != 1) throw std::invalid_argument("s must be 1D");
    return values_of_1d(s);
}

}  // namespace

void bind_knot(py::module_ &m) {
    // 1 FourierBlock
    py::class_<FourierBlock>(m, "FourierBlock")
        .def(py::init<>())
        .def_readwrite("header", &FourierBlock::header)
        .def_readwrite("a_x", &FourierBlock::a_x)
        .def_readwrite("b_x", &FourierBlock::b_x)
        .def_readwrite("a_y", &FourierBlock::a_y)
        .def_readwrite("b_y", &FourierBlock::b_y)
        .def_readwrite("a_z", &FourierBlock::a_z)
        .def_readwrite("b_z", &FourierBlock::b_z);

    // 2 IdealABComponent
    py::class_<FourierKnot::IdealABComponent>(m, "IdealABComponent")
        .def(py::init<>())
        .def_readwrite("component_index", &FourierKnot::IdealABComponent::component_index)
        .def_readwrite("A0", &FourierKnot::IdealABComponent::A0)
        .def_readwrite("B0", &FourierKnot::IdealABComponent::B0)
        .def_readwrite("fourier", &FourierKnot::IdealABComponent::fourier);

    // 3 IdealABBlock
    py::class_<FourierKnot::IdealABBlock>(m, "IdealABBlock")
        .def(py::init<>())
        .def_readwrite("id", &FourierKnot::IdealABBlock::id)
        .def_readwrite("conway", &FourierKnot::IdealABBlock::conway)
        .def_readwrite("L", &FourierKnot::IdealABBlock::L)
        .def_readwrite("D", &FourierKnot::IdealABBlock::D)
        .def_readwrite("n", &FourierKnot::IdealABBlock::n)
        .def_readwrite("components", &FourierKnot::IdealABBlock::components)
        .def_readwrite("fourier", &FourierKnot::IdealABBlock::fourier);

    // 4 fourier_knot
    py::class_<FourierKnot>(m, "fourier_knot")
        .def(py::init<>())
        .def("loadBlocks", &FourierKnot::loadBlocks)
        .def("selectMaxHarmonics", &FourierKnot::selectMaxHarmonics)
        .def("reconstruct", &FourierKnot::reconstruct)
        .def_readwrite("points", &FourierKnot::points)
        .def_readwrite("blocks", &FourierKnot::blocks)
        .def_readwrite("activeBlock", &FourierKnot::activeBlock);

    // 5 parse_fseries_multi
    m.def("parse_fseries_multi", &FourierKnot::parse_fseries_multi, py::arg("path"),
          "Parse a .fseries file into Fourier blocks.");

    // 6 parse_ideal_txt_multi
    m.def("parse_ideal_txt_multi", &FourierKnot::parse_ideal_txt_multi, py::arg("path"),
          "Parse an ideal.txt-style file into IdealABBlock entries.");

    // 7 parse_ideal_txt_from_string
    m.def("parse_ideal_txt_from_string", &FourierKnot::parse_ideal_txt_from_string, py::arg("content"),
          "Parse ideal.txt-style content string into IdealABBlock entries.");

    // 8 index_of_ideal_id
    m.def("index_of_ideal_id", &FourierKnot::index_of_ideal_id, py::arg("blocks"), py::arg("id"),
          "Return index of IdealABBlock with given id, or -1 if not found.");

    // 9 index_of_largest_block
    m.def("index_of_largest_block", &FourierKnot::index_of_largest_block, py::arg("blocks"),
          "Return index of block with most harmonics.");

    // 10 evaluate_fourier_block
    m.def("evaluate_fourier_block", &FourierKnot::evaluate, py::arg("block"), py::arg("s"),
          "Evaluate r(s) for the given Fourier block.");

    // 11 evaluate_with_derivatives
    m.def(
        "evaluate_with_derivatives",
        [](const FourierBlock &block, double s) {
            const auto r = FourierKnot::evaluate_with_derivatives(block, s);
            return std::make_tuple(r[0], r[1], r[2], r[3]);
        },
        py::arg("block"), py::arg("s"), "Evaluate Fourier block and its first three derivatives at parameter s.");

    // 12 curvature_exact
    m.def("curvature_exact", &FourierKnot::curvature_exact, py::arg("block"), py::arg("s"), py::arg("eps") = 1e-12,
          "Compute exact curvature from Fourier coefficients at sample parameters.");

    // 13 length_exact
    m.def("length_exact", &FourierKnot::length_exact, py::arg("block"), py::arg("nsamples") = 4096,
          "Compute exact length of Fourier curve by sampling.");

    // 14 bending_energy_exact
    m.def("bending_energy_exact", &FourierKnot::bending_energy_exact, py::arg("block"), py::arg("nsamples") = 4096,
          py::arg("eps") = 1e-12, "Compute bending energy integral of Fourier curve.");

    // 15 mode_energies
    m.def("mode_energies", &FourierKnot::mode_energies, py::arg("block"),
          "Compute per-mode energy from Fourier coefficients.");

    // 16 min_self_distance_sampled
    m.def("min_self_distance_sampled", &FourierKnot::min_self_distance_sampled, py::arg("points"),
          py::arg("exclude_window") = 4, "Compute minimum self-distance of a closed polygonal curve.");

    // 17 min_self_distance_exactish
    m.def("min_self_distance_exactish", &FourierKnot::min_self_distance_exactish, py::arg("block"),
          py::arg("nsamples") = 2048, py::arg("exclude_window") = 4,
          "Estimate minimum self-distance of Fourier curve via sampling.");

    // 18 GeometricDescriptors
    py::class_<FourierKnot::GeometricDescriptors>(m, "GeometricDescriptors")
        .def_readonly("L", &FourierKnot::GeometricDescriptors::L)
        .def_readonly("bending_energy", &FourierKnot::GeometricDescriptors::bending_energy)
        .def_readonly("min_self_distance", &FourierKnot::GeometricDescriptors::min_self_distance)
        .def_readonly("writhe", &FourierKnot::GeometricDescriptors::writhe)
        .def_readonly("mode_energy", &FourierKnot::GeometricDescriptors::mode_energy);

    // 19 describe_fourier_block
    m.def("describe_fourier_block", &FourierKnot::describe_fourier_block, py::arg("block"),
          py::arg("nsamples") = 2048, py::arg("exclude_window") = 4,
          "Compute geometric descriptors (length, bending energy, self-distance, writhe, mode energies) for a "
          "Fourier block.");

    // 20 fourier_knot_eval
    m.def(
        "fourier_knot_eval",
        [](const CArray &a_x, const CArray &b_x, const CArray &a_y, const CArray &b_y, const CArray &a_z,
           const CArray &b_z, const CArray &s) {
            _check_1d_same_len(a_x, b_x, "a_x/b_x");
            _check_1d_same_len(a_y, b_y, "a_y/b_y");
            _check_1d_same_len(a_z, b_z, "a_z/b_z");
            if (s.ndim() != 1) throw std::invalid_argument("fourier_knot_eval: s must be 1D");
            // Every list takes len(a_x) entries; a shorter pair reads as zeros.
            const auto K = static_cast<std::size_t>(a_x.shape(0));
            FourierBlock block;
            block.a_x = first_k(a_x, K);
            block.b_x = first_k(b_x, K);
            block.a_y = first_k(a_y, K);
            block.b_y = first_k(b_y, K);
            block.a_z = first_k(a_z, K);
            block.b_z = first_k(b_z, K);
            const PointList pts = FourierKnot::evaluate(block, values_of_1d(s));
            const auto n = static_cast<py::ssize_t>(pts.size());
            py::array_t<double> x(n), y(n), z(n);
            double *px = x.mutable_data();
            double *py_ = y.mutable_data();
            double *pz = z.mutable_data();
            for (std::size_t i = 0; i < pts.size(); ++i) {
                px[i] = pts[i][0];
                py_[i] = pts[i][1];
                pz[i] = pts[i][2];
            }
            return py::make_tuple(x, y, z);
        },
        py::arg("a_x"), py::arg("b_x"), py::arg("a_y"), py::arg("b_y"), py::arg("a_z"), py::arg("b_z"), py::arg("s"),
        "NumPy-friendly Fourier evaluation returning (x,y,z)");

    // 21 FourierResult

    // 22 compute_writhe
    m.def("compute_writhe", &KnotDynamics::compute_writhe,
          "\n        Compute the writhe of a closed filament (topological self-linking).\n    ");

    // 23 compute_linking_number
    m.def("compute_linking_number", &KnotDynamics::compute_linking_number,
          "\n        Compute the Gauss linking number between two closed loops.\n    ");

    // 24 compute_twist
    m.def("compute_twist", &KnotDynamics::compute_twist,
          "\n        Compute twist from Frenet frames along a filament.\n    ");

    // 25 compute_centerline_helicity
    m.def("compute_centerline_helicity", &KnotDynamics::compute_centerline_helicity,
          "\n        Compute the centerline helicity as the sum of writhe and twist.\n    ");

    // 26 detect_reconnection_candidates
    m.def("detect_reconnection_candidates", &KnotDynamics::detect_reconnection_candidates,
          "\n        Detect pairs of points on the filament that approach closely enough to be candidates for "
          "reconnection.\n    ");

    // 27 evaluate_fourier_series

    // 28 writhe_gauss_curve
    m.def("writhe_gauss_curve", &KnotDynamics::writhe_gauss_curve, "Compute writhe via Gauss integral");

    // 29 estimate_crossing_number

    // 30 pd_from_curve

    // 31 compute_biot_savart_velocity_grid

    // 32 compute_vorticity_grid

    // 33 extract_interior_field

    // 34 compute_helicity_invariants

    // 35 compute_helicity_from_fourier_block

    // 36 compute_curvature
    m.def(
        "compute_curvature",
        [](const CArray &points, double eps) { return values_as_array(FourierKnot::curvature(to_vec3(points), eps)); },
        py::arg("points"), py::arg("eps") = 1e-8, "Compute discrete curvature from points.");

    // 37 get_embedded_ideal_files
    m.def("get_embedded_ideal_files", &qel::get_embedded_ideal_files,
          "Return embedded ideal*.txt resources as {relative_name: content}.");

    // 38 load_embedded_ideal_text
    m.def("load_embedded_ideal_text", &qel::load_embedded_ideal_text, py::arg("name") = "ideal.txt",
          "Load embedded ideal text resource from library (basename fallback supported).");

    // 39 parse_embedded_ideal_txt
    m.def(
        "parse_embedded_ideal_txt",
        [](const std::string &name) {
            return FourierKnot::parse_ideal_txt_from_string(qel::load_embedded_ideal_text(name));
        },
        py::arg("name") = "ideal.txt", "Parse embedded ideal*.txt resource into AB blocks.");

    // 40 parse_embedded_ideal_ab_by_id
    m.def("parse_embedded_ideal_ab_by_id", &FourierKnot::parse_ideal_ab_by_id_from_embedded, py::arg("ab_id"),
          py::arg("name") = "ideal.txt", "Parse a single AB block by Id from an embedded ideal*.txt resource.");

    // 41 parse_ideal_ab_by_id_from_string
    m.def("parse_ideal_ab_by_id_from_string", &FourierKnot::parse_ideal_ab_by_id_from_string, py::arg("content"),
          py::arg("ab_id"), "Parse a single AB block by Id from ideal.txt-style content string.");

    // 42 format_ideal_ab_header
    m.def("format_ideal_ab_header", &FourierKnot::format_ideal_ab_header, py::arg("ab"),
          "Format AB metadata as: AB Id=\"...\" Conway=\"...\" L=\"...\" D=\"...\" n=\"...\"");

    // 43 get_embedded_knot_files
    m.def("get_embedded_knot_files", &qel::get_embedded_knot_files,
          "Return embedded .fseries resources as {knot_id: file_content}.");

    // 44 parse_fseries_from_string
    m.def("parse_fseries_from_string", &FourierKnot::parse_fseries_from_string, py::arg("content"),
          "Parse .fseries content string into Fourier blocks.");

    // 45 load_embedded_knot_block
    m.def(
        "load_embedded_knot_block",
        [](const std::string &knot_id) {
            // A map of its own for this call: nothing is kept between calls.
            const qel::EmbeddedFileMap files = qel::get_embedded_knot_files();
            const auto it = files.find(knot_id);
            if (it == files.end()) throw std::runtime_error("Embedded knot id not found: " + knot_id);
            std::vector<FourierBlock> blocks = FourierKnot::parse_fseries_from_string(it->second);
            const int best = FourierKnot::index_of_largest_block(blocks);
            if (best < 0) throw std::runtime_error("No Fourier block found in embedded knot: " + knot_id);
            return blocks[static_cast<std::size_t>(best)];
        },
        py::arg("knot_id"), "Load embedded knot by id and return its largest Fourier block.");

    // 46 evaluate_ideal_component
    m.def(
        "evaluate_ideal_component",
        [](const FourierKnot::IdealABComponent &component, const CArray &s) {
            return points_as_array(FourierKnot::evaluate_ideal_component(component, s_of(s)));
        },
        py::arg("component"), py::arg("s"), "Evaluate a single ideal AB component (includes I=0 offset).");

    // 47 evaluate_ideal_ab_components
    m.def(
        "evaluate_ideal_ab_components",
        [](const FourierKnot::IdealABBlock &ab, const CArray &s) {
            const std::vector<PointList> comps = FourierKnot::evaluate_ideal_ab_components(ab, s_of(s));
            py::list out;
            for (const PointList &c : comps) out.append(points_as_array(c));
            return out;
        },
        py::arg("ab"), py::arg("s"), "Evaluate all components of an ideal AB block.");

    // 48 LoadedKnot
    py::class_<FourierKnot::LoadedKnot>(m, "LoadedKnot")
        .def_readonly("name", &FourierKnot::LoadedKnot::name)
        .def_readonly("points", &FourierKnot::LoadedKnot::points)
        .def_readonly("curvature", &FourierKnot::LoadedKnot::curvature)
        .def(
            "get_points_array",
            [](const FourierKnot::LoadedKnot &k) { return points_as_array(k.points); },
            "Get points as NumPy array (N,3)")
        .def(
            "get_curvature_array",
            [](const FourierKnot::LoadedKnot &k) { return values_as_array(k.curvature); },
            "Get curvature as NumPy array (N,)");

    // 49 load_all_knots
    m.def("load_all_knots", &FourierKnot::load_all_knots, py::arg("paths"), py::arg("nsamples") = 1000,
          "Load all knots from a list of .fseries file paths.");

    // 50 VortexKnotSystem
}

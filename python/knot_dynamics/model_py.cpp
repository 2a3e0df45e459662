// Python faces of Fourier blocks, their readers and geometry, ideal-database
// records and knot objects (entries 1 to 20 of the knot registration).
#include "knot_py.h"

#include "list_convert.h"

#include <cstddef>
#include <memory>
#include <tuple>
#include <vector>

namespace knot_py {

namespace {

// A new list of the elements themselves: each view shares ownership of its
// element, so it stays valid (with the element's last values) after the
// owner's list is replaced, shrunk or grown. Assigning a list copies it.
template <class T>
py::list shared_elements(const qel::ElementList<T> &elements) {
    py::list out(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) out[i] = py::cast(elements.shared()[i]);
    return out;
}

}  // namespace

void bind_model(py::module_ &m) {
    // 1 FourierBlock
    py::class_<FourierBlock, std::shared_ptr<FourierBlock>>(m, "FourierBlock")
        .def(py::init<>())
        .def_property(
            "header", [](const FourierBlock &b) { return FileText{b.header}; },
            [](FourierBlock &b, const FileText &t) { b.header = t.bytes; })
        .def_readwrite("a_x", &FourierBlock::a_x)
        .def_readwrite("b_x", &FourierBlock::b_x)
        .def_readwrite("a_y", &FourierBlock::a_y)
        .def_readwrite("b_y", &FourierBlock::b_y)
        .def_readwrite("a_z", &FourierBlock::a_z)
        .def_readwrite("b_z", &FourierBlock::b_z);

    // 2 IdealABComponent
    py::class_<FourierKnot::IdealABComponent, std::shared_ptr<FourierKnot::IdealABComponent>>(m, "IdealABComponent")
        .def(py::init<>())
        .def_readwrite("component_index", &FourierKnot::IdealABComponent::component_index)
        .def_readwrite("A0", &FourierKnot::IdealABComponent::A0)
        .def_readwrite("B0", &FourierKnot::IdealABComponent::B0)
        .def_readwrite("fourier", &FourierKnot::IdealABComponent::fourier);

    // 3 IdealABBlock
    py::class_<FourierKnot::IdealABBlock>(m, "IdealABBlock")
        .def(py::init<>())
        .def_property(
            "id", [](const FourierKnot::IdealABBlock &ab) { return FileText{ab.id}; },
            [](FourierKnot::IdealABBlock &ab, const FileText &t) { ab.id = t.bytes; })
        .def_property(
            "conway", [](const FourierKnot::IdealABBlock &ab) { return FileText{ab.conway}; },
            [](FourierKnot::IdealABBlock &ab, const FileText &t) { ab.conway = t.bytes; })
        .def_readwrite("L", &FourierKnot::IdealABBlock::L)
        .def_readwrite("D", &FourierKnot::IdealABBlock::D)
        .def_readwrite("n", &FourierKnot::IdealABBlock::n)
        .def_property(
            "components", [](const FourierKnot::IdealABBlock &ab) { return shared_elements(ab.components); },
            [](FourierKnot::IdealABBlock &ab, const std::vector<FourierKnot::IdealABComponent> &v) {
                ab.components.assign(v);
            })
        .def_readwrite("fourier", &FourierKnot::IdealABBlock::fourier);

    // 4 fourier_knot
    py::class_<FourierKnot>(m, "fourier_knot")
        .def(py::init<>())
        .def("loadBlocks", [](FourierKnot &k, const FsPath &path) { k.loadBlocks(path.bytes, signal_interrupt()); })
        .def("selectMaxHarmonics", &FourierKnot::selectMaxHarmonics)
        .def("reconstruct", with_interrupt<&FourierKnot::reconstruct>())
        .def_readwrite("points", &FourierKnot::points)
        .def_property(
            "blocks", [](const FourierKnot &k) { return shared_elements(k.blocks); },
            [](FourierKnot &k, const std::vector<FourierBlock> &v) { k.blocks.assign(v); })
        .def_readwrite("activeBlock", &FourierKnot::activeBlock);

    // 5 parse_fseries_multi
    m.def(
        "parse_fseries_multi",
        [](const FsPath &path) { return FourierKnot::parse_fseries_multi(path.bytes, signal_interrupt()); },
        py::arg("path"), "Parse a .fseries file into Fourier blocks.");

    // 6 parse_ideal_txt_multi
    m.def(
        "parse_ideal_txt_multi",
        [](const FsPath &path) { return FourierKnot::parse_ideal_txt_multi(path.bytes, signal_interrupt()); },
        py::arg("path"), "Parse an ideal.txt-style file into IdealABBlock entries.");

    // 7 parse_ideal_txt_from_string
    m.def("parse_ideal_txt_from_string", with_interrupt<&FourierKnot::parse_ideal_txt_from_string>(),
          py::arg("content"),
          "Parse ideal.txt-style content string into IdealABBlock entries.");

    // 8 index_of_ideal_id
    // The id as the `id` field gives it, so that a record read with one
    // that is not UTF-8 is found again.
    m.def(
        "index_of_ideal_id",
        [](const std::vector<FourierKnot::IdealABBlock> &blocks, const FileText &id) {
            return FourierKnot::index_of_ideal_id(blocks, id.bytes);
        },
        py::arg("blocks"), py::arg("id"),
          "Return index of IdealABBlock with given id, or -1 if not found.");

    // 9 index_of_largest_block
    m.def("index_of_largest_block", &FourierKnot::index_of_largest_block, py::arg("blocks"),
          "Return index of block with most harmonics.");

    // 10 evaluate_fourier_block
    m.def(
        "evaluate_fourier_block",
        [](const FourierBlock &block, const std::vector<double> &s) {
            return qel_py::PointsResult{FourierKnot::evaluate(block, s, signal_interrupt())};
        },
        py::arg("block"), py::arg("s"), "Evaluate r(s) for the given Fourier block.");

    // 11 evaluate_with_derivatives
    m.def(
        "evaluate_with_derivatives",
        [](const FourierBlock &block, double s) {
            const auto r = FourierKnot::evaluate_with_derivatives(block, s);
            return std::make_tuple(r[0], r[1], r[2], r[3]);
        },
        py::arg("block"), py::arg("s"), "Evaluate Fourier block and its first three derivatives at parameter s.");

    // 12 curvature_exact
    m.def("curvature_exact", with_interrupt<&FourierKnot::curvature_exact>(), py::arg("block"), py::arg("s"),
          py::arg("eps") = 1e-12, "Compute exact curvature from Fourier coefficients at sample parameters.");

    // 13 length_exact
    m.def("length_exact", with_interrupt<&FourierKnot::length_exact>(), py::arg("block"), py::arg("nsamples") = 4096,
          "Compute exact length of Fourier curve by sampling.");

    // 14 bending_energy_exact
    m.def("bending_energy_exact", with_interrupt<&FourierKnot::bending_energy_exact>(), py::arg("block"),
          py::arg("nsamples") = 4096, py::arg("eps") = 1e-12, "Compute bending energy integral of Fourier curve.");

    // 15 mode_energies
    m.def("mode_energies", &FourierKnot::mode_energies, py::arg("block"),
          "Compute per-mode energy from Fourier coefficients.");

    // 16 min_self_distance_sampled
    m.def("min_self_distance_sampled", with_interrupt<&FourierKnot::min_self_distance_sampled>(), py::arg("points"),
          py::arg("exclude_window") = 4, "Compute minimum self-distance of a closed polygonal curve.");

    // 17 min_self_distance_exactish
    m.def("min_self_distance_exactish", with_interrupt<&FourierKnot::min_self_distance_exactish>(), py::arg("block"),
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
    m.def("describe_fourier_block", with_interrupt<&FourierKnot::describe_fourier_block>(), py::arg("block"),
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
            const PointList pts = FourierKnot::evaluate(block, values_of_1d(s), signal_interrupt());
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
}

}  // namespace knot_py

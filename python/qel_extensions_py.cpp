// Python faces of the Fourier-series file tools: four record classes and the
// file functions, registered without docstrings.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "bindings.h"
#include "fs_path.h"
#include "interrupt_py.h"
#include "list_convert.h"
#include "qel_extensions.h"

namespace {

using qel_py::FsPath;

// A `path` field: read as os.fsdecode gives the file name, written from
// anything a path argument takes.
template <class Record>
void def_path_field(py::class_<Record> &cls, std::string Record::*field) {
    cls.def_property(
        "path", [field](const Record &r) { return FsPath{r.*field}; },
        [field](Record &r, const FsPath &p) { r.*field = p.bytes; });
}

}  // namespace

void bind_extensions(py::module_ &m) {
    namespace ext = qel::qelext;
    using qel_py::signal_interrupt;
    using ext::CanonicalizeResult;
    using ext::FilamentEnergyParams;
    using ext::FilamentEnergyResult;
    using ext::HelicityResult;

    py::class_<CanonicalizeResult> canon(m, "CanonicalizeResult");
    canon.def(py::init<>());
    def_path_field(canon, &CanonicalizeResult::path);
    canon.def_readwrite("found_numeric_rows", &CanonicalizeResult::found_numeric_rows)
        .def_readwrite("changed", &CanonicalizeResult::changed)
        .def_readwrite("reason", &CanonicalizeResult::reason);

    py::class_<HelicityResult> helicity(m, "HelicityResult");
    helicity.def(py::init<>());
    def_path_field(helicity, &HelicityResult::path);
    helicity.def_readwrite("a_mu", &HelicityResult::a_mu)
        .def_readwrite("Hc", &HelicityResult::Hc)
        .def_readwrite("Hm", &HelicityResult::Hm)
        .def_readwrite("L", &HelicityResult::L)
        .def_readwrite("kappa_max", &HelicityResult::kappa_max)
        .def_readwrite("kappa_mean", &HelicityResult::kappa_mean)
        .def_readwrite("bend_energy", &HelicityResult::bend_energy)
        .def_readwrite("min_non_neighbor_dist", &HelicityResult::min_non_neighbor_dist)
        .def_readwrite("reach_proxy", &HelicityResult::reach_proxy)
        .def_readwrite("nsamples", &HelicityResult::nsamples);

    py::class_<FilamentEnergyParams>(m, "FilamentEnergyParams")
        .def(py::init<>())
        .def_readwrite("rho_outer", &FilamentEnergyParams::rho_outer)
        .def_readwrite("rho_local", &FilamentEnergyParams::rho_local)
        .def_readwrite("Gamma", &FilamentEnergyParams::Gamma)
        .def_readwrite("a_core", &FilamentEnergyParams::a_core)
        .def_readwrite("delta", &FilamentEnergyParams::delta)
        .def_readwrite("s_cut_local", &FilamentEnergyParams::s_cut_local)
        .def_readwrite("include_nonlocal", &FilamentEnergyParams::include_nonlocal)
        .def_readwrite("include_local_match", &FilamentEnergyParams::include_local_match)
        .def_readwrite("include_core_int", &FilamentEnergyParams::include_core_int)
        .def_readwrite("c_rankine_outer", &FilamentEnergyParams::c_rankine_outer)
        .def_readwrite("nsamples", &FilamentEnergyParams::nsamples)
        .def_readwrite("skip_neighbors_base", &FilamentEnergyParams::skip_neighbors_base);

    py::class_<FilamentEnergyResult> energy(m, "FilamentEnergyResult");
    energy.def(py::init<>());
    def_path_field(energy, &FilamentEnergyResult::path);
    energy.def_readwrite("L", &FilamentEnergyResult::L)
        .def_readwrite("ds_avg", &FilamentEnergyResult::ds_avg)
        .def_readwrite("m_loc", &FilamentEnergyResult::m_loc)
        .def_readwrite("E_nonlocal", &FilamentEnergyResult::E_nonlocal)
        .def_readwrite("E_local_match", &FilamentEnergyResult::E_local_match)
        .def_readwrite("E_core_int", &FilamentEnergyResult::E_core_int)
        .def_readwrite("E_total", &FilamentEnergyResult::E_total)
        .def_readwrite("kappa_max", &FilamentEnergyResult::kappa_max)
        .def_readwrite("kappa_mean", &FilamentEnergyResult::kappa_mean)
        .def_readwrite("bend_energy", &FilamentEnergyResult::bend_energy)
        .def_readwrite("min_non_neighbor_dist", &FilamentEnergyResult::min_non_neighbor_dist)
        .def_readwrite("reach_proxy", &FilamentEnergyResult::reach_proxy)
        .def_readwrite("rho_outer", &FilamentEnergyResult::rho_outer)
        .def_readwrite("rho_local", &FilamentEnergyResult::rho_local)
        .def_readwrite("Gamma", &FilamentEnergyResult::Gamma)
        .def_readwrite("a_core", &FilamentEnergyResult::a_core)
        .def_readwrite("delta", &FilamentEnergyResult::delta)
        .def_readwrite("s_cut_local", &FilamentEnergyResult::s_cut_local)
        .def_readwrite("c_rankine_outer", &FilamentEnergyResult::c_rankine_outer)
        .def_readwrite("nsamples", &FilamentEnergyResult::nsamples);

    m.def(
        "canonicalize_fseries_file_inplace",
        [](const FsPath &path) { return ext::canonicalize_fseries_file_inplace(path.bytes, signal_interrupt()); },
        py::arg("path"));
    m.def(
        "compute_helicity_from_fseries",
        [](const FsPath &path, int grid_size, double spacing, int interior_margin, int nsamples) {
            return ext::helicity_from_fseries(path.bytes, grid_size, spacing, interior_margin, nsamples,
                                              signal_interrupt());
        },
        py::arg("path"), py::arg("grid_size") = 32, py::arg("spacing") = 0.1, py::arg("interior_margin") = 8,
        py::arg("nsamples") = 1000);
    m.def(
        "sample_curve_centered",
        [](const FsPath &path, int nsamples) {
            return qel_py::PointsResult{ext::sample_curve_centered(path.bytes, nsamples, signal_interrupt())};
        },
        py::arg("path"), py::arg("nsamples") = 1024);
    m.def(
        "compute_curve_metrics_from_fseries",
        [](const FsPath &path, int nsamples, int skip) {
            return ext::curve_metrics_from_fseries(path.bytes, nsamples, skip, signal_interrupt());
        },
        py::arg("path"), py::arg("nsamples") = 2048, py::arg("skip") = 3);
    m.def(
        "curve_length_from_fseries",
        [](const FsPath &path, int nsamples) {
            return ext::curve_length(ext::sample_curve_centered(path.bytes, nsamples, signal_interrupt()));
        },
        py::arg("path"), py::arg("nsamples") = 2048);
    m.def(
        "min_non_neighbor_distance_from_fseries",
        [](const FsPath &path, int nsamples, int skip) {
            const qel::PointList points = ext::sample_curve_centered(path.bytes, nsamples, signal_interrupt());
            return ext::min_non_neighbor_distance(points, skip, signal_interrupt());
        },
        py::arg("path"), py::arg("nsamples") = 2048, py::arg("skip") = 3);
    m.def(
        "reach_proxy_from_fseries",
        [](const FsPath &path, int nsamples, int skip) {
            return ext::reach_proxy(ext::sample_curve_centered(path.bytes, nsamples, signal_interrupt()), skip,
                                    signal_interrupt());
        },
        py::arg("path"), py::arg("nsamples") = 2048, py::arg("skip") = 3);
    m.def(
        "compute_filament_energy_from_fseries",
        // The parameters by value: the computation polls for signals, and a
        // handler may change the caller's record meanwhile.
        [](const FsPath &path, const FilamentEnergyParams params) {
            return ext::filament_energy_from_fseries(path.bytes, params, signal_interrupt());
        },
        py::arg("path"), py::arg("params"));
    m.def(
        "batch_helicity_from_dir",
        [](const FsPath &root_dir, int grid_size, double spacing, int interior_margin, int nsamples, bool recurse) {
            return ext::batch_helicity_from_dir(root_dir.bytes, grid_size, spacing, interior_margin, nsamples,
                                                recurse, signal_interrupt());
        },
        py::arg("root_dir"), py::arg("grid_size") = 32, py::arg("spacing") = 0.1, py::arg("interior_margin") = 8,
        py::arg("nsamples") = 1000, py::arg("recurse") = false);
    m.def(
        "compare_fseries_files",
        [](const FsPath &path_a, const FsPath &path_b, int nsamples, int skip) {
            return ext::compare_fseries_files(path_a.bytes, path_b.bytes, nsamples, skip, signal_interrupt());
        },
        py::arg("path_a"), py::arg("path_b"), py::arg("nsamples") = 2048, py::arg("skip") = 3);
}

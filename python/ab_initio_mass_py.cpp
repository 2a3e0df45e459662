// Python faces of the particle evaluator and the particle zoo.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "ab_initio_mass.h"
#include "bindings.h"
#include "interrupt_py.h"

namespace {

// Whether an energy or mass computes the tail surrogate, the part that polls
// for signals. A call that does runs on a copy of the evaluator (a handler
// may change or relax the evaluator meanwhile); one that does not reads the
// evaluator itself, without the cost of a copy.
bool polls_for_tail(const qel::ParticleEvaluator &pe, bool include_tail) {
    return include_tail && pe.tail_config.enabled && !pe.filaments.empty();
}

}  // namespace

void bind_ab_initio(py::module_ &m) {
    using qel::ParticleEvaluator;
    using qel::ZooEvaluator;
    using Tail = ParticleEvaluator::TailApproxConfig;
    using Metrics = ParticleEvaluator::RelativisticMetrics;
    using qel_py::with_interrupt;

    py::class_<Tail>(m, "TailApproxConfig")
        .def(py::init<>())
        .def_readwrite("enabled", &Tail::enabled)
        .def_readwrite("radial_samples", &Tail::radial_samples)
        .def_readwrite("azimuth_samples", &Tail::azimuth_samples)
        .def_readwrite("r_min_factor", &Tail::r_min_factor)
        .def_readwrite("r_max_factor", &Tail::r_max_factor)
        .def_readwrite("exclusion_ds_factor", &Tail::exclusion_ds_factor)
        .def_readwrite("use_log_shell_weight", &Tail::use_log_shell_weight);

    py::class_<Metrics>(m, "RelativisticMetrics")
        .def(py::init<>())
        .def_readwrite("helicity", &Metrics::helicity)
        .def_readwrite("time_dilation_map", &Metrics::time_dilation_map)
        .def_readwrite("core_time_dilation", &Metrics::core_time_dilation);

    py::class_<ParticleEvaluator>(m, "ParticleEvaluator")
        .def(py::init([](const std::string &knot_ab_id, int resolution) {
                 return ParticleEvaluator(knot_ab_id, resolution, qel_py::signal_interrupt());
             }),
             py::arg("knot_ab_id"), py::arg("resolution") = 4000)
        .def(py::init<const std::vector<qel::PointList> &>(), py::arg("input_filaments"))
        .def(
            "relax",
            [](ParticleEvaluator &self, int iterations, double timestep) {
                self.relax_hamiltonian(iterations, timestep, qel_py::signal_interrupt());
            },
            py::arg("iterations") = 1000, py::arg("timestep") = 0.01)
        .def("get_dimless_ropelength", &ParticleEvaluator::get_dimless_ropelength, py::arg("stretch_lambda") = 1.0)
        .def("get_physical_length_m", &ParticleEvaluator::get_physical_length_m)
        .def("compute_core_energy_J", &ParticleEvaluator::compute_core_energy_J)
        .def(
            "compute_tail_energy_J",
            [](const ParticleEvaluator &self, bool include_tail) {
                if (!polls_for_tail(self, include_tail)) return self.compute_tail_energy_J(include_tail);
                const ParticleEvaluator snapshot(self);
                return snapshot.compute_tail_energy_J(include_tail, qel_py::signal_interrupt());
            },
            py::arg("include_tail") = false)
        .def(
            "get_mass_mev_ab_initio",
            [](const ParticleEvaluator &self, bool include_tail) {
                if (!polls_for_tail(self, include_tail)) return self.get_mass_mev_ab_initio(include_tail);
                const ParticleEvaluator snapshot(self);
                return snapshot.get_mass_mev_ab_initio(include_tail, qel_py::signal_interrupt());
            },
            py::arg("include_tail") = false)
        .def("get_core_mass_mev_only", &ParticleEvaluator::get_core_mass_mev_only)
        .def("set_tail_approx_config", &ParticleEvaluator::set_tail_approx_config)
        .def("get_tail_approx_config", &ParticleEvaluator::get_tail_approx_config)
        .def("compute_tail_energy_surrogate_J",
             [](const ParticleEvaluator &self) {
                 if (!polls_for_tail(self, true)) return self.compute_tail_energy_surrogate_J();
                 const ParticleEvaluator snapshot(self);
                 return snapshot.compute_tail_energy_surrogate_J(qel_py::signal_interrupt());
             })
        .def("compute_relativistic_metrics", with_interrupt<&ParticleEvaluator::compute_relativistic_metrics>(),
             py::arg("circulation") = 9.683619203e-09)
        .def_static("print_canonical_derivation", &ParticleEvaluator::print_canonical_derivation,
                    "Prints the dynamic fluid derivation of the core density.")
        .def(
            "get_filaments", [](const ParticleEvaluator &self) { return self.filaments; },
            "Export the 3D coordinates of all present vortex rings.");

    py::class_<ZooEvaluator::Result>(m, "ZooResult")
        .def_readonly("identifier", &ZooEvaluator::Result::identifier)
        .def_readonly("mass_mev", &ZooEvaluator::Result::mass_mev)
        .def_readonly("bridge_b", &ZooEvaluator::Result::bridge_b)
        .def_readonly("genus_g", &ZooEvaluator::Result::genus_g);

    py::class_<ZooEvaluator>(m, "ZooEvaluator")
        .def_static("evaluate_all_golden_nls", &ZooEvaluator::evaluate_all_golden_nls,
                    "Run ab initio Golden NLS mass evaluation for the entire QEL Master Dictionary.")
        .def_static("get_entry_mass", &ZooEvaluator::get_entry_mass, py::arg("identifier"),
                    "Get the mass of a specific knot by its dictionary ID.");
}

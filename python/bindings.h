#pragma once
// Registration functions of the module's components. The module's exec step
// calls them in a fixed order (see module_qelbindings.cpp); each one adds its
// component's Python names to the single module name space.
#include <pybind11/pybind11.h>

namespace py = pybind11;

void bind_ab_initio(py::module_ &m);
void bind_biot_savart(py::module_ &m);
void bind_fluid_dynamics(py::module_ &m);
void bind_field_kernels(py::module_ &m);
void bind_field_ops(py::module_ &m);
void bind_knot(py::module_ &m);
void bind_frenet_helicity(py::module_ &m);
void bind_magnus_integrator(py::module_ &m);
void bind_timefield(py::module_ &m);
void bind_hyperbolic_volume(py::module_ &m);
void bind_radiation_flow(py::module_ &m);
void bind_swirl_field(py::module_ &m);
void bind_thermo_dynamics(py::module_ &m);
void bind_time_evolution(py::module_ &m);
void bind_vortex_ring(py::module_ &m);
void bind_vorticity_dynamics(py::module_ &m);
void bind_qel_gravity(py::module_ &m);
void bind_qel_integrator(py::module_ &m);
void bind_extensions(py::module_ &m);

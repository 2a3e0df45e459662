// Python faces of the closed-form fluid formulas: module-level functions,
// the first members of the compute_vorticity and compute_helicity chains.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "fluid_dynamics.h"

void bind_fluid_dynamics(py::module_ &m) {
    using qel::FluidDynamics;

    m.def("compute_pressure_field", &FluidDynamics::compute_pressure_field, py::arg("velocity_magnitude"),
          py::arg("rho_ae"), py::arg("P_infinity"),
          "\n        Compute Bernoulli pressure field from velocity magnitude:"
          "\n            P = P_infinity - 0.5 * rho_ae * |v|^2\n    ");
    m.def("compute_velocity_magnitude", &FluidDynamics::compute_velocity_magnitude, py::arg("velocity"),
          "\n        Compute magnitude |v| from vector velocity field.\n    ");
    m.def("evolve_positions_euler", &FluidDynamics::evolve_positions_euler, py::arg("positions"),
          py::arg("velocity"), py::arg("dt"),
          "\n        Euler-step update of particle positions from velocity vectors.\n    ");
    m.def("compute_vorticity", &FluidDynamics::compute_vorticity, py::arg("grad"),
          "\n        Compute vorticity vector ω = ∇ × v from the velocity gradient tensor.\n    ");
    m.def("swirl_clock_rate", &FluidDynamics::swirl_clock_rate, py::arg("dv_dx"), py::arg("du_dy"),
          "\n        Swirl clock rate 0.5 * (dv/dx - du/dy).\n    ");
    m.def("vorticity_from_curvature", &FluidDynamics::vorticity_from_curvature, py::arg("V"), py::arg("R"),
          "\n        Vorticity magnitude for curved flow V/R.\n    ");
    m.def("vortex_pressure_drop", &FluidDynamics::vortex_pressure_drop, py::arg("rho"), py::arg("c"),
          "\n        Pressure drop 0.5 * ρ * c^2 in a vortex core.\n    ");
    m.def("vortex_transverse_pressure_diff", &FluidDynamics::vortex_transverse_pressure_diff, py::arg("rho"),
          py::arg("c"), "\n        Transverse pressure difference 0.25 * ρ * c^2.\n    ");
    m.def("swirl_energy", &FluidDynamics::swirl_energy, py::arg("rho"), py::arg("omega"),
          "\n        Rotational kinetic energy density (1/2) * ρ * ω^2.\n    ");
    m.def("kairos_energy_trigger", &FluidDynamics::kairos_energy_trigger, py::arg("rho"), py::arg("omega"),
          py::arg("Ce"), "\n        Trigger when swirl energy exceeds 0.5 * ρ * Ce^2.\n    ");
    m.def("compute_helicity", &FluidDynamics::compute_helicity, py::arg("velocity"), py::arg("vorticity"),
          py::arg("dV"), "\n        Compute helicity ∑ (v · ω) dV over a discretized field.\n    ");
    m.def("potential_vorticity", &FluidDynamics::potential_vorticity, py::arg("fa"), py::arg("zeta_r"),
          py::arg("h"), "\n        Potential vorticity (fa + ζ_r) / h.\n    ");
    m.def("is_incompressible", &FluidDynamics::is_incompressible, py::arg("dudx"), py::arg("dvdy"),
          py::arg("dwdz"),
          "\n        Determine if flow is incompressible by checking that the"
          "\n        divergence of the velocity field is approximately zero.\n    ");
    m.def("circulation_surface_integral", &FluidDynamics::circulation_surface_integral, py::arg("omega_field"),
          py::arg("dA_field"), "Circulation as surface integral of vorticity dot area vector.\n\t");
    m.def("enstrophy", &FluidDynamics::enstrophy, py::arg("omega_squared"), py::arg("ds_area"),
          "Enstrophy as sum of squared vorticity weighted by area.\n\t");
    m.def("compute_bernoulli_pressure", &FluidDynamics::compute_bernoulli_pressure, py::arg("velocity_magnitude"),
          py::arg("rho") = 7e-07, py::arg("p_inf") = 0.0,
          "Compute Bernoulli pressure field from velocity magnitude.\n\t");
    m.def("pressure_gradient", &FluidDynamics::pressure_gradient, py::arg("pressure_field"), py::arg("dx") = 1.0,
          py::arg("dy") = 1.0, "Compute spatial pressure gradient vector field.\n\t");
    m.def("laplacian_phi", &FluidDynamics::laplacian_phi, py::arg("d2phidx2"), py::arg("d2phidy2"),
          py::arg("d2phidz2"), "Compute Laplacian of potential function.\n\t");
    m.def("grad_phi", &FluidDynamics::grad_phi, py::arg("phi_grad"), "Compute gradient of potential function.\n\t");
    m.def("bernoulli_pressure_potential", &FluidDynamics::bernoulli_pressure_potential,
          py::arg("velocity_squared"), py::arg("V"), "Compute Bernoulli pressure from potential flow.\n\t");
    m.def("compute_kinetic_energy", &FluidDynamics::compute_kinetic_energy, py::arg("velocity"), py::arg("rho_ae"),
          "Compute kinetic energy E = (1/2) * ρ * ∑ |v|^2.\n\t");
    m.def("rossby_number", &FluidDynamics::rossby_number, py::arg("U"), py::arg("omega"), py::arg("d"),
          "Rossby number: Ro = U / (2Ωd).\n\t");
    m.def("ekman_number", &FluidDynamics::ekman_number, py::arg("nu"), py::arg("omega"), py::arg("H"),
          "Ekman number: Ek = ν / (Ω H²).\n\t");
    m.def("cylinder_mass", &FluidDynamics::cylinder_mass, py::arg("rho"), py::arg("R"), py::arg("H"),
          "Cylinder mass: m = ρ π R² H.\n\t");
    m.def("cylinder_inertia", &FluidDynamics::cylinder_inertia, py::arg("mass"), py::arg("R"),
          "Moment of inertia: I = (1/2) m R².\n\t");
    m.def("torque", &FluidDynamics::torque, py::arg("inertia"), py::arg("alpha"), "Torque: τ = I α.\n\t");
}

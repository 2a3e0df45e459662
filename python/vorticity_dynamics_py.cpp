// Python faces of the vorticity formulas; the grid vorticity joins the
// module-level compute_vorticity chain as its second member.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "vorticity_dynamics.h"

void bind_vorticity_dynamics(py::module_ &m) {
    using qel::VorticityDynamics;

    m.def("vorticity_z_2D", &VorticityDynamics::vorticity_z_2D, py::arg("dv_dx"), py::arg("du_dy"),
          "Compute 2D vorticity: dv/dx - du/dy");
    m.def("local_circulation_density", &VorticityDynamics::local_circulation_density, py::arg("dv_dx"),
          py::arg("du_dy"), "Local circulation density (vorticity) via Stokes' theorem");
    m.def("solid_body_rotation_vorticity", &VorticityDynamics::solid_body_rotation_vorticity, py::arg("omega"),
          "Vorticity of solid body rotation: 2 * omega");
    m.def("couette_vorticity", &VorticityDynamics::couette_vorticity, py::arg("alpha"),
          "Vorticity of Couette flow: -alpha");
    m.def("crocco_relation", &VorticityDynamics::crocco_relation, py::arg("vorticity"), py::arg("rho"),
          py::arg("pressure_gradient"), "Velocity-curl product equals pressure gradient divided by density");
    // Two texts are given; the later one is the overload's documentation.
    m.def("compute_vorticity", &VorticityDynamics::compute_vorticity2D, py::arg("u"), py::arg("v"), py::arg("nx"),
          py::arg("ny"), py::arg("dx"), py::arg("dy"), "Compute 2D vorticity field", "Vorticity tools for 2D flows");
    m.def("rotating_frame_rhs", &VorticityDynamics::rotating_frame_rhs, py::arg("velocity"), py::arg("vorticity"),
          py::arg("grad_phi"), py::arg("grad_p"), py::arg("omega"), py::arg("rho"),
          "Compute rotating frame momentum RHS");
    m.def("crocco_gradient", &VorticityDynamics::crocco_gradient, py::arg("velocity"), py::arg("vorticity"),
          py::arg("grad_phi"), py::arg("grad_p"), py::arg("rho"), "Compute ∇H from Crocco's theorem");
    m.def("baroclinic_term", &VorticityDynamics::baroclinic_term, py::arg("grad_rho"), py::arg("grad_p"),
          py::arg("rho"), "Baroclinic torque term");
    m.def("compute_vorticity_rhs", &VorticityDynamics::compute_vorticity_rhs, py::arg("omega"), py::arg("grad_u"),
          py::arg("div_u"), py::arg("grad_rho"), py::arg("grad_p"), py::arg("rho"), "Vorticity transport RHS");
}

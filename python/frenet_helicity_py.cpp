// Python faces of the Frenet frames, curvature and torsion, the helicity
// mean and the one-step point update. Arguments are positional.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.h"
#include "frenet_helicity.h"
#include "list_convert.h"

namespace {

using qel::FrenetHelicity;
using qel::PointList;

// The native functions read their second list at the indices of the first.
void require_second(std::size_t first, std::size_t second, const char *fname, const char *what) {
    if (second < first) throw std::invalid_argument(std::string(fname) + ": " + what);
}

}  // namespace

void bind_frenet_helicity(py::module_ &m) {
    m.def(
        "compute_frenet_frames",
        [](const qel_py::PointsArgument &points) {
            qel_py::PointLists3Result frames;
            FrenetHelicity::compute_frenet_frames(points.points, frames.lists[0], frames.lists[1], frames.lists[2]);
            return frames;
        },
        "\n        Compute Frenet frames (T, N, B) from 3D filament points.\n        Returns: (T, N, B) as tuple of lists.\n    ");

    m.def(
        "compute_curvature_torsion",
        [](const PointList &T, const PointList &N) {
            require_second(T.size(), N.size(), "compute_curvature_torsion", "N has fewer entries than T");
            std::vector<double> curvature, torsion;
            FrenetHelicity::compute_curvature_torsion(T, N, curvature, torsion);
            return std::make_tuple(curvature, torsion);
        },
        "\n\t\tCompute curvature and torsion from tangent and normal vectors.\n\t\tReturns: (curvature, torsion) as tuple of lists.\n\t");

    m.def(
        "compute_helicity",
        [](const PointList &a, const PointList &b) {
            require_second(a.size(), b.size(), "compute_helicity", "b has fewer entries than a");
            return static_cast<double>(FrenetHelicity::compute_helicity(a, b));
        },
        "\n        Compute helicity H = ∫ v · ω dV.\n    ");

    m.def(
        "evolve_vortex_knot",
        [](const PointList &X, const PointList &V, double s1, double s2) {
            require_second(X.size(), V.size(), "evolve_vortex_knot", "V has fewer entries than X");
            return FrenetHelicity::evolve_vortex_knot(X, V, s1, s2);
        },
        "\n        Evolve vortex knot filaments using Biot–Savart dynamics.\n    ");

    m.def(
        "rk4_integrate",
        [](const PointList &X, const PointList &V, double s1, double s2) {
            require_second(X.size(), V.size(), "rk4_integrate", "V has fewer entries than X");
            return FrenetHelicity::rk4_integrate(X, V, s1, s2);
        },
        "\n        Runge-Kutta 4th order time integrator for vortex elements.\n    ");
}

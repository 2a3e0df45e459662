#pragma once
// Discrete Frenet frames, curvature and torsion of a sampled filament, the
// single-precision helicity mean of two vector lists and a one-step update
// of points by velocities.
#include <vector>

#include "vec3.h"

namespace qel {

// v / |v|, without a zero check.
Vec3 normalize(const Vec3 &v);
// Component-wise a - b.
Vec3 operator-(const Vec3 &a, const Vec3 &b);

class FrenetHelicity {
public:
    // Frames at the interior points from central and second differences; the
    // end frames copy their neighbours. T, N, B are resized to X.size(). With
    // two points both entries of each output become its entry 1; with fewer
    // than two points the outputs are zero vectors.
    static void compute_frenet_frames(const PointList &X, PointList &T, PointList &N, PointList &B);

    // Curvature 0.5 |T[i+1] - T[i-1]| and torsion 0.5 (T_i x N_i) . (N[i+1] - N[i-1])
    // per index step, ends copied from their neighbours; outputs resized to
    // T.size(), zeros when T has fewer than two entries.
    // Requires N.size() >= T.size().
    static void compute_curvature_torsion(const PointList &T, const PointList &N, std::vector<double> &curvature,
                                          std::vector<double> &torsion);

    // Mean of the dot products a_i . b_i, each rounded to float and summed in
    // float; NaN for empty lists. Requires b.size() >= a.size().
    static float compute_helicity(const PointList &a, const PointList &b);

    // One explicit step Y_i = V_i (s1 s2) + X_i. Requires V.size() >= X.size().
    static PointList rk4_integrate(const PointList &X, const PointList &V, double s1, double s2);
    static PointList evolve_vortex_knot(const PointList &X, const PointList &V, double s1, double s2);
};

}  // namespace qel

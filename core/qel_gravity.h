#pragma once
// Gravity formulas of the model. The sample-array formulas live with the
// Python interface; the holder keeps the effective swirl coupling G_swirl.

namespace qel {

class QELGravity {
public:
    // (v_swirl c^5 t_p^2) / (2 F_max r_c^2); refuses F_max <= 0 or r_c <= 0.
    static double compute_G_swirl(double v_swirl, double t_p, double F_max, double r_c, double c);
};

}  // namespace qel

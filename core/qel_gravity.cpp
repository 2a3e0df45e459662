#include "qel_gravity.h"

#include <stdexcept>

namespace qel {

double QELGravity::compute_G_swirl(double v_swirl, double t_p, double F_max, double r_c, double c) {
    if (F_max <= 0 || r_c <= 0) throw std::invalid_argument("F_max and r_c must be positive.");
    const double c5 = c * (((c * c) * c) * c);
    return (v_swirl * c5 * t_p * t_p) / ((F_max + F_max) * r_c * r_c);
}

}  // namespace qel

#include "radiation_flow.h"

namespace qel {

double RadiationFlow::radiation_force(double a, double b, double c, double d, double e) {
    const double u = c / e;
    return (((a + a) / 300000000.0) * b) * ((d / e) * u) / (1.0 - u * u);
}

double RadiationFlow::dxdt(double /*x*/, double y) { return y; }

double RadiationFlow::dydt(double x, double y, double mu) { return ((1.0 - x * x) * mu) * y - x; }

}  // namespace qel

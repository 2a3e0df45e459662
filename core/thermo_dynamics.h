#pragma once
// Thermodynamic formulas: potential temperature, two entropy expressions and
// enthalpy.

namespace qel {

class ThermoDynamics {
public:
    ThermoDynamics() = delete;

    static double potential_temperature(double T, double p0, double p, double R, double cp);
    static double entropy_from_theta(double cp, double theta, double dtheta);
    static double entropy_from_pv(double N, double R, double p, double V, double gamma);
    static double enthalpy(double internal_energy, double p, double V);
};

}  // namespace qel

#pragma once
// Radiation-force expression and the right-hand sides of the Van der Pol
// oscillator dx/dt = y, dy/dt = mu (1 - x^2) y - x.

namespace qel {

class RadiationFlow {
public:
    RadiationFlow() = delete;

    // With u = c / e: (2a / 3.0e8) b (d / e) u / (1 - u^2).
    static double radiation_force(double a, double b, double c, double d, double e);
    static double dxdt(double x, double y);
    static double dydt(double x, double y, double mu);
};

}  // namespace qel

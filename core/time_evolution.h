#pragma once
// A vortex filament moved by its own Biot–Savart velocity with explicit
// Euler steps; the tangents are refreshed from the moved polyline after
// every step.
#include "interrupt.h"
#include "vec3.h"

namespace qel {

class TimeEvolution {
public:
    // The first step uses the given tangents as line elements unchanged.
    // Requires tangents.size() >= positions.size().
    TimeEvolution(PointList positions, PointList tangents, double gamma);

    // Advances the state by `steps` Euler steps of size dt; nothing happens
    // when steps <= 0 or when the filament has fewer than two positions.
    // `interrupt` is called between velocities, about every
    // kInterruptInterval point pairs; when it throws, the state is that of
    // the last completed step.
    void evolve(double dt, int steps, const Interrupt &interrupt = {});

    const PointList &get_positions() const;
    const PointList &get_tangents() const;

private:
    PointList positions;
    PointList tangents;
    double gamma;
};

}  // namespace qel

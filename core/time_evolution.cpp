#include "time_evolution.h"

#include <cstddef>
#include <utility>

#include "biot_savart.h"
#include "frenet_helicity.h"

namespace qel {

TimeEvolution::TimeEvolution(PointList positions_, PointList tangents_, double gamma_)
    : positions(std::move(positions_)), tangents(std::move(tangents_)), gamma(gamma_) {}

void TimeEvolution::evolve(double dt, int steps, const Interrupt &interrupt) {
    const std::size_t n = positions.size();
    // A frame needs two points; a shorter filament keeps its state.
    if (steps <= 0 || n < 2) return;
    // The steps run on copies of the state: the interrupt runs Python code
    // that may call this object again, and the state it reads between two
    // velocities must stay whole. The copies hold a completed step (or the
    // start) whenever the interrupt is called, and become the state when the
    // call ends, stopped or not.
    PointList pos = positions;
    PointList tan = tangents;
    auto store = [&]() {
        positions.swap(pos);
        tangents.swap(tan);
    };
    PointList velocity(n);
    PointList normals, binormals;
    WorkMeter meter(interrupt);
    try {
        for (int step = 0; step < steps; ++step) {
            // Every velocity comes from the positions at the start of the
            // step; the state changes only once all of them are known.
            for (std::size_t i = 0; i < n; ++i) {
                velocity[i] = BiotSavart::velocity(pos[i], pos, tan, gamma);
                meter.add(n);
            }
            for (std::size_t i = 0; i < n; ++i) {
                for (int c = 0; c < 3; ++c) pos[i][c] = velocity[i][c] * dt + pos[i][c];
            }
            FrenetHelicity::compute_frenet_frames(pos, tan, normals, binormals);
        }
    } catch (...) {
        store();
        throw;
    }
    store();
}

const PointList &TimeEvolution::get_positions() const { return positions; }

const PointList &TimeEvolution::get_tangents() const { return tangents; }

}  // namespace qel

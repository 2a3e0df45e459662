#pragma once
// Core and fluid mass of a closed polyline: a core mass proportional to the
// loop's length and a fluid mass from a regularised Neumann double sum over
// its line elements.
#include "interrupt.h"
#include "vec3.h"

namespace qel {

// points: P_0 ... P_{n-1}, read as a closed loop (the segment P_{n-1} -> P_0 is
// always included). Overwrites m_core and m_fluid, in kilograms. The pair
// sum calls `interrupt` between rows, about every kInterruptInterval pairs;
// when it throws, m_core is set and m_fluid keeps its value.
void compute_qel_mass(const PointList &points, double chi_spin, double &m_core, double &m_fluid,
                      const Interrupt &interrupt = {});

}  // namespace qel

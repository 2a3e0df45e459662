#pragma once
// Interruption of long computations. A routine whose running time grows with
// its arguments takes an Interrupt and calls it now and then, always between
// two iterations of an outer loop. The callback returns to let the routine go
// on, or throws to stop it; the exception then leaves the routine as thrown.
// What a routine leaves behind when stopped is documented with the routine.
#include <cstdint>
#include <functional>

namespace qel {

// An empty Interrupt (the default everywhere) is never called.
using Interrupt = std::function<void()>;

// Units of work between two calls of the interrupt. A unit is one term of a
// hot kernel (a pair of points, a node and a source, a sample and a segment),
// at most a few nanoseconds, so the callback runs about once a millisecond
// and its cost disappears in the work between two calls.
constexpr std::uint64_t kInterruptInterval = std::uint64_t(1) << 20;

// Counts the work a routine has finished and calls the interrupt each time
// another kInterruptInterval units are done. The interrupt must outlive the
// meter (routines keep both for the length of one call).
class WorkMeter {
public:
    explicit WorkMeter(const Interrupt &interrupt) noexcept : interrupt_(interrupt) {}
    WorkMeter(const WorkMeter &) = delete;
    WorkMeter &operator=(const WorkMeter &) = delete;

    // Counts `units` of work: that of the outer iteration just finished, or
    // of the one about to start.
    void add(std::uint64_t units) {
        done_ += units;
        if (done_ >= kInterruptInterval) {
            done_ = 0;
            poll();
        }
    }

    // Calls the interrupt now, whatever the count.
    void poll() {
        if (!interrupt_) return;
        try {
            interrupt_();
        } catch (...) {
            stopped_ = true;
            throw;
        }
    }

    // Whether the interrupt has thrown: lets a routine that catches the
    // errors of a part of its work tell them from a request to stop.
    bool stopped() const { return stopped_; }

private:
    const Interrupt &interrupt_;
    std::uint64_t done_ = 0;
    bool stopped_ = false;
};

}  // namespace qel

#pragma once
// Interruption of long computations. A routine whose running time grows with
// its arguments takes an Interrupt and calls it now and then, always between
// two iterations of an outer loop. The callback returns to let the routine go
// on, or throws to stop it; the exception then leaves the routine as thrown.
// What a routine leaves behind when stopped is documented with the routine.
#include <cstddef>
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

// Outer iterations of `units_each` units each that make up about one interval
// of work, at least `at_least`. A loop over rows that are summed side by side
// by the compiler takes its rows in runs of this many and counts the work
// between runs, so that the loop over the rows of a run compiles as it would
// without the count.
constexpr std::size_t iterations_per_interval(std::uint64_t units_each, std::size_t at_least = 1) {
    const std::uint64_t n = units_each > 0 ? kInterruptInterval / units_each : kInterruptInterval;
    return n > at_least ? static_cast<std::size_t>(n) : at_least;
}

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
        if (rarely(done_ >= kInterruptInterval)) {
            done_ = 0;
            call(interrupt_);
        }
    }

    // Calls the interrupt now, whatever the count.
    void poll() const { call(interrupt_); }

private:
    static bool rarely(bool c) {
#if defined(__GNUC__)
        return __builtin_expect(c, 0);
#else
        return c;
#endif
    }

    // Out of line, and given the interrupt rather than the meter: the
    // meter's count then stays in a register, and the loops that count their
    // work compile much as they would without the count. (Not marked cold:
    // poll() calls it on every pass of a loop, which would then be compiled
    // as cold code.)
#if defined(__GNUC__)
    __attribute__((noinline))
#endif
    static void call(const Interrupt &interrupt) {
        if (interrupt) interrupt();
    }

    const Interrupt &interrupt_;
    std::uint64_t done_ = 0;
};

// An interrupt that remembers whether it threw. A routine that turns its own
// failures into other errors, or skips them, hands this one on in place of
// the caller's, so that the interrupt's exception can still leave as thrown.
class WatchedInterrupt {
public:
    explicit WatchedInterrupt(const Interrupt &inner)
        : inner_(inner), watched_(inner ? Interrupt([this] { call(); }) : Interrupt()) {}
    WatchedInterrupt(const WatchedInterrupt &) = delete;
    WatchedInterrupt &operator=(const WatchedInterrupt &) = delete;

    const Interrupt &interrupt() const noexcept { return watched_; }
    // True once the interrupt has thrown.
    bool fired() const noexcept { return fired_; }

private:
    void call() {
        try {
            inner_();
        } catch (...) {
            fired_ = true;
            throw;
        }
    }

    const Interrupt &inner_;
    bool fired_ = false;
    Interrupt watched_;
};

}  // namespace qel

#pragma once
// The interrupt that the Python faces hand to long computations: it runs the
// Python handlers of pending signals, and when a handler raises (Ctrl-C
// raises KeyboardInterrupt) the computation stops and that exception reaches
// the caller as it was raised.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "interrupt.h"

namespace qel_py {

// Polls whose handlers are running, across the whole module: a handler may
// call a polling function whose poll runs the next handler, and so on while
// a timer keeps firing. Each such level holds the frames of the native call
// below it, so nesting is bounded well before the stack runs out, also in a
// build whose frames are several times larger (sanitizers). Python's own
// recursion limit counts each poll as one level as well.
constexpr int kMaxNestedPolls = 64;

inline int &polls_in_progress() {
    static int depth = 0;
    return depth;
}

inline const qel::Interrupt &signal_interrupt() {
    static const qel::Interrupt check = [] {
        int &depth = polls_in_progress();
        if (depth >= kMaxNestedPolls) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum nesting depth of signal handlers in long calls exceeded");
            throw pybind11::error_already_set();
        }
        if (Py_EnterRecursiveCall(" while running signal handlers in a native call") != 0) {
            throw pybind11::error_already_set();
        }
        ++depth;
        const int raised = PyErr_CheckSignals();
        --depth;
        Py_LeaveRecursiveCall();
        if (raised != 0) throw pybind11::error_already_set();
    };
    return check;
}

namespace interrupt_detail {

template <class Tuple>
constexpr bool ends_with_interrupt() {
    constexpr std::size_t n = std::tuple_size<Tuple>::value;
    if constexpr (n == 0) {
        return false;
    } else {
        return std::is_same<std::tuple_element_t<n - 1, Tuple>, const qel::Interrupt &>::value;
    }
}

template <auto F, class Sig, class Seq>
struct Bound;

template <auto F, class R, class... P, std::size_t... I>
struct Bound<F, R (*)(P...), std::index_sequence<I...>> {
    using Args = std::tuple<P...>;
    static R call(std::tuple_element_t<I, Args>... a) {
        return F(std::forward<std::tuple_element_t<I, Args>>(a)..., signal_interrupt());
    }
};

// A member that changes its object gets the object itself; it must not keep
// a pointer, reference or size into its own fields across a call of the
// interrupt.
template <auto F, class R, class C, class... P, std::size_t... I>
struct Bound<F, R (C::*)(P...), std::index_sequence<I...>> {
    using Args = std::tuple<P...>;
    static R call(C &self, std::tuple_element_t<I, Args>... a) {
        return (self.*F)(std::forward<std::tuple_element_t<I, Args>>(a)..., signal_interrupt());
    }
};

// A member that only reads its object runs on a copy of it, taken before the
// first call of the interrupt.
template <auto F, class R, class C, class... P, std::size_t... I>
struct Bound<F, R (C::*)(P...) const, std::index_sequence<I...>> {
    using Args = std::tuple<P...>;
    static R call(const C &self, std::tuple_element_t<I, Args>... a) {
        static_assert(std::is_copy_constructible<C>::value, "a reading member runs on a copy of its object");
        const C snapshot(self);
        return (snapshot.*F)(std::forward<std::tuple_element_t<I, Args>>(a)..., signal_interrupt());
    }
};

template <class Sig>
struct Params;
template <class R, class... P>
struct Params<R (*)(P...)> {
    using type = std::tuple<P...>;
};
template <class R, class C, class... P>
struct Params<R (C::*)(P...)> {
    using type = std::tuple<P...>;
};
template <class R, class C, class... P>
struct Params<R (C::*)(P...) const> {
    using type = std::tuple<P...>;
};

}  // namespace interrupt_detail

// The core function (or member function) F, whose last parameter is the
// interrupt, as a function of its other parameters that passes
// signal_interrupt(): `m.def("name", with_interrupt<&f>(), ...)` gives the
// Python function the parameters of f without the interrupt. The object of
// a const member is copied first, so that a signal handler cannot change
// what f reads. A parameter of a registered class arrives as a reference to
// the caller's object, which a handler may change: f reads it only before
// its first call of the interrupt (as the block routines do, which copy the
// coefficients first), or the binding takes it by value.
template <auto F>
constexpr auto with_interrupt() {
    using Args = typename interrupt_detail::Params<decltype(F)>::type;
    static_assert(interrupt_detail::ends_with_interrupt<Args>(), "the last parameter must be const qel::Interrupt &");
    constexpr std::size_t n = std::tuple_size<Args>::value - 1;
    return &interrupt_detail::Bound<F, decltype(F), std::make_index_sequence<n>>::call;
}

}  // namespace qel_py

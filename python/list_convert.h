#pragma once
// Point lists to and from Python lists for the calls whose lists are long
// enough that converting them takes seconds: results are built with checks
// for pending signals between blocks of entries, and arguments are read
// whole, by a fast road for plain lists of floats, before the call runs.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

#include "interrupt_py.h"
#include "vec3.h"

namespace qel_py {

namespace py = pybind11;

// Entries made between two checks for signals while a result list is built:
// an entry is a few small objects (a list and its numbers), so a block of
// them takes a few milliseconds at most.
constexpr std::size_t kEntriesPerPoll = std::size_t(1) << 14;

// A list of n entries, entry i made by make(i) (a new reference, or null with
// a Python error set), with a check for signals between blocks of entries.
// A handler that runs meanwhile must not reach a list whose slots are not
// all set, nor its entries through it: neither the list nor the entries are
// tracked by the garbage collector, so that gc.get_objects() and
// gc.get_referrers() do not return them. Untracked, they also cost the
// collector nothing while they are made (its passes would otherwise walk a
// list that grows by millions of entries, with no check between), and a list
// freed half built (a stop) is freed without unlinking its entries from the
// collector. track_built_list() tracks them once the result is whole.
template <class Make>
py::list build_untracked_list(std::size_t n, Make &&make) {
    const qel::Interrupt &poll = signal_interrupt();
    py::list out(n);
    PyObject *list = out.ptr();
    PyObject_GC_UnTrack(list);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kEntriesPerPoll == kEntriesPerPoll - 1) poll();
        PyObject *entry = make(i);
        if (entry == nullptr) throw py::error_already_set();
        if (PyObject_IS_GC(entry)) PyObject_GC_UnTrack(entry);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), entry);
    }
    return out;
}

// Tracks a list made by build_untracked_list: its container entries block by
// block, with checks for signals between (the list, untracked, still hides
// them), then the list. `entries` false leaves untracked the entries that
// never need it (tuples of numbers, which the collector untracks by itself).
// Tracked, the new entries join the collector's youngest generation all at
// once: its next pass, at some allocation after the call, walks them all, as
// it walks the objects any code makes. A call that returns several lists
// builds them all before it tracks any, so that the pass does not come
// inside the call.
inline void track_built_list(const py::list &built, bool entries = true) {
    const qel::Interrupt &poll = signal_interrupt();
    PyObject *list = built.ptr();
    if (entries) {
        const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kEntriesPerPoll == kEntriesPerPoll - 1) poll();
            PyObject *entry = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
            if (PyObject_IS_GC(entry) && !PyObject_GC_IsTracked(entry)) PyObject_GC_Track(entry);
        }
    }
    if (!PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
}

// build_untracked_list, then track_built_list.
template <class Make>
py::list build_list(std::size_t n, Make &&make, bool track_entries = true) {
    py::list out = build_untracked_list(n, std::forward<Make>(make));
    track_built_list(out, track_entries);
    return out;
}

// A new list of the values, or null with a Python error set.
template <std::size_t N, class T, class Make>
PyObject *new_small_list(const T *values, Make &&make_item) {
    PyObject *entry = PyList_New(static_cast<Py_ssize_t>(N));
    if (entry == nullptr) return nullptr;
    for (std::size_t k = 0; k < N; ++k) {
        PyObject *item = make_item(values[k]);
        if (item == nullptr) {
            Py_DECREF(entry);
            return nullptr;
        }
        PyList_SET_ITEM(entry, static_cast<Py_ssize_t>(k), item);
    }
    return entry;
}

// The points as a list of [x, y, z] lists of floats, untracked (see
// build_untracked_list).
inline py::list untracked_points_list(const qel::PointList &points) {
    return build_untracked_list(points.size(), [&](std::size_t i) {
        return new_small_list<3>(points[i].data(), [](double v) { return PyFloat_FromDouble(v); });
    });
}

// The points as a list of [x, y, z] lists of floats.
inline py::list points_as_list(const qel::PointList &points) {
    py::list out = untracked_points_list(points);
    track_built_list(out);
    return out;
}

// Index pairs as a list of (i, j) tuples of ints.
inline py::list pairs_as_list(const std::vector<std::pair<int, int>> &pairs) {
    return build_list(
        pairs.size(),
        [&](std::size_t i) -> PyObject * {
            PyObject *a = PyLong_FromLong(pairs[i].first);
            PyObject *b = a != nullptr ? PyLong_FromLong(pairs[i].second) : nullptr;
            PyObject *t = b != nullptr ? PyTuple_New(2) : nullptr;
            if (t == nullptr) {
                Py_XDECREF(a);
                Py_XDECREF(b);
                return nullptr;
            }
            PyTuple_SET_ITEM(t, 0, a);
            PyTuple_SET_ITEM(t, 1, b);
            return t;
        },
        false);
}

// A point [x, y, z] given as a list or tuple of exactly three floats (the
// exact types): its numbers, read with no Python code run. Anything else is
// left to the binding library's conversion.
inline bool exact_point(PyObject *item, qel::Vec3 &v) {
    PyObject *const *xyz;
    if (PyList_CheckExact(item)) {
        if (PyList_GET_SIZE(item) != 3) return false;
        xyz = &PyList_GET_ITEM(item, 0);
    } else if (PyTuple_CheckExact(item)) {
        if (PyTuple_GET_SIZE(item) != 3) return false;
        xyz = &PyTuple_GET_ITEM(item, 0);
    } else {
        return false;
    }
    for (int c = 0; c < 3; ++c) {
        if (!PyFloat_CheckExact(xyz[c])) return false;
        v[static_cast<std::size_t>(c)] = PyFloat_AS_DOUBLE(xyz[c]);
    }
    return true;
}

// A point-list argument, converted as the binding library converts a point
// list (any sequence of sequences of three numbers), all of it before the
// call begins: what a handler changes later does not reach the call. A list
// or tuple of points is read directly where its points are lists or tuples
// of floats, and its other points one by one by the library's conversion of
// a point; that conversion may run Python code (a sequence's own methods,
// the finalizers of a collection), which may change the list, so the list's
// size and items are read again at every point.
inline bool load_point_list(py::handle src, bool convert, qel::PointList &out) {
    PyObject *seq = src.ptr();
    const bool is_list = PyList_CheckExact(seq);
    if (!is_list && !PyTuple_CheckExact(seq)) {
        py::detail::make_caster<qel::PointList> conv;
        if (!conv.load(src, convert)) return false;
        out = py::detail::cast_op<qel::PointList &&>(std::move(conv));
        return true;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(Py_SIZE(seq)));
    for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
        PyObject *item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
        qel::Vec3 v;
        if (!exact_point(item, v)) {
            const auto hold = py::reinterpret_borrow<py::object>(item);
            py::detail::make_caster<qel::Vec3> conv;
            if (!conv.load(hold, convert)) return false;
            v = py::detail::cast_op<qel::Vec3 &&>(std::move(conv));
        }
        out.push_back(v);
    }
    return true;
}

// A point list taken as an argument (see load_point_list).
struct PointsArgument {
    qel::PointList points;
};

// A point list returned as a list of [x, y, z] (see points_as_list).
struct PointsResult {
    qel::PointList points;
};

// Three point lists returned as a tuple of three lists of [x, y, z], all
// three built before any is tracked (see track_built_list).
struct PointLists3Result {
    qel::PointList lists[3];
};

// Index pairs returned as a list of (i, j) tuples (see pairs_as_list).
struct PairsResult {
    std::vector<std::pair<int, int>> pairs;
};

}  // namespace qel_py

namespace pybind11 {
namespace detail {

// The three wrappers show in signatures as the lists they stand for.
template <>
struct type_caster<qel_py::PointsArgument> {
    PYBIND11_TYPE_CASTER(qel_py::PointsArgument, make_caster<qel::PointList>::name);
    bool load(handle src, bool convert) { return qel_py::load_point_list(src, convert, value.points); }
};

template <>
struct type_caster<qel_py::PointsResult> {
    PYBIND11_TYPE_CASTER(qel_py::PointsResult, make_caster<qel::PointList>::name);
    bool load(handle, bool) { return false; }
    static handle cast(const qel_py::PointsResult &r, return_value_policy, handle) {
        return qel_py::points_as_list(r.points).release();
    }
};

template <>
struct type_caster<qel_py::PointLists3Result> {
    PYBIND11_TYPE_CASTER(qel_py::PointLists3Result,
                         (make_caster<std::tuple<qel::PointList, qel::PointList, qel::PointList>>::name));
    bool load(handle, bool) { return false; }
    static handle cast(const qel_py::PointLists3Result &r, return_value_policy, handle) {
        py::list a = qel_py::untracked_points_list(r.lists[0]);
        py::list b = qel_py::untracked_points_list(r.lists[1]);
        py::list c = qel_py::untracked_points_list(r.lists[2]);
        for (const py::list *l : {&a, &b, &c}) qel_py::track_built_list(*l);
        return py::make_tuple(a, b, c).release();
    }
};

template <>
struct type_caster<qel_py::PairsResult> {
    PYBIND11_TYPE_CASTER(qel_py::PairsResult, (make_caster<std::vector<std::pair<int, int>>>::name));
    bool load(handle, bool) { return false; }
    static handle cast(const qel_py::PairsResult &r, return_value_policy, handle) {
        return qel_py::pairs_as_list(r.pairs).release();
    }
};

}  // namespace detail
}  // namespace pybind11

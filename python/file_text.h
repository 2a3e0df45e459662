#pragma once
// Text read from files: the header of a Fourier-series block, the id and
// Conway code of a database record. Such text is bytes, usually UTF-8 but
// not always (a comment written in Latin-1). Python gets it decoded as UTF-8
// with surrogate escapes for the bytes that are not valid UTF-8, as
// os.fsdecode does for names under a UTF-8 locale: valid UTF-8 reads as
// plain text, and nothing is lost. A str given back, escapes included,
// becomes the same bytes again; bytes are taken as they are.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <utility>

namespace qel_py {

struct FileText {
    std::string bytes;
};

}  // namespace qel_py

namespace pybind11 {
namespace detail {

template <>
struct type_caster<qel_py::FileText> {
    PYBIND11_TYPE_CASTER(qel_py::FileText, const_name("str"));

    bool load(handle src, bool convert) {
        if (!PyUnicode_Check(src.ptr())) {
            // bytes and the like, as a str argument takes them
            make_caster<std::string> raw;
            if (!raw.load(src, convert)) return false;
            value.bytes = cast_op<std::string &&>(std::move(raw));
            return true;
        }
        PyObject *encoded = PyUnicode_AsEncodedString(src.ptr(), "utf-8", "surrogateescape");
        if (encoded == nullptr) {
            // A surrogate that no byte stands for: not text of a file, a
            // conversion failure as for any other str argument.
            PyErr_Clear();
            return false;
        }
        value.bytes.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
        return true;
    }

    static handle cast(const qel_py::FileText &text, return_value_policy, handle) {
        PyObject *s = PyUnicode_DecodeUTF8(text.bytes.data(), static_cast<Py_ssize_t>(text.bytes.size()),
                                           "surrogateescape");
        if (s == nullptr) throw error_already_set();
        return s;
    }
};

}  // namespace detail
}  // namespace pybind11

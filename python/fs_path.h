#pragma once
// File names as Python names them. A path argument takes what open() takes:
// str (with the surrogate escapes os.fsdecode makes of undecodable bytes),
// bytes and os.PathLike; it becomes the bytes the operating system gets, as
// os.fsencode makes them. Paths given back to Python (result fields, error
// messages) are decoded as os.fsdecode does, so they name the same file
// again. A NUL byte is refused with ValueError before anything is opened,
// as open() refuses it.
#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "file_access.h"

namespace qel_py {

namespace py = pybind11;

// A path argument or result: the file name's bytes.
struct FsPath {
    std::string bytes;
};

// A knot id or data-file name: text like any str argument, but without NUL
// (the name ends up in a file name, where a NUL would cut it short).
struct FileName {
    std::string text;
};

// The bytes as os.fsdecode turns them into a str.
inline py::str fs_decode(const std::string &bytes) {
    PyObject *s = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

[[noreturn]] inline void refuse_nul() { throw py::value_error("embedded null byte"); }

// The message of an error that names files: the file names decoded as
// os.fsdecode does (as the path fields of results are), the rest as UTF-8
// text. Null with a Python error set when a decoding fails.
inline PyObject *path_error_message(const qel::file_access::PathError &e) {
    PyObject *text = PyUnicode_FromStringAndSize("", 0);
    for (const qel::file_access::PathError::Part &part : e.parts()) {
        if (text == nullptr) return nullptr;
        const char *data = part.bytes.data();
        const Py_ssize_t len = static_cast<Py_ssize_t>(part.bytes.size());
        PyObject *piece = part.is_path ? PyUnicode_DecodeFSDefaultAndSize(data, len)
                                       : PyUnicode_DecodeUTF8(data, len, "surrogateescape");
        if (piece == nullptr) {
            Py_DECREF(text);
            return nullptr;
        }
        PyUnicode_Append(&text, piece);
        Py_DECREF(piece);
    }
    return text;
}

// Native messages are bytes. The file names in a message are decoded as
// os.fsdecode does, so that the message names the file under any locale;
// they are marked as such by file_access::PathError, which reaches Python as
// RuntimeError. A message of another error that is not valid UTF-8 (it names
// an undecodable path) would reach Python as an empty message: this
// translator gives it the exception type of the module's translation table
// with the text decoded as os.fsdecode does. Every other exception goes on
// to the default translation unchanged.
inline void register_fs_message_translator() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const py::error_already_set &) {
            throw;
        } catch (const py::builtin_exception &) {
            throw;
        } catch (const qel::file_access::PathError &e) {
            PyObject *text = path_error_message(e);
            if (text == nullptr) return;  // the decoding error stands
            PyErr_SetObject(PyExc_RuntimeError, text);
            Py_DECREF(text);
        } catch (const std::exception &e) {
            const char *msg = e.what();
            const Py_ssize_t len = static_cast<Py_ssize_t>(std::strlen(msg));
            PyObject *utf8 = PyUnicode_DecodeUTF8(msg, len, "strict");
            if (utf8 != nullptr) {
                Py_DECREF(utf8);
                throw;
            }
            PyErr_Clear();
            PyObject *type = PyExc_RuntimeError;
            if (dynamic_cast<const std::invalid_argument *>(&e) || dynamic_cast<const std::domain_error *>(&e) ||
                dynamic_cast<const std::length_error *>(&e) || dynamic_cast<const std::range_error *>(&e)) {
                type = PyExc_ValueError;
            } else if (dynamic_cast<const std::out_of_range *>(&e)) {
                type = PyExc_IndexError;
            } else if (dynamic_cast<const std::overflow_error *>(&e)) {
                type = PyExc_OverflowError;
            }
            PyObject *text = PyUnicode_DecodeFSDefaultAndSize(msg, len);
            if (text == nullptr) return;  // the decoding error stands
            PyErr_SetObject(type, text);
            Py_DECREF(text);
        }
    });
}

}  // namespace qel_py

namespace pybind11 {
namespace detail {

template <>
struct type_caster<qel_py::FsPath> {
    PYBIND11_TYPE_CASTER(qel_py::FsPath, io_name("os.PathLike | str | bytes", "str"));

    bool load(handle src, bool) {
        // Only what open() takes: other objects are a conversion failure
        // (TypeError), not an error of their own.
        if (!PyUnicode_Check(src.ptr()) && !PyBytes_Check(src.ptr()) &&
            !PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(src.ptr())), "__fspath__")) {
            return false;
        }
        PyObject *encoded = nullptr;
        if (PyUnicode_FSConverter(src.ptr(), &encoded) == 0) {
            // A __fspath__ that returns neither str nor bytes is a type
            // error; a NUL byte or an unencodable name is the ValueError
            // (UnicodeEncodeError) that open() raises.
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return false;
            }
            throw error_already_set();
        }
        value.bytes.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
        return true;
    }

    static handle cast(const qel_py::FsPath &path, return_value_policy, handle) {
        return qel_py::fs_decode(path.bytes).release();
    }
};

template <>
struct type_caster<qel_py::FileName> {
    PYBIND11_TYPE_CASTER(qel_py::FileName, const_name("str"));

    bool load(handle src, bool convert) {
        make_caster<std::string> text;
        if (!text.load(src, convert)) return false;
        value.text = cast_op<std::string &&>(std::move(text));
        if (value.text.find('\0') != std::string::npos) qel_py::refuse_nul();
        return true;
    }

    static handle cast(const qel_py::FileName &name, return_value_policy policy, handle parent) {
        return make_caster<std::string>::cast(name.text, policy, parent);
    }
};

}  // namespace detail
}  // namespace pybind11

// Module definition of _bindings: start-up, the fixed registration order of
// every component and the name directory list_bindings.
#include <pybind11/pybind11.h>

#include <string>

#include "bindings.h"
#include "fs_path.h"

namespace {

constexpr const char *kListBindingsDoc = R"(
        Return a dictionary of exported names in this module.

        Args:
          pattern (str|None): optional case-insensitive substring filter.
          include_private (bool): include names beginning with '_' if True.

        Returns:
          dict with keys: 'functions', 'classes', 'attributes', and 'counts'.
        Also sets module __all__ = functions + classes (public names).
        )";

// Lower ASCII letters byte by byte; every other byte (UTF-8 included) stays.
std::string ascii_lower(std::string s) {
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

py::dict list_bindings_impl(const py::module_ &mod, const py::object &pattern, bool include_private) {
    py::object names_obj = mod.attr("__dir__")();
    py::list names = py::isinstance<py::list>(names_obj) ? py::reinterpret_borrow<py::list>(names_obj)
                                                         : py::list(names_obj);
    const bool filtered = !pattern.is_none();
    const std::string needle = filtered ? ascii_lower(py::str(pattern).cast<std::string>()) : std::string();

    py::list functions, classes, attributes;
    for (const py::handle entry : names) {
        const std::string name = py::str(entry).cast<std::string>();
        if (!include_private && !name.empty() && name[0] == '_') continue;
        if (name == "list_bindings") continue;
        if (filtered && !needle.empty() && ascii_lower(name).find(needle) == std::string::npos) continue;
        py::object obj = py::getattr(mod, name.c_str());
        if (PyType_Check(obj.ptr())) {
            classes.append(name);
        } else if (PyCallable_Check(obj.ptr())) {
            functions.append(name);
        } else {
            attributes.append(name);
        }
    }

    py::list all;
    for (const py::handle h : functions) all.append(h);
    for (const py::handle h : classes) all.append(h);
    py::setattr(mod, "__all__", all);

    py::dict counts;
    counts["functions"] = py::len(functions);
    counts["classes"] = py::len(classes);
    counts["attributes"] = py::len(attributes);
    py::dict result;
    result["functions"] = functions;
    result["classes"] = classes;
    result["attributes"] = attributes;
    result["counts"] = counts;
    return result;
}

}  // namespace

PYBIND11_MODULE(_bindings, m) {
    m.doc() = "QEL Core Bindings (backwards compatibility alias)";
    qel_py::register_fs_message_translator();

    bind_ab_initio(m);
    bind_biot_savart(m);
    bind_fluid_dynamics(m);
    bind_field_kernels(m);
    bind_field_ops(m);
    bind_knot(m);
    bind_frenet_helicity(m);
    bind_magnus_integrator(m);
    bind_timefield(m);
    bind_hyperbolic_volume(m);
    bind_radiation_flow(m);
    bind_swirl_field(m);
    bind_thermo_dynamics(m);
    bind_time_evolution(m);
    bind_vortex_ring(m);
    bind_vorticity_dynamics(m);
    bind_qel_gravity(m);
    bind_qel_integrator(m);
    bind_extensions(m);

    // The directory keeps the module alive for as long as the function lives.
    py::module_ self = m;
    m.def(
        "list_bindings",
        [self](const py::object &pattern, bool include_private) {
            return list_bindings_impl(self, pattern, include_private);
        },
        py::arg("pattern") = py::none(), py::arg("include_private") = false, kListBindingsDoc);
}

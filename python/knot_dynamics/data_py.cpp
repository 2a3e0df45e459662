// Python faces of the embedded data, ideal lookups, knot loading and vortex
// knot systems (entries 37 to 50 of the knot registration).
#include "knot_py.h"

#include <cstdint>
#include <memory>
#include <tuple>

namespace knot_py {

void bind_data(py::module_ &m) {
    // 37 get_embedded_ideal_files
    m.def("get_embedded_ideal_files", &qel::get_embedded_ideal_files,
          "Return embedded ideal*.txt resources as {relative_name: content}.");

    // 38 load_embedded_ideal_text
    m.def(
        "load_embedded_ideal_text", [](const FileName &name) { return qel::load_embedded_ideal_text(name.text); },
        py::arg("name") = "ideal.txt",
        "Load embedded ideal text resource from library (basename fallback supported).");

    // 39 parse_embedded_ideal_txt
    m.def(
        "parse_embedded_ideal_txt",
        [](const FileName &name) {
            return FourierKnot::parse_ideal_txt_from_string(qel::load_embedded_ideal_text(name.text),
                                                            signal_interrupt());
        },
        py::arg("name") = "ideal.txt", "Parse embedded ideal*.txt resource into AB blocks.");

    // 40 parse_embedded_ideal_ab_by_id
    m.def(
        "parse_embedded_ideal_ab_by_id",
        [](const std::string &ab_id, const FileName &name) {
            return FourierKnot::parse_ideal_ab_by_id_from_embedded(ab_id, name.text, signal_interrupt());
        },
        py::arg("ab_id"), py::arg("name") = "ideal.txt",
        "Parse a single AB block by Id from an embedded ideal*.txt resource.");

    // 41 parse_ideal_ab_by_id_from_string
    m.def("parse_ideal_ab_by_id_from_string", with_interrupt<&FourierKnot::parse_ideal_ab_by_id_from_string>(),
          py::arg("content"), py::arg("ab_id"), "Parse a single AB block by Id from ideal.txt-style content string.");

    // 42 format_ideal_ab_header
    // The id and Conway code come back as the fields give them.
    m.def(
        "format_ideal_ab_header",
        [](const FourierKnot::IdealABBlock &ab) { return FileText{FourierKnot::format_ideal_ab_header(ab)}; },
        py::arg("ab"),
          "Format AB metadata as: AB Id=\"...\" Conway=\"...\" L=\"...\" D=\"...\" n=\"...\"");

    // 43 get_embedded_knot_files
    m.def("get_embedded_knot_files", &qel::get_embedded_knot_files,
          "Return embedded .fseries resources as {knot_id: file_content}.");

    // 44 parse_fseries_from_string
    m.def("parse_fseries_from_string", with_interrupt<&FourierKnot::parse_fseries_from_string>(), py::arg("content"),
          "Parse .fseries content string into Fourier blocks.");

    // 45 load_embedded_knot_block
    m.def(
        "load_embedded_knot_block",
        [](const FileName &name) {
            const std::string &knot_id = name.text;
            // A map of its own for this call: nothing is kept between calls.
            const qel::EmbeddedFileMap files = qel::get_embedded_knot_files();
            const auto it = files.find(knot_id);
            if (it == files.end()) throw std::runtime_error("Embedded knot id not found: " + knot_id);
            std::vector<FourierBlock> blocks = FourierKnot::parse_fseries_from_string(it->second, signal_interrupt());
            const int best = FourierKnot::index_of_largest_block(blocks);
            if (best < 0) throw std::runtime_error("No Fourier block found in embedded knot: " + knot_id);
            return blocks[static_cast<std::size_t>(best)];
        },
        py::arg("knot_id"), "Load embedded knot by id and return its largest Fourier block.");

    // 46 evaluate_ideal_component
    m.def(
        "evaluate_ideal_component",
        [](const FourierKnot::IdealABComponent &component, const CArray &s) {
            return points_as_array(FourierKnot::evaluate_ideal_component(component, s_of(s), signal_interrupt()));
        },
        py::arg("component"), py::arg("s"), "Evaluate a single ideal AB component (includes I=0 offset).");

    // 47 evaluate_ideal_ab_components. The record by value: the evaluation
    // polls for signals between components, and a handler may change or
    // empty the caller's list of components meanwhile.
    m.def(
        "evaluate_ideal_ab_components",
        [](const FourierKnot::IdealABBlock ab, const CArray &s) {
            const std::vector<PointList> comps =
                FourierKnot::evaluate_ideal_ab_components(ab, s_of(s), signal_interrupt());
            py::list out;
            for (const PointList &c : comps) out.append(points_as_array(c));
            return out;
        },
        py::arg("ab"), py::arg("s"), "Evaluate all components of an ideal AB block.");

    // 48 LoadedKnot
    py::class_<FourierKnot::LoadedKnot>(m, "LoadedKnot")
        .def_property_readonly("name", [](const FourierKnot::LoadedKnot &k) { return FsPath{k.name}; })
        .def_readonly("points", &FourierKnot::LoadedKnot::points)
        .def_readonly("curvature", &FourierKnot::LoadedKnot::curvature)
        .def(
            "get_points_array",
            [](const FourierKnot::LoadedKnot &k) { return points_as_array(k.points); },
            "Get points as NumPy array (N,3)")
        .def(
            "get_curvature_array",
            [](const FourierKnot::LoadedKnot &k) { return values_as_array(k.curvature); },
            "Get curvature as NumPy array (N,)");

    // 49 load_all_knots
    m.def(
        "load_all_knots",
        [](const std::vector<FsPath> &paths, int nsamples) {
            std::vector<std::string> names;
            names.reserve(paths.size());
            for (const FsPath &p : paths) names.push_back(p.bytes);
            return FourierKnot::load_all_knots(names, nsamples, signal_interrupt());
        },
        py::arg("paths"), py::arg("nsamples") = 1000, "Load all knots from a list of .fseries file paths.");

    // 50 VortexKnotSystem: the one class held by shared ownership.
    using qel::VortexKnotSystem;
    py::class_<VortexKnotSystem, std::shared_ptr<VortexKnotSystem>>(m, "VortexKnotSystem")
        .def(py::init<double>(), py::arg("circulation") = 1.0,
             "Initialize a VortexKnotSystem with optional circulation parameter.")
        .def("initialize_trefoil_knot", with_interrupt<&VortexKnotSystem::initialize_trefoil_knot>(), py::arg("resolution") = 400,
             "Initialize a trefoil knot with given resolution.")
        .def("initialize_figure8_knot", with_interrupt<&VortexKnotSystem::initialize_figure8_knot>(), py::arg("resolution") = 400,
             "Initialize a figure-eight knot with given resolution.")
        .def(
            "initialize_knot_from_name",
            [](VortexKnotSystem &self, const FileName &knot_id, std::uint64_t resolution) {
                self.initialize_knot_from_name(knot_id.text, resolution, signal_interrupt());
            },
            py::arg("knot_id"), py::arg("resolution") = 1000,
            "Initialize any knot from bundled .fseries file by identifier.")
        .def("evolve", with_interrupt<&VortexKnotSystem::evolve>(), py::arg("dt"), py::arg("steps"),
             "Evolve vortex knot using Biot–Savart dynamics.")
        .def("get_positions", &VortexKnotSystem::get_positions, "Get current 3D positions of the knot.")
        .def("get_tangents", &VortexKnotSystem::get_tangents, "Get current tangent vectors of the knot.");
}

}  // namespace knot_py

// Knot data compiled into the module and the lookup of knot and ideal files
// on disk.
#include "../knot_dynamics.h"
#include "../knot_embedded_data.h"
#include "../file_access.h"

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

namespace qel {

// ---------------------------------------------------------------------------
// Embedded data files and knot-file lookup
// ---------------------------------------------------------------------------

namespace {

EmbeddedFileMap build_map(const detail::EmbeddedFileTable &table) {
    EmbeddedFileMap map;
    // The entries are already in key order: each one goes at the end.
    for (std::size_t i = 0; i < table.count; ++i) {
        const detail::EmbeddedFileEntry &e = table.entries[i];
        map.emplace_hint(map.end(), e.key, std::string(table.blob + e.offset, e.size));
    }
    return map;
}

// A candidate counts when it opens for reading as a regular file; a
// directory, FIFO, device or socket of that name is skipped like a missing file.
bool path_exists(const std::string &path, const Interrupt &interrupt) {
    return file_access::is_readable_regular_file(path, interrupt);
}

// Value of an environment variable; false when it is unset (an empty value
// still counts as set).
bool env_value(const char *name, std::string &value) {
    const char *v = std::getenv(name);
    if (v == nullptr) return false;
    value = v;
    return true;
}

}  // namespace

EmbeddedFileMap get_embedded_knot_files() { return build_map(detail::embedded_knot_files); }

EmbeddedFileMap get_embedded_ideal_files() { return build_map(detail::embedded_ideal_files); }

std::string find_knot_file_path(const std::string &knot_id, const std::string &base_dir,
                                const Interrupt &interrupt) {
    const std::string f = "knot." + knot_id + ".fseries";
    if (!base_dir.empty()) {
        for (const std::string &c : {base_dir + "/" + f, base_dir + "/knot_fseries/" + f})
            if (path_exists(c, interrupt)) return c;
    }
    std::string d;
    if (env_value("QEL_KNOT_DATA_DIR", d)) {
        const std::string c = d + "/" + f;
        if (path_exists(c, interrupt)) return c;
    }
    std::string r;
    if (env_value("QEL_RESOURCE_DIR", r)) {
        for (const std::string &c : {r + "/resources/knot_fseries/" + f, r + "/knot_fseries/" + f})
            if (path_exists(c, interrupt)) return c;
    }
    static const char *const dirs[] = {
        "src/knot_fseries",
        "src/Knots_FourierSeries",
        "../src/knot_fseries",
        "../src/Knots_FourierSeries",
        "../../src/knot_fseries",
        "../../src/Knots_FourierSeries",
        "knot_fseries",
        "../knot_fseries",
        "share/qel_core/knot_fseries",
        "../../share/qel_core/knot_fseries",
        "/usr/local/share/qel_core/knot_fseries",
        "/usr/share/qel_core/knot_fseries",
    };
    for (const char *s : dirs) {
        const std::string c = std::string(s) + "/" + f;
        if (path_exists(c, interrupt)) return c;
    }
    return std::string();
}

std::string find_ideal_file_path(const std::string &name, const std::string &base_dir,
                                 const Interrupt &interrupt) {
    if (!base_dir.empty()) {
        for (const std::string &c : {base_dir + "/" + name, base_dir + "/resources/" + name})
            if (path_exists(c, interrupt)) return c;
    }
    std::string r;
    if (env_value("QEL_RESOURCE_DIR", r)) {
        for (const std::string &c : {r + "/" + name, r + "/resources/" + name})
            if (path_exists(c, interrupt)) return c;
    }
    std::string d;
    if (env_value("QEL_KNOT_DATA_DIR", d)) {
        const std::string c = d + "/../" + name;
        if (path_exists(c, interrupt)) return c;
    }
    for (const char *s : {"resources", "../resources", "share/qel_core/resources"}) {
        const std::string c = std::string(s) + "/" + name;
        if (path_exists(c, interrupt)) return c;
    }
    return std::string();
}

std::string load_embedded_ideal_text(const std::string &name) {
    // Built once per process on first use (thread-safe static initialisation)
    // and only read afterwards.
    static const EmbeddedFileMap files = get_embedded_ideal_files();
    auto it = files.find(name);
    if (it != files.end()) return it->second;
    for (const auto &kv : files) {
        const std::string &key = kv.first;
        const std::size_t cut = key.find_last_of("/\\");
        const bool match = cut == std::string::npos
                               ? key == name
                               : key.compare(cut + 1, std::string::npos, name) == 0;
        if (match) return kv.second;
    }
    throw std::runtime_error("Embedded ideal text not found: " + name);
}

}  // namespace qel

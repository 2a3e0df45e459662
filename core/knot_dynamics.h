#pragma once
// Knot model: Fourier-series knots, the ideal databases, the knot data
// carried by the module and the lookup of knot files on disk.
#include <map>
#include <string>

namespace qel {

// ---------------------------------------------------------------------------
// Embedded data files and knot-file lookup
// ---------------------------------------------------------------------------

// Name -> complete file text, ordered by byte-wise key comparison.
using EmbeddedFileMap = std::map<std::string, std::string>;

// The 78 Fourier-series texts keyed by knot id; a new map on every call.
EmbeddedFileMap get_embedded_knot_files();
// The ideal databases and the 12-crossing polylines keyed by relative file
// name ("ideal.txt", "ideal_12_data/12a1.txt", ...); a new map on every call.
EmbeddedFileMap get_embedded_ideal_files();

// Path of the first readable "knot.<id>.fseries" among the base directory,
// QEL_KNOT_DATA_DIR, QEL_RESOURCE_DIR and the fixed data directories, or
// the empty text when none is found.
std::string find_knot_file_path(const std::string &knot_id, const std::string &base_dir);
// Path of the first readable ideal text file of that name, or the empty text.
std::string find_ideal_file_path(const std::string &name, const std::string &base_dir);
// Text of one embedded ideal file, by relative name or by bare file name.
// Throws std::runtime_error "Embedded ideal text not found: " + name.
std::string load_embedded_ideal_text(const std::string &name);

}  // namespace qel

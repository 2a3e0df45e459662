#pragma once
// Tables of the knot data compiled into the module. Each table points into
// one constant blob holding the texts back to back; its entries are sorted
// by byte-wise key order. The definitions are generated from the files under
// data/knot_fseries at build time.
#include <cstddef>

namespace qel {
namespace detail {

struct EmbeddedFileEntry {
    const char *key;
    std::size_t offset;
    std::size_t size;
};

struct EmbeddedFileTable {
    const char *blob;
    const EmbeddedFileEntry *entries;
    std::size_t count;
};

extern const EmbeddedFileTable embedded_knot_files;   // knot id -> .fseries text
extern const EmbeddedFileTable embedded_ideal_files;  // relative name -> text

}  // namespace detail
}  // namespace qel

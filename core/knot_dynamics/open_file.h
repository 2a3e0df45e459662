#pragma once
// Opening a file that a reader was given by path.
#include <sys/stat.h>

#include <fstream>
#include <string>

namespace qel {
namespace knot_detail {

// Opens `path` for reading as text. A directory opens on Linux but reads as
// an empty file; here it counts as a file that cannot be opened, so that
// every reader reports it as it reports a missing file.
inline bool open_for_reading(std::ifstream &in, const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
    in.open(path);
    return in.is_open();
}

}  // namespace knot_detail
}  // namespace qel

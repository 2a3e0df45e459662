#pragma once
// Helpers shared by the fuzz harnesses.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "knot_dynamics.h"

namespace qel_fuzz {

// One scratch file per process, written anew (by path) for every input;
// removed at exit. Writing by path also works when the code under test
// replaced the file by renaming another one over it.
class ScratchFile {
public:
    ScratchFile() {
        const char *dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/qel-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        const int fd = mkstemp(buf.data());
        if (fd < 0) std::abort();
        close(fd);
        path_ = buf.data();
    }
    ~ScratchFile() { unlink(path_.c_str()); }
    const std::string &write(const uint8_t *data, size_t size) {
        std::FILE *f = std::fopen(path_.c_str(), "wb");
        if (f == nullptr) std::abort();
        if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
        if (std::fclose(f) != 0) std::abort();
        return path_;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Bitwise equality of two value lists (NaN payloads included).
inline bool same_values(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same_block(const qel::FourierBlock &a, const qel::FourierBlock &b) {
    return a.header == b.header && same_values(a.a_x, b.a_x) && same_values(a.b_x, b.b_x) &&
           same_values(a.a_y, b.a_y) && same_values(a.b_y, b.b_y) && same_values(a.a_z, b.a_z) &&
           same_values(a.b_z, b.b_z);
}

inline bool six_equal_lengths(const qel::FourierBlock &b) {
    const size_t n = b.a_x.size();
    return b.b_x.size() == n && b.a_y.size() == n && b.b_y.size() == n && b.a_z.size() == n && b.b_z.size() == n;
}

#define QEL_FUZZ_CHECK(cond)                                                      \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                          \
        }                                                                         \
    } while (0)

}  // namespace qel_fuzz

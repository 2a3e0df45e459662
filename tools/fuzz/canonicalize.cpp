// In-place canonicalisation of a Fourier-series file: the input is written
// to a temporary file, canonicalised, and canonicalised again, which must
// then leave it as it is.
//
// needs: canonicalize_fseries_file_inplace
// sources: qel_extensions/*.cpp qel_extensions.cpp knot_dynamics.cpp knot_dynamics/*.cpp biot_savart.cpp field_kernels.cpp frenet_helicity.cpp file_access/*.cpp
// seeds: knot.*.fseries ideal_12_data/12a1*.txt
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_util.h"
#include "qel_extensions.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qel_fuzz::ScratchFile scratch;
    const std::string &path = scratch.write(data, size);
    const qel::qelext::CanonicalizeResult first = qel::qelext::canonicalize_fseries_file_inplace(path);
    const std::string after = slurp(path);
    if (!first.changed) QEL_FUZZ_CHECK(after == std::string(reinterpret_cast<const char *>(data), size));
    const qel::qelext::CanonicalizeResult second = qel::qelext::canonicalize_fseries_file_inplace(path);
    QEL_FUZZ_CHECK(!second.changed && slurp(path) == after);
    return 0;
}

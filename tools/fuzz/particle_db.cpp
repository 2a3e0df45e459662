// The particle evaluator's own extractor of ideal-database records: the
// first line of the input is the id, the rest the database text.
//
// needs: extract_and_build_filament
// sources: ab_initio_mass*.cpp biot_savart.cpp frenet_helicity.cpp potential_timefield.cpp field_kernels.cpp file_access/*.cpp
// seeds: ideal-records-with-id
#include <stdexcept>
#include <string>
#include <vector>

#include "ab_initio_mass.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t nl = input.find('\n');
    const std::string id = nl == std::string::npos ? input : input.substr(0, nl);
    const std::string db = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    const int resolution = 7;
    qel::ParticleEvaluator ev(std::vector<qel::PointList>{});
    try {
        if (ev.extract_and_build_filament(db, id, resolution)) {
            QEL_FUZZ_CHECK(!ev.filaments.empty());
            for (const qel::PointList &f : ev.filaments) QEL_FUZZ_CHECK(f.size() == static_cast<size_t>(resolution));
            (void)ev.get_physical_length_m();
        }
    } catch (const std::invalid_argument &) {  // an index that is no number
    } catch (const std::out_of_range &) {      // an index beyond 32 bits
    }
    return 0;
}

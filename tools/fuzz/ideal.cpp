// Ideal-database parser over a text and over a file, the lookup of each
// record's index by id, the header formatter and component evaluation.
//
// needs: parse_ideal_txt_from_string parse_ideal_txt_multi index_of_ideal_id
// sources: knot_dynamics.cpp knot_dynamics/*.cpp file_access/*.cpp
// seeds: ideal-records
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "knot_dynamics.h"

using qel::FourierKnot;

namespace {

// The conversion errors the parser reports for numbers it cannot hold.
template <class Fn>
bool parses(Fn &&fn) {
    try {
        fn();
        return true;
    } catch (const std::invalid_argument &) {
    } catch (const std::out_of_range &) {
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qel_fuzz::ScratchFile scratch;
    const std::string text(reinterpret_cast<const char *>(data), size);

    std::vector<FourierKnot::IdealABBlock> records;
    const bool ok = parses([&] { records = FourierKnot::parse_ideal_txt_from_string(text); });

    std::vector<FourierKnot::IdealABBlock> from_file;
    const bool file_ok = parses([&] { from_file = FourierKnot::parse_ideal_txt_multi(scratch.write(data, size)); });
    QEL_FUZZ_CHECK(ok == file_ok && records.size() == from_file.size());
    if (!ok) return 0;

    const std::vector<double> s = {0.0, 1.0, 4.0};
    for (size_t i = 0; i < records.size(); ++i) {
        const FourierKnot::IdealABBlock &r = records[i];
        QEL_FUZZ_CHECK(r.id == from_file[i].id && r.components.size() == from_file[i].components.size());
        QEL_FUZZ_CHECK(r.n >= 1 && !r.components.empty());
        QEL_FUZZ_CHECK(qel_fuzz::same_block(r.fourier, r.components.front().fourier));
        for (const FourierKnot::IdealABComponent &c : r.components) {
            QEL_FUZZ_CHECK(qel_fuzz::six_equal_lengths(c.fourier));
        }
        const int at = FourierKnot::index_of_ideal_id(records, r.id);
        QEL_FUZZ_CHECK(at >= 0 && static_cast<size_t>(at) <= i && records[static_cast<size_t>(at)].id == r.id);
        (void)FourierKnot::format_ideal_ab_header(r);
        const std::vector<qel::PointList> pts = FourierKnot::evaluate_ideal_ab_components(r, s);
        QEL_FUZZ_CHECK(pts.size() == r.components.size());
    }
    return 0;
}

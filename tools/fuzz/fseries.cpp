// Fourier-series readers: the text reader, the file reader and the knot
// object's loadBlocks on the same bytes.
//
// needs: parse_fseries_from_string parse_fseries_multi loadBlocks
// sources: knot_dynamics.cpp knot_dynamics/*.cpp file_access/*.cpp
// seeds: knot.*.fseries
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "knot_dynamics.h"

using qel::FourierBlock;
using qel::FourierKnot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qel_fuzz::ScratchFile scratch;
    const std::string text(reinterpret_cast<const char *>(data), size);

    const std::vector<FourierBlock> blocks = FourierKnot::parse_fseries_from_string(text);
    for (const FourierBlock &b : blocks) {
        QEL_FUZZ_CHECK(!b.a_x.empty() && qel_fuzz::six_equal_lengths(b));
        if (!b.header.empty()) {
            const char first = b.header.front(), last = b.header.back();
            QEL_FUZZ_CHECK(first != ' ' && first != '\t');
            QEL_FUZZ_CHECK(last != ' ' && last != '\t' && last != '\r' && last != '\n');
        }
    }
    const int best = FourierKnot::index_of_largest_block(blocks);
    QEL_FUZZ_CHECK(blocks.empty() ? best == -1 : (best >= 0 && static_cast<size_t>(best) < blocks.size()));

    // The file reader follows the same line rules as the text reader.
    const std::string &path = scratch.write(data, size);
    const std::vector<FourierBlock> from_file = FourierKnot::parse_fseries_multi(path);
    QEL_FUZZ_CHECK(from_file.size() == blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) QEL_FUZZ_CHECK(qel_fuzz::same_block(from_file[i], blocks[i]));

    FourierKnot knot;
    knot.loadBlocks(path);
    for (const FourierBlock &b : knot.blocks) {
        QEL_FUZZ_CHECK(!b.a_x.empty() && qel_fuzz::six_equal_lengths(b) && b.header.empty());
    }
    if (!knot.blocks.empty()) {
        knot.selectMaxHarmonics();
        knot.reconstruct(3);
        QEL_FUZZ_CHECK(knot.points.size() == 3);
    }
    return 0;
}

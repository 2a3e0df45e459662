// Readers of the Fourier-series text format.
#include "../knot_dynamics.h"
#include "internal.h"
#include "../file_access.h"

#include <string>
#include <utility>
#include <vector>

namespace qel {

using namespace knot_detail;

std::vector<FourierBlock> FourierKnot::parse_fseries_multi(const std::string &path, const Interrupt &interrupt) {
    std::string text;
    if (!file_access::read_regular_file(path, text, interrupt)) return {};
    return parse_fseries_from_string(text, interrupt);
}

std::vector<FourierBlock> FourierKnot::parse_fseries_from_string(const std::string &content,
                                                                 const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    SeriesParser parser;
    for_each_line(content, meter, [&](std::string line) { parser.line(std::move(line)); });
    return parser.finish();
}

int FourierKnot::index_of_largest_block(const std::vector<FourierBlock> &blocks) {
    if (blocks.empty()) return -1;
    std::size_t best = 0;
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].a_x.size() > blocks[best].a_x.size()) best = i;
    }
    return static_cast<int>(best);
}

}  // namespace qel

// The knot object (blocks read from a file, the active block and its points)
// and the loaders of centred knot samples.
#include "../knot_dynamics.h"
#include "internal.h"
#include "../file_access.h"

#include <sys/sysinfo.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qel {

using namespace knot_detail;

namespace {

std::size_t points_that_fit_in_memory() {
    struct sysinfo info;
    if (::sysinfo(&info) != 0) return static_cast<std::size_t>(-1);
    const unsigned long long bytes =
        (static_cast<unsigned long long>(info.totalram) + info.totalswap) * info.mem_unit;
    return static_cast<std::size_t>(bytes / sizeof(Vec3));
}

}  // namespace

void FourierKnot::loadBlocks(const std::string &path, const Interrupt &interrupt) {
    std::string text;
    if (!file_access::read_regular_file(path, text, interrupt)) {
        blocks.clear();
        throw file_access::PathError("Cannot open file: ", path);
    }
    // Read into a list of our own, set once at the end: a stopped call
    // leaves the blocks as they were, and the interrupt may run Python code
    // that replaces them meanwhile.
    std::vector<FourierBlock> read;
    FourierBlock work;
    NumberReader reader;
    WorkMeter meter(interrupt);
    for_each_line(text, meter, [&](const std::string &line) {
        if (line.empty() || line[0] == '%') {
            if (!work.a_x.empty()) {
                read.push_back(std::move(work));
                work = FourierBlock{};
            }
            return;
        }
        reader.reset(line);
        double v[7];
        int count = 0;
        while (count < 7 && reader.next(v[count])) ++count;
        if (count == 6) append_row(work, v);
    });
    if (!work.a_x.empty()) read.push_back(std::move(work));
    blocks.clear();
    blocks.reserve(read.size());
    for (FourierBlock &b : read) blocks.push_back(std::move(b));
}

void FourierKnot::selectMaxHarmonics() {
    if (blocks.empty()) throw std::runtime_error("No Fourier blocks loaded");
    // The first block with the most harmonics, as index_of_largest_block picks it.
    std::size_t best = 0;
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].a_x.size() > blocks[best].a_x.size()) best = i;
    }
    activeBlock = blocks[best];
}

void FourierKnot::reconstruct(std::size_t N, const Interrupt &interrupt) {
    if (activeBlock.a_x.empty()) throw std::runtime_error("No active Fourier block selected");
    // The coefficients are copied and the points made in a list of this
    // call's own, which replaces `points` at the end: the interrupt runs
    // Python code that may change this object meanwhile.
    const PaddedCoeffs p = padded(activeBlock, activeBlock.a_x.size());
    PointList out;
    try {
        // A count within the list's limit whose points would not fit in the
        // machine's memory (RAM and swap) is refused before the allocator is
        // asked: the answer is the same MemoryError, without first driving
        // the machine into swap or the out-of-memory killer.
        if (N <= out.max_size() && N > points_that_fit_in_memory()) throw std::bad_alloc();
        out.reserve(N);
    } catch (...) {
        points.clear();
        throw;
    }
    const double ds = kTwoPi / static_cast<double>(N);
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < N; ++i) {
        meter.add(kHarmonicWork * p.K + 1);
        out.push_back(eval_padded(p, static_cast<double>(i) * ds));
    }
    points.swap(out);
}

// ---------------------------------------------------------------------------
// Knot loading

std::pair<PointList, std::vector<double>> FourierKnot::load_knot(const std::string &path, int nsamples,
                                                                 const Interrupt &interrupt) {
    const std::vector<FourierBlock> blocks = parse_fseries_multi(path, interrupt);
    const int best = index_of_largest_block(blocks);
    if (best < 0) return {};
    if (nsamples < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    const std::size_t n = static_cast<std::size_t>(nsamples);
    std::vector<double> s(n);
    // With one sample the only parameter is s = 0.
    for (std::size_t k = 0; k < n; ++k) {
        s[k] = n == 1 ? 0.0 : (static_cast<double>(k) * kTwoPi) / static_cast<double>(n - 1);
    }
    PointList pts = center_points(evaluate(blocks[static_cast<std::size_t>(best)], s, interrupt));
    // The last sample repeats the first: take the curvature over the distinct
    // points cyclically and give the repeated end the value of the first.
    std::vector<double> kappa;
    if (n >= 2) {
        kappa = curvature(PointList(pts.begin(), pts.end() - 1), 1e-8);
        kappa.push_back(kappa.front());
    } else {
        kappa = curvature(pts, 1e-8);
    }
    return {std::move(pts), std::move(kappa)};
}

std::vector<FourierKnot::LoadedKnot> FourierKnot::load_all_knots(const std::vector<std::string> &paths, int nsamples,
                                                                  const Interrupt &interrupt) {
    std::vector<LoadedKnot> out;
    WorkMeter meter(interrupt);
    for (const std::string &path : paths) {
        meter.poll();
        std::string name = path;
        const std::size_t slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name = name.substr(slash + 1);
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos) name = name.substr(0, dot);
        std::string lowered = name;
        for (char &c : lowered) c = lower_ascii(c);
        const std::size_t k = lowered.find("knot");
        if (k != std::string::npos) name.erase(k, 4);

        auto loaded = load_knot(path, nsamples, interrupt);
        if (loaded.first.empty()) continue;
        out.push_back(LoadedKnot{std::move(name), std::move(loaded.first), std::move(loaded.second)});
    }
    return out;
}

}  // namespace qel

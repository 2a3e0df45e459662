// Reference for bench_relax.py: the filament relaxation with the plain loop
// over all pairs of points. Builds the evaluator of a database record (the
// database found as the module finds it), relaxes it, prints the time taken
// and writes the relaxed points as raw doubles (x, y, z per point, filament
// by filament) to the output file.
//
//   relax_all_pairs KNOT_ID RESOLUTION ITERATIONS TIMESTEP OUTPUT
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ab_initio_mass.h"

namespace {

void relax_all_pairs(std::vector<qel::PointList> &fil, int iterations, double dt) {
    if (fil.empty()) return;
    std::size_t total = 0;
    for (const auto &f : fil) total += f.size();
    std::vector<qel::PointList> V(fil.size()), F(fil.size());
    for (std::size_t f = 0; f < fil.size(); ++f) V[f].assign(fil[f].size(), qel::Vec3{0.0, 0.0, 0.0});

    auto centroid = [&]() {
        double s[3] = {0.0, 0.0, 0.0};
        for (const auto &f : fil)
            for (const auto &p : f)
                for (int a = 0; a < 3; ++a) s[a] += p[a];
        const double n = static_cast<double>(total);
        return qel::Vec3{s[0] / n, s[1] / n, s[2] / n};
    };

    for (int it = 0; it < iterations; ++it) {
        const qel::Vec3 C = centroid();
        for (std::size_t f = 0; f < fil.size(); ++f) {
            const qel::PointList &P = fil[f];
            const std::size_t n = P.size();
            F[f].assign(n, qel::Vec3{0.0, 0.0, 0.0});
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t prev = (j + n - 1) % n, next = (j + 1) % n;
                qel::Vec3 &g = F[f][j];
                for (int a = 0; a < 3; ++a) g[a] += 25.0 * ((P[prev][a] - P[j][a]) + (P[next][a] - P[j][a]));
                for (int a = 0; a < 3; ++a) g[a] += 15.0 * (C[a] - P[j][a]);
                for (std::size_t h = 0; h < fil.size(); ++h) {
                    const qel::PointList &Q = fil[h];
                    for (std::size_t m = 0; m < Q.size(); ++m) {
                        if (h == f && (m == prev || m == j || m == next)) continue;
                        const double d[3] = {P[j][0] - Q[m][0], P[j][1] - Q[m][1], P[j][2] - Q[m][2]};
                        const double b = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
                        if (b < 0.04000000000000001 && b > 1e-8) {
                            const double r = std::sqrt(b);
                            for (int a = 0; a < 3; ++a) g[a] += (200.0 * d[a]) / r;
                        }
                    }
                }
            }
        }
        for (std::size_t f = 0; f < fil.size(); ++f) {
            for (std::size_t j = 0; j < fil[f].size(); ++j) {
                for (int a = 0; a < 3; ++a) {
                    V[f][j][a] = (V[f][j][a] + dt * F[f][j][a]) * 0.7;
                    fil[f][j][a] = fil[f][j][a] + dt * V[f][j][a];
                }
            }
        }
    }

    const qel::Vec3 C = centroid();
    double R = 0.0;
    for (const auto &f : fil) {
        for (const auto &p : f) {
            const double d[3] = {p[0] - C[0], p[1] - C[1], p[2] - C[2]};
            const double r = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
            if (r > R) R = r;
        }
    }
    const double s = (R < 1e-12) ? 2.81794034e-9 : 2.81794034e-15 / R;
    for (auto &f : fil)
        for (auto &p : f)
            for (int a = 0; a < 3; ++a) p[a] = (p[a] - C[a]) * s;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s KNOT_ID RESOLUTION ITERATIONS TIMESTEP OUTPUT\n", argv[0]);
        return 2;
    }
    qel::ParticleEvaluator pe(argv[1], std::atoi(argv[2]));
    const auto t0 = std::chrono::steady_clock::now();
    relax_all_pairs(pe.filaments, std::atoi(argv[3]), std::atof(argv[4]));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::FILE *out = std::fopen(argv[5], "wb");
    if (out == nullptr) {
        std::perror(argv[5]);
        return 1;
    }
    for (const auto &f : pe.filaments) std::fwrite(f.data(), sizeof(qel::Vec3), f.size(), out);
    std::fclose(out);
    std::printf("%.6f\n", seconds);
    return 0;
}

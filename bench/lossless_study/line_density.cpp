// Throw-away analysis: how much a model of where events fall along their
// line could save over the codec's position coding (an offset from the
// line's last event, a gap in an ascending run, or the position itself).
//
//   g++ -O2 -std=c++20 bench/lossless_study/line_density.cpp -o /tmp/line_density
//   /tmp/line_density [--columns] file.rec...
//
// The line of each event is taken as known; its position costs -log2 of the
// probability a mixture of experts gives it. The experts: uniform over the
// line, two-sided geometric laws around the line's last position, and
// decayed per-pixel event densities of the line (and of its neighbours),
// smoothed over nearby positions. The mixture's weights follow the experts'
// recent likelihoods (Bayesian, fixed share), so it costs about what the
// best expert of each stretch costs. Prints bits/event of the mixture and of
// every expert alone: an ideal cost, not a coder.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "study_records.hpp"


int main(int argc, char** argv) {
    bool columns = false;
    int first = 1;
    if (first < argc && std::string(argv[first]) == "--columns") columns = true, ++first;
    for (int f = first; f < argc; ++f) {
        const std::vector<Ev> e = load(argv[f]);
        std::uint32_t amax = 0, bmax = 0;
        for (const Ev& v : e) {
            amax = std::max(amax, columns ? v.x : v.y);
            bmax = std::max(bmax, columns ? v.y : v.x);
        }
        const int A = int(amax) + 1, B = int(bmax) + 1;
        // Density experts: decay per event of the whole stream.
        const double decays[] = {0.999, 0.9999, 0.99999};
        constexpr int kD = 3;
        const double ratios[] = {0.5, 0.8, 0.95};
        constexpr int kG = 3;
        // Experts: 0 uniform, 1..kG geometric, then kD line densities, then
        // kD densities over the line and its two neighbours.
        constexpr int kExperts = 1 + kG + 2 * kD;
        std::vector<double> density(std::size_t(kD) * A * B, 0.0);
        std::vector<std::uint64_t> decayed_at(std::size_t(kD) * A, 0);
        std::vector<int> line_last(A, -1);
        double weight[kExperts];
        for (double& w : weight) w = 1.0 / kExperts;
        double expert_bits[kExperts] = {};
        double mixture_bits = 0;
        std::vector<double> p(B), q(B);
        // A cheap stand-in for the densities: per line, the last kRecent
        // distinct positions, most recent first; a position costs its rank
        // (adaptive counts over the ranks and an escape), or the escape and
        // a uniform position.
        constexpr int kRecent = 16;
        std::vector<int> recent(std::size_t(A) * kRecent, -1);
        std::vector<double> rank_count(kRecent + 1, 1.0);
        double rank_total = kRecent + 1;
        double recent_bits = 0, escapes = 0;
        const auto bring_up_to_date = [&](int d, int a, std::uint64_t now) {
            double* row = &density[(std::size_t(d) * A + a) * B];
            const std::uint64_t then = decayed_at[std::size_t(d) * A + a];
            if (then == now) return row;
            const double factor = std::pow(decays[d], double(now - then));
            for (int b = 0; b < B; ++b) row[b] *= factor;
            decayed_at[std::size_t(d) * A + a] = now;
            return row;
        };
        for (std::size_t i = 0; i < e.size(); ++i) {
            const int a = int(columns ? e[i].x : e[i].y);
            const int b = int(columns ? e[i].y : e[i].x);
            double prob[kExperts];
            prob[0] = 1.0 / B;
            for (int g = 0; g < kG; ++g) {
                const int ref = line_last[a] < 0 ? 0 : line_last[a];
                const double r = ratios[g];
                // Normalised over the line: sum of r^|k - ref| for k in 0..B-1.
                const double below = (1 - std::pow(r, ref + 1)) / (1 - r);
                const double above = (1 - std::pow(r, B - ref)) / (1 - r);
                prob[1 + g] = std::pow(r, std::abs(b - ref)) / (below + above - 1);
            }
            for (int d = 0; d < kD; ++d) {
                for (int ring = 0; ring < 2; ++ring) {
                    std::fill(q.begin(), q.end(), 0.0);
                    for (int da = -ring; da <= ring; ++da) {
                        if (a + da < 0 || a + da >= A) continue;
                        const double* row = bring_up_to_date(d, a + da, i);
                        const double w = da == 0 ? 1.0 : 0.5;
                        for (int k = 0; k < B; ++k) q[k] += w * row[k];
                    }
                    // Smoothed over k-1, k, k+1, with a floor so every
                    // position keeps some probability.
                    double total = 0;
                    for (int k = 0; k < B; ++k) {
                        const double s = q[k] + 0.5 * ((k > 0 ? q[k - 1] : 0) + (k + 1 < B ? q[k + 1] : 0));
                        p[k] = s + 1e-3;
                        total += p[k];
                    }
                    prob[1 + kG + ring * kD + d] = p[b] / total;
                }
            }
            double mixed = 0;
            for (int k = 0; k < kExperts; ++k) mixed += weight[k] * prob[k];
            mixture_bits -= std::log2(mixed);
            double sum = 0;
            for (int k = 0; k < kExperts; ++k) {
                expert_bits[k] -= std::log2(prob[k]);
                weight[k] *= prob[k] / mixed;
                sum += weight[k];
            }
            for (double& w : weight) w = 0.98 * w / sum + 0.02 / kExperts;
            {
                int* list = &recent[std::size_t(a) * kRecent];
                int r = 0;
                while (r < kRecent && list[r] != b) ++r;
                recent_bits -= std::log2(rank_count[r] / rank_total);
                if (r == kRecent) recent_bits += std::log2(double(B)), escapes += 1;
                rank_count[r] += 1;
                rank_total += 1;
                if (rank_total > 4096) {
                    rank_total = 0;
                    for (double& c : rank_count) rank_total += (c = (c + 1) / 2);
                }
                const int moved = r == kRecent ? kRecent - 1 : r;
                for (int k = moved; k > 0; --k) list[k] = list[k - 1];
                list[0] = b;
            }
            for (int d = 0; d < kD; ++d) bring_up_to_date(d, a, i)[b] += 1.0;
            line_last[a] = b;
        }
        const double n = double(e.size());
        std::printf("%s (%zu events, %s): mixture %.3f | uniform %.3f | geometric", argv[f], e.size(),
                    columns ? "columns" : "rows", mixture_bits / n, expert_bits[0] / n);
        for (int g = 0; g < kG; ++g) std::printf(" %.3f", expert_bits[1 + g] / n);
        std::printf(" | line density");
        for (int d = 0; d < kD; ++d) std::printf(" %.3f", expert_bits[1 + kG + d] / n);
        std::printf(" | with neighbours");
        for (int d = 0; d < kD; ++d) std::printf(" %.3f", expert_bits[1 + kG + kD + d] / n);
        std::printf(" | recent list %.3f (escapes %.1f %%)\n", recent_bits / n, 100 * escapes / n);
    }
}

// Clarabel's quick path of a fixed-horizon solve against the plain one: CPU time
// per solve (interleaved, median of 9) and, for a solver kept across
// horizons, the iterations it takes against a freshly built one as the
// horizon moves away from the one it was built at.
//
//   build/bench/quick_solves [time|reuse|all]
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "vexal/fixed_horizon.hpp"
#include "vexal/memory.hpp"

#include "bench_common.hpp"

namespace {

using bench::cpu_ms;
using bench::median;

struct Scenario {
    const char* name;
    vexal::Config config;
    double tof;
};

std::vector<Scenario> scenarios(std::uint64_t n) {
    const bench::Vehicles v = bench::vehicles(n);
    return {{"default", v.plain, 44.0}, {"glide slope 10", v.slope, 44.0}, {"lunar", v.lunar, 60.0}};
}

// This bench measures Clarabel's quick path, whatever the default solver.
vexal::QuickSolves clarabel_quick() {
    vexal::QuickSolves quick;
    quick.solver = vexal::SolverChoice::clarabel;
    return quick;
}

void must(const vexal::Result<vexal::Trajectory>& r) {
    if (!r) {
        std::fprintf(stderr, "solve failed: %s\n", r.error().message.c_str());
        std::exit(1);
    }
}

void time_table() {
    std::printf("| n | scenario | plain (ms) | quick, built (ms) | quick, updated (ms) | plain / updated |\n");
    std::printf("|---:|---|---:|---:|---:|---:|\n");
    for (std::uint64_t n : {50u, 100u, 1000u, 5000u}) {
        if (!vexal::check_node_count(n)) continue;
        for (const Scenario& s : scenarios(n)) {
            const int repeats = n >= 5000 ? 3 : 9;
            std::vector<double> plain, built, updated;
            vexal::QuickSolves kept = clarabel_quick();
            must(vexal::solve_fixed(s.config, 0.97 * s.tof, nullptr, {}, &kept));
            for (int r = 0; r < repeats; ++r) {
                double t = cpu_ms();
                must(vexal::solve_fixed(s.config, s.tof));
                plain.push_back(cpu_ms() - t);
                vexal::QuickSolves fresh = clarabel_quick();
                t = cpu_ms();
                must(vexal::solve_fixed(s.config, s.tof, nullptr, {}, &fresh));
                built.push_back(cpu_ms() - t);
                t = cpu_ms();
                must(vexal::solve_fixed(s.config, s.tof, nullptr, {}, &kept));
                updated.push_back(cpu_ms() - t);
            }
            std::printf("| %llu | %s | %.2f | %.2f | %.2f | %.2f |\n", static_cast<unsigned long long>(n), s.name,
                        median(plain), median(built), median(updated), median(plain) / median(updated));
        }
    }
}

void reuse_table() {
    const std::vector<double> shifts = {-0.5, -0.3, -0.2, -0.1, 0.1, 0.2, 0.3, 0.5, 1.0};
    std::printf("iterations of a kept solver after the horizon moved by a fraction of the one it was built at,\n"
                "over those of a fresh one (sum over scenarios and built-at horizons)\n| n |");
    for (double d : shifts) std::printf(" %+.2f |", d);
    std::printf("\n|---:|");
    for (std::size_t i = 0; i < shifts.size(); ++i) std::printf("---:|");
    std::printf("\n");
    for (std::uint64_t n : {50u, 100u, 400u}) {
        std::printf("| %llu |", static_cast<unsigned long long>(n));
        for (double d : shifts) {
            unsigned kept_iterations = 0, fresh_iterations = 0;
            for (const Scenario& s : scenarios(n)) {
                for (double at : {0.6 * s.tof, s.tof, 1.6 * s.tof}) {
                    vexal::QuickSolves kept = clarabel_quick(), fresh = clarabel_quick();
                    kept.rebuild_fraction = 1e9;
                    auto first = vexal::solve_fixed(s.config, at, nullptr, {}, &kept);
                    auto moved = vexal::solve_fixed(s.config, at * (1.0 + d), nullptr, {}, &kept);
                    auto anew = vexal::solve_fixed(s.config, at * (1.0 + d), nullptr, {}, &fresh);
                    if (!first || !moved || !anew) continue;
                    kept_iterations += moved->iterations;
                    fresh_iterations += anew->iterations;
                }
            }
            std::printf(" %.3f |", fresh_iterations ? double(kept_iterations) / fresh_iterations : 0.0);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "all";
    if (what == "time" || what == "all") time_table();
    if (what == "reuse" || what == "all") reuse_table();
    return 0;
}

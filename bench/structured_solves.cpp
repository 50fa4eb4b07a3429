// The structured interior-point solver against Clarabel's quick settings on
// the same scaled program: CPU time per solve (interleaved, median of 9),
// iterations, and the two optima's relative difference. Then whole plans of
// the default descent (the fast search, one grid thread): Clarabel's quick
// path, the structured solver, and the structured solver through a built
// PlanWorkspace (which allocates nothing).
//
//   build/bench/structured_solves [n ...]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vexal/accuracy.hpp"
#include "vexal/conic.hpp"
#include "vexal/structured_solver.hpp"
#include "vexal/vexal.hpp"

#include "bench_common.hpp"

namespace {

using bench::cpu_ms;
using bench::median;

struct Scenario {
    const char* name;
    vexal::Config config;
    double tof;
    vexal::ProgramOptions options;
};

std::vector<Scenario> scenarios(std::uint64_t n) {
    const auto [plain, slope, lunar] = bench::vehicles(n);
    vexal::Config floorless = plain;
    floorless.spacecraft.min_thrust_pct = 0.0;
    vexal::ProgramOptions pointing{true};
    vexal::ProgramOptions nearest{true, vexal::Landing::nearest};
    vexal::ProgramOptions spinning{true};
    spinning.rotation = {0.0, 6.62e-5, 2.53e-5};
    return {{"default", plain, 44.0, pointing},
            {"glide slope 10", slope, 44.0, pointing},
            {"lunar", lunar, 60.0, pointing},
            {"nearest, slope", slope, 44.0, nearest},
            {"rotating", plain, 44.0, spinning},
            {"no throttle floor", floorless, 50.0, vexal::ProgramOptions{}}};
}

double objective(const vexal::Problem& p, const std::vector<double>& x) {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += p.q[i] * x[i];
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {50, 100, 1000, 5000};
    std::printf("| n | scenario | Clarabel (ms) | iters | structured (ms) | iters | ratio | status | optimum diff |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---:|---|---:|\n");
    for (std::uint64_t n : sizes) {
        for (const Scenario& sc : scenarios(n)) {
            const vexal::Problem problem = vexal::assemble(sc.config, sc.tof, sc.options);
            const vexal::Scaling scaling = vexal::program_scaling(sc.config, sc.tof, problem, sc.options);
            const vexal::Problem program = vexal::scaled(problem, scaling);
            const double tolerance = sc.options.landing == vexal::Landing::nearest ? 1e-10 : 0.0;
            auto clarabel = vexal::ConicSolver::build(program, vexal::ConicSettings{tolerance, false, true, 50});
            vexal::StructuredSettings settings;
            if (tolerance > 0) {  // the planner's own for the landing error
                settings.tolerance = vexal::kLandingGapTolerance;
                settings.feasibility_tolerance = vexal::kLandingFeasibilityTolerance;
            }
            auto structured =
                vexal::StructuredSolver::build(program, sc.options.layout(n).column_nodes(), settings);
            if (!clarabel || !structured) {
                std::fprintf(stderr, "build failed\n");
                return 1;
            }
            const int runs = n >= 5000 ? 3 : 9;
            std::vector<double> tc, ts;
            vexal::ConicSolution a;
            const vexal::ConicSolution* b = nullptr;
            for (int r = 0; r < runs; ++r) {
                double t0 = cpu_ms();
                clarabel->update(program);
                a = clarabel->solve();
                tc.push_back(cpu_ms() - t0);
                t0 = cpu_ms();
                structured->update(program);
                b = &structured->solve();
                ts.push_back(cpu_ms() - t0);
            }
            double diff = NAN;
            if (a.success && b->success) {
                const double fa = objective(program, a.x), fb = objective(program, b->x);
                diff = std::abs(fa - fb) / std::max(1.0, std::abs(fa));
            }
            std::printf("| %llu | %s | %.2f | %u | %.2f | %u | %.2f | %s/%s | %.1e |\n",
                        static_cast<unsigned long long>(n), sc.name, median(tc), a.iterations, median(ts),
                        b->iterations, median(ts) / median(tc), a.status.c_str(), b->status.c_str(), diff);
            std::fflush(stdout);
        }
    }

    std::printf("\n| n | plan, Clarabel (ms) | plan, structured (ms) | through a workspace (ms) | solves | final mass diff |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|\n");
    for (std::uint64_t n : sizes) {
        if (n > 1000) continue;
        vexal::Config config;
        config.solver.n = n;
        vexal::PlanOptions clarabel, structured;
        clarabel.solver = vexal::SolverChoice::clarabel;
        structured.solver = vexal::SolverChoice::structured;
        clarabel.threads = structured.threads = 1;
        auto workspace = vexal::PlanWorkspace::build(n);
        if (!workspace) return 1;
        std::vector<double> tc, ts, tw;
        double mc = 0, ms = 0;
        unsigned solves = 0;
        for (int r = 0; r < 9; ++r) {
            double t0 = cpu_ms();
            auto a = vexal::plan(config, clarabel);
            tc.push_back(cpu_ms() - t0);
            t0 = cpu_ms();
            auto b = vexal::plan(config, structured);
            ts.push_back(cpu_ms() - t0);
            t0 = cpu_ms();
            auto c = vexal::plan(config, structured, {}, *workspace);
            tw.push_back(cpu_ms() - t0);
            if (!a || !b || !c) return 1;
            mc = a->trajectory.final_mass;
            ms = (*c)->trajectory.final_mass;
            solves = b->solves;
        }
        std::printf("| %llu | %.1f | %.1f | %.1f | %u | %.1e |\n", static_cast<unsigned long long>(n), median(tc),
                    median(ts), median(tw), solves, std::abs(mc - ms) / mc);
    }
}

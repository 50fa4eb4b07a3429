// Timings of the core: assembly, the bare solver call on an assembled
// program, the fixed-horizon solve (assembly + solver + extraction) and the
// full time-of-flight search, for the default lander at several node counts.
//
//   build/bench/bench_core --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/planner.hpp"
#include "vexal/fixed_horizon.hpp"
#include "vexal/vexal.hpp"

namespace {

vexal::Config lander(std::int64_t n, double tof = 50.0) {
    vexal::Config c;
    c.solver.n = static_cast<std::uint64_t>(n);
    c.solver.time_of_flight = tof;
    return c;
}

void Assemble(benchmark::State& state) {
    const auto config = lander(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(vexal::assemble(config, 50.0));
}

void SolverCall(benchmark::State& state) {
    const auto problem = vexal::assemble(lander(state.range(0)), 50.0);
    for (auto _ : state) benchmark::DoNotOptimize(vexal::solve_conic(problem));
}

void SolveFixed(benchmark::State& state) {
    const auto config = lander(state.range(0));
    for (auto _ : state) {
        auto t = vexal::solve_fixed(config, 50.0);
        if (!t) state.SkipWithError(t.error().message.c_str());
        benchmark::DoNotOptimize(t);
    }
    state.SetComplexityN(state.range(0));
}

void Search(benchmark::State& state) {
    vexal::Config config = lander(state.range(0));
    config.solver.time_of_flight.reset();
    for (auto _ : state) benchmark::DoNotOptimize(vexal::solve(config));
}

}  // namespace

// The front door's plan of the default descent: the fast search on the
// structured solver, one thread, through a built workspace.
void FastPlan(benchmark::State& state) {
    vexal::Config config;
    config.solver.n = static_cast<std::uint64_t>(state.range(0));
    vexal::PlanOptions options;
    options.threads = 1;
    auto workspace = vexal::PlanWorkspace::build(config.solver.n);
    if (!workspace) return state.SkipWithError(workspace.error().message.c_str());
    unsigned solves = 0;
    for (auto _ : state) {
        auto plan = vexal::plan(config, options, {}, *workspace);
        if (!plan) return state.SkipWithError(plan.error().message.c_str());
        solves = (*plan)->solves;
    }
    state.counters["solves"] = solves;
}

BENCHMARK(Assemble)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(SolverCall)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(SolveFixed)->RangeMultiplier(2)->Range(100, 1600)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(FastPlan)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(Search)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();

// The address space one plan takes, per node: the peak virtual size of
// this process during the plan, less its size before, over n. It is what
// an address-space limit (RLIMIT_AS) must leave for the plan, and what the
// ledger's per-node estimate (kBytesPerNode) must cover.
//
//   memory_need MODE N...
//
// MODE: planner (a planner created for N nodes, no plan), planner-structured, planner-clarabel, planner-golden (the C API: a
// planner created for N nodes, then one plan on it with that solver or
// search), plan-structured, plan-clarabel, plan-golden (vexal::plan without
// a workspace),
// clarabel (one Clarabel solve of the program alone: its bytes against
// vexal::conic_bytes, the estimate the solver's construction is refused by).
// Every plan has a 50 s horizon, except planner-golden and plan-golden,
// which search. One line per N: n, bytes per node, and the ratio to the
// estimate. Run each N in a fresh process (the peak is the process's).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/memory.hpp"
#include "vexal/vexal.h"
#include "vexal/vexal.hpp"

namespace {

// A field of /proc/self/status in bytes ("VmSize:", "VmPeak:").
long long status_bytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field)) * 1024;
    }
    return -1;
}

bool plan_once(const std::string& mode, std::uint64_t n) {
    if (mode == "clarabel") {
        vexal::Config config;
        config.solver.n = n;
        const vexal::Problem problem = vexal::assemble(config, 50.0, vexal::ProgramOptions{true});
        const long long before = status_bytes("VmSize:");
        const auto solved = vexal::solve_conic(problem, nullptr, 0.0);
        const double used = static_cast<double>(status_bytes("VmPeak:") - before);
        std::printf("clarabel n=%llu: %.0f bytes, %.2f of the estimate %llu\n", static_cast<unsigned long long>(n),
                    used, used / static_cast<double>(vexal::conic_bytes(problem)),
                    static_cast<unsigned long long>(vexal::conic_bytes(problem)));
        return solved.has_value();
    }
    const bool golden = mode.ends_with("golden");
    if (mode.starts_with("planner")) {
        vexal_error error{};
        vexal_planner* planner = vexal_planner_create(n, &error);
        if (!planner) return std::fprintf(stderr, "create: %s\n", error.message), false;
        if (mode == "planner") return vexal_planner_destroy(planner), true;
        vexal_config config;
        vexal_config_default(&config);
        config.solver.n = n;
        config.solver.has_time_of_flight = !golden;
        config.solver.time_of_flight = 50.0;
        vexal_plan_options options;
        vexal_plan_options_default(&options);
        options.threads = 1;
        if (mode == "planner-clarabel") options.solver = VEXAL_SOLVER_CLARABEL;
        if (golden) options.search = VEXAL_SEARCH_GOLDEN;
        const int code = vexal_plan(planner, &config, &options, nullptr, &error);
        vexal_planner_destroy(planner);
        if (code != VEXAL_OK) return std::fprintf(stderr, "plan: %s\n", error.message), false;
        return true;
    }
    vexal::Config config;
    config.solver.n = n;
    if (!golden) config.solver.time_of_flight = 50.0;
    vexal::PlanOptions options;
    options.threads = 1;
    options.solver = mode == "plan-structured" ? vexal::SolverChoice::structured : vexal::SolverChoice::clarabel;
    if (golden) options.search = vexal::SearchMode::golden;
    const auto planned = vexal::plan(config, options);
    if (!planned) return std::fprintf(stderr, "plan: %s\n", planned.error().message.c_str()), false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: memory_need MODE N...\n");
        return 2;
    }
    const std::string mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const auto n = std::strtoull(argv[i], nullptr, 10);
        const long long before = status_bytes("VmSize:");
        if (!plan_once(mode, n)) return 1;
        if (mode == "clarabel") continue;
        const double per_node = static_cast<double>(status_bytes("VmPeak:") - before) / static_cast<double>(n);
        std::printf("%s n=%llu: %.0f bytes per node, %.2f of the estimate\n", mode.c_str(),
                    static_cast<unsigned long long>(n), per_node, per_node / static_cast<double>(vexal::kBytesPerNode));
    }
    return 0;
}

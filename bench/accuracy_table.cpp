// The same program solved two ways in one run, side by side: as assembled
// (raw units) and as the planner hands it to the solver (scaled), for the
// default lander at 50 s and the 10-degree glide-slope case at 60 s. Writes
// CSV; bench/accuracy_report.py adds the independent optimum, the table and
// the figure.
//
//   build/bench/accuracy_table [repeats] > /tmp/accuracy.csv
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "vexal/accuracy.hpp"
#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/fixed_horizon.hpp"

namespace {

struct Outcome {
    std::string status;
    std::uint32_t iterations = 0;
    double final_mass = NAN;
    double seconds = NAN;  // median of the repeats
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Outcome timed(int repeats, const std::function<Outcome()>& once) {
    std::vector<double> times;
    Outcome out;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        out = once();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    out.seconds = median(times);
    return out;
}

Outcome raw(const vexal::Config& config) {
    const auto problem = vexal::assemble(config, *config.solver.time_of_flight);
    const auto solution = vexal::solve_conic(problem);
    if (!solution) return {solution.error().message};
    Outcome out{solution->status, solution->iterations};
    if (solution->success) out.final_mass = std::exp(solution->x.back());
    return out;
}

Outcome planned(const vexal::Config& config) {
    const auto t = vexal::solve_fixed(config, *config.solver.time_of_flight);
    if (!t) return {t.error().message};
    return {t->status, t->iterations, t->final_mass};
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
    struct Scenario {
        const char* name;
        double tof, glide_slope;
    };
    const Scenario scenarios[] = {{"default 50 s", 50.0, 0.0}, {"glide slope 10 deg 60 s", 60.0, 10.0}};
    std::printf("scenario,n,time_of_flight,raw_status,raw_iterations,raw_seconds,raw_final_mass,"
                "scaled_status,scaled_iterations,scaled_seconds,scaled_final_mass\n");
    for (const auto& s : scenarios) {
        for (std::uint64_t n : {50, 100, 200, 400, 1000, 2000, 5000}) {
            vexal::Config c;
            c.solver.n = n;
            c.solver.time_of_flight = s.tof;
            c.environment.glide_slope_angle_deg = s.glide_slope;
            const Outcome a = timed(repeats, [&] { return raw(c); });
            const Outcome b = timed(repeats, [&] { return planned(c); });
            std::printf("%s,%llu,%g,%s,%u,%.6f,%.9f,%s,%u,%.6f,%.9f\n", s.name, static_cast<unsigned long long>(n),
                        s.tof, a.status.c_str(), a.iterations, a.seconds, a.final_mass, b.status.c_str(),
                        b.iterations, b.seconds, b.final_mass);
            std::fflush(stdout);
        }
    }
    return 0;
}

// Closed-loop flights per second of CPU time: the default descent with 1 %
// thrust noise and navigation noise (1 m, 0.1 m/s), re-planned every 2 s,
// filter, tracking and terminal descent on; seeded flights 1..F per round,
// the median round. Beside it what a flight does: plans and quick solves
// per flight, the share of re-plans that land in the time left (their
// touchdown is the one the plan in force had), and the touchdowns.
//
//   build/bench/flights [--n 50 100] [--flights 10] [--rounds 5] [--solver structured|clarabel]
//                       [--margin 0.05]   (the thrust reserve; Python's flights keep 5 %)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vexal/guidance.hpp"

#include "bench_common.hpp"

namespace {

struct Round {
    double flights_per_second = 0.0;
    double plans = 0.0;          // per flight
    double at_time_left = 0.0;   // share of the re-plans
    double landed = 0.0;         // share of the flights
    std::vector<double> vertical, miss;
    unsigned sources[5] = {};  // re-plans by PlanSource
};

Round fly(std::uint64_t n, int flights, vexal::SolverChoice solver, double margin) {
    vexal::Config config;
    config.solver.n = n;
    vexal::GuidanceOptions options;
    options.solver = solver;
    options.thrust_margin = margin;
    Round round;
    unsigned replans = 0, kept_time = 0, plans = 0, landed = 0;
    const double start = bench::cpu_ms();
    for (int i = 1; i <= flights; ++i) {
        vexal::FlightErrors errors;
        errors.thrust_noise = 0.01;
        errors.position_noise = 1.0;
        errors.velocity_noise = 0.1;
        errors.seed = static_cast<std::uint64_t>(i);
        const vexal::Flight flight = vexal::simulate(config, options, errors);
        plans += static_cast<unsigned>(flight.plans.size());
        for (std::size_t k = 1; k < flight.plans.size(); ++k) {
            ++replans;
            ++round.sources[static_cast<int>(flight.plans[k].source)];
            const double before = flight.plans[k - 1].touchdown_time, after = flight.plans[k].touchdown_time;
            if (flight.plans[k].source == vexal::PlanSource::replanned &&
                std::abs(after - before) <= 1e-6 * std::max(1.0, before)) ++kept_time;
        }
        if (flight.outcome == vexal::FlightOutcome::landed) ++landed;
        if (flight.touchdown) {
            round.vertical.push_back(flight.touchdown->vertical_speed);
            round.miss.push_back(flight.touchdown->miss);
        }
    }
    const double seconds = 1e-3 * (bench::cpu_ms() - start);
    round.flights_per_second = flights / seconds;
    round.plans = static_cast<double>(plans) / flights;
    round.at_time_left = replans ? static_cast<double>(kept_time) / replans : 0.0;
    round.landed = static_cast<double>(landed) / flights;
    return round;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::uint64_t> sizes;
    int flights = 10, rounds = 5;
    double margin = 0.0;
    vexal::SolverChoice solver = vexal::GuidanceOptions{}.solver;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--n") {
            while (i + 1 < argc && argv[i + 1][0] != '-') sizes.push_back(std::strtoull(argv[++i], nullptr, 10));
        } else if (a == "--flights" && i + 1 < argc) {
            flights = std::atoi(argv[++i]);
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--margin" && i + 1 < argc) {
            margin = std::atof(argv[++i]);
        } else if (a == "--solver" && i + 1 < argc) {
            solver = std::strcmp(argv[++i], "clarabel") == 0 ? vexal::SolverChoice::clarabel
                                                              : vexal::SolverChoice::structured;
        } else {
            std::fprintf(stderr, "usage: %s [--n N...] [--flights F] [--rounds R] [--solver structured|clarabel] [--margin M]\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) sizes = {50, 100};
    std::printf("| n | flights/s (median of %d) | plans per flight | re-plans at the time left | landed | "
                "vertical speed p50 / p99 (m/s) | miss p50 / p99 (m) |\n|---:|---:|---:|---:|---:|---|---|\n",
                rounds);
    for (std::uint64_t n : sizes) {
        std::vector<double> rates;
        Round last;
        for (int r = 0; r < rounds; ++r) {
            last = fly(n, flights, solver, margin);
            rates.push_back(last.flights_per_second);
        }
        std::printf("| %llu | %.2f | %.1f | %.0f %% | %.0f %% | %.3f / %.3f | %.3f / %.3f |\n",
                    static_cast<unsigned long long>(n), bench::median(rates), last.plans, 100.0 * last.at_time_left,
                    100.0 * last.landed, percentile(last.vertical, 0.5), percentile(last.vertical, 0.99),
                    percentile(last.miss, 0.5), percentile(last.miss, 0.99));
        std::fprintf(stderr, "n = %llu re-plans: replanned %u, reserve %u, nearest %u, kept %u\n",
                     static_cast<unsigned long long>(n), last.sources[1], last.sources[2], last.sources[3],
                     last.sources[4]);
    }
}

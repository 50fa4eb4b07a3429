// Plans the default descent, searching the time of flight, and prints a short
// summary. The same job from Python: examples/plan_descent.py.
#include <cstdio>

#include "vexal/planner.hpp"

int main() {
    const vexal::Config config;  // the default lander, no time of flight: search
    const auto result = vexal::solve(config);
    if (!result) {
        std::fprintf(stderr, "planning failed: %s\n", result.error().message.c_str());
        return 1;
    }
    const double wet = config.spacecraft.wet_mass;
    std::printf("status          %s\n", result->status.c_str());
    std::printf("time of flight  %.3f s\n", result->time_of_flight);
    std::printf("final mass      %.3f kg\n", result->final_mass);
    std::printf("fuel used       %.3f kg\n", wet - result->final_mass);
    return 0;
}

// Plans the default descent through vexal's front door and prints its final mass.
#include <cstdio>

#include "vexal/vexal.hpp"

int main() {
    const auto plan = vexal::plan(vexal::Config{});
    if (!plan) {
        std::fprintf(stderr, "%s\n", plan.error().message.c_str());
        return 1;
    }
    std::printf("final mass %.3f kg\n", plan->trajectory.final_mass);
    return 0;
}

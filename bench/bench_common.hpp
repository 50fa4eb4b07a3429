#pragma once
// What the C++ benches share: process CPU time, medians, and the bench's
// vehicles.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "vexal/config.hpp"

namespace bench {

inline double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The default lander at n nodes, the same with a 10-degree glide slope, and
// a lunar vehicle.
struct Vehicles {
    vexal::Config plain, slope, lunar;
};

inline Vehicles vehicles(std::uint64_t n) {
    Vehicles v;
    v.plain.solver.n = n;
    v.slope = v.plain;
    v.slope.environment.glide_slope_angle_deg = 10.0;
    v.lunar = v.plain;
    v.lunar.spacecraft.wet_mass = 12000.0;
    v.lunar.spacecraft.fuel = 5000.0;
    v.lunar.spacecraft.real_max_thrust = 60000.0;
    v.lunar.environment.gravity = {0.0, 0.0, -1.62};
    return v;
}

}  // namespace bench

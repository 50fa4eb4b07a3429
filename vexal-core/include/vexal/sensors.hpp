#pragma once
// What the vehicle's instruments report of its true state. An
// accelerometer, read every integration step, measures the specific force
// (the engine's thrust per mass: gravity and the planet's turning are felt
// by no accelerometer); the fixes come at their own rates: an altimeter
// (height), a velocimeter (velocity) and terrain-relative position fixes.
// Each has a noise, a bias, a working range and an optional window in which
// it gives nothing. Every instrument draws from its own stream of the
// seed, so that the readings do not depend on how guidance steps the flight.
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "vexal/plant.hpp"

namespace vexal {

// Flight time (s) in which an instrument gives nothing: [from, to).
struct Dropout {
    double from = 0.0;
    double to = 0.0;
    bool covers(double t) const { return t >= from && t < to; }
};

struct Accelerometer {
    double noise = 0.0;  // m/s per sqrt(s) per axis: the velocity random walk
    double bias = 0.0;   // m/s^2, 1 sigma per axis: drawn at ignition, then constant
};

struct Altimeter {
    bool fitted = true;
    double noise = 0.0;  // 1 sigma, a fraction of the height
    double bias = 0.0;   // m, added to every reading
    double range = 1e5;  // m: nothing above this height
    double rate = 10.0;  // Hz
    Dropout dropout;
};

// The velocimeter's noise is FlightErrors::velocity_noise.
struct Velocimeter {
    bool fitted = true;
    double bias = 0.0;     // m/s, added to each axis
    double ceiling = 1e5;  // m: readings only below this height
    double rate = 10.0;    // Hz
    Dropout dropout;
};

// The position fixes' noise is FlightErrors::position_noise.
struct PositionFixes {
    bool fitted = true;
    double bias = 0.0;   // m, added to each axis
    double floor = 0.0;  // m: no fix below this height (the terrain too close to match)
    double rate = 1.0;   // Hz
    Dropout dropout;
};

struct Sensors {
    Accelerometer accelerometer;
    Altimeter altimeter;
    Velocimeter velocimeter;
    PositionFixes fixes;
};

// The suite's numbers by name, each within the range it is modelled for
// (check_flight), and its instruments' switches and dropout windows.
struct SensorNumber {
    const char* name;
    double& (*field)(Sensors&);
    double low, high;
};
inline constexpr double kUnbounded = std::numeric_limits<double>::max();
inline constexpr SensorNumber kSensorNumbers[] = {
    {"accelerometer_noise", [](Sensors& s) -> double& { return s.accelerometer.noise; }, 0.0, 1.0},
    {"accelerometer_bias", [](Sensors& s) -> double& { return s.accelerometer.bias; }, 0.0, 1.0},
    {"altimeter_noise", [](Sensors& s) -> double& { return s.altimeter.noise; }, 0.0, 1.0},
    {"altimeter_bias", [](Sensors& s) -> double& { return s.altimeter.bias; }, -1e5, 1e5},
    {"altimeter_range", [](Sensors& s) -> double& { return s.altimeter.range; }, 0.0, kUnbounded},
    {"altimeter_rate", [](Sensors& s) -> double& { return s.altimeter.rate; }, 1e-3, 1e3},
    {"velocimeter_bias", [](Sensors& s) -> double& { return s.velocimeter.bias; }, -1e3, 1e3},
    {"velocimeter_ceiling", [](Sensors& s) -> double& { return s.velocimeter.ceiling; }, 0.0, kUnbounded},
    {"velocimeter_rate", [](Sensors& s) -> double& { return s.velocimeter.rate; }, 1e-3, 1e3},
    {"fix_bias", [](Sensors& s) -> double& { return s.fixes.bias; }, -1e5, 1e5},
    {"fix_floor", [](Sensors& s) -> double& { return s.fixes.floor; }, 0.0, kUnbounded},
    {"fix_rate", [](Sensors& s) -> double& { return s.fixes.rate; }, 1e-3, 1e3},
};
struct SensorSwitch {
    const char* name;
    const char* dropout_name;
    bool& (*fitted)(Sensors&);
    Dropout& (*dropout)(Sensors&);
};
inline constexpr SensorSwitch kSensorSwitches[] = {
    {"altimeter", "altimeter_dropout", [](Sensors& s) -> bool& { return s.altimeter.fitted; },
     [](Sensors& s) -> Dropout& { return s.altimeter.dropout; }},
    {"velocimeter", "velocimeter_dropout", [](Sensors& s) -> bool& { return s.velocimeter.fitted; },
     [](Sensors& s) -> Dropout& { return s.velocimeter.dropout; }},
    {"fixes", "fix_dropout", [](Sensors& s) -> bool& { return s.fixes.fitted; },
     [](Sensors& s) -> Dropout& { return s.fixes.dropout; }},
};

// A fix: the height (value[2] only), the velocity or the position, and the
// 1-sigma noise the instrument is specified with (per axis).
struct Reading {
    enum class Kind { height, velocity, position };
    Kind kind = Kind::height;
    Vec3 value{};
    double sigma = 0.0;
};

// The random stream `number` of a flight's seed: each instrument, and the
// world, draws from its own.
std::mt19937_64 seeded_stream(std::uint64_t seed, std::uint32_t number);

class Instruments {
public:
    // position_noise and velocity_noise: the fixes' and the velocimeter's
    // 1 sigma per axis (m, m/s).
    Instruments(const Sensors& sensors, double position_noise, double velocity_noise, std::uint64_t seed);

    // The accelerometer's reading over the step from a to b in `world`:
    // the mean specific force over the step, plus bias and noise.
    Vec3 specific_force(const Planet& world, const PlantState& a, const PlantState& b);

    // The fixes due in (a.t, b.t], taken of the state b.
    void fixes(const PlantState& a, const PlantState& b, std::vector<Reading>& out);

    // A reading of each kind at once, whatever the rates and ranges: the raw
    // state guidance takes when it runs without a filter.
    void raw(const PlantState& s, Vec3& position, Vec3& velocity);

    const Vec3& accelerometer_bias() const { return bias_; }
    const Sensors& sensors() const { return sensors_; }
    double position_noise() const { return position_noise_; }
    double velocity_noise() const { return velocity_noise_; }

private:
    Sensors sensors_;
    double position_noise_, velocity_noise_;
    Vec3 bias_{};
    std::mt19937_64 accelerometer_, altimeter_, velocimeter_, fixes_, raw_;
    std::normal_distribution<double> normal_{0.0, 1.0};
};

}  // namespace vexal

#pragma once
// One fixed-horizon solve through the conic solver, and its result record.
#include <expected>
#include <string>
#include <vector>

#include "vexal/assemble.hpp"
#include "vexal/config.hpp"
#include "vexal/conic.hpp"
#include "vexal/error.hpp"

namespace vexal {

struct Trajectory {
    std::vector<Vec3> positions;
    std::vector<Vec3> velocities;
    std::vector<double> thrusts;             // |u_k| * exp(z_k)
    std::vector<double> normalized_thrusts;  // thrusts / real_max_thrust
    std::vector<double> z_values;
    std::vector<Vec3> u_values;
    std::vector<double> s_values;
    std::vector<double> time_points;
    std::string status;  // "Solved" or "AlmostSolved"
    double objective = 0.0;   // z at the last node
    double final_mass = 0.0;  // exp(objective)
    double time_of_flight = 0.0;
    std::uint32_t iterations = 0;  // the solver's iterations (not shown to Python)
    double landing_error = 0.0;    // horizontal distance of the last node from the target (not shown to _vexal)
};

// The solver's gap and feasibility tolerances when it minimises the landing error.
inline constexpr double kLandingSolverTolerance = 1e-10;

// Plans the descent for the given time of flight (config's own
// time_of_flight is ignored). Errors are values, never thrown: "solver
// status: <name>" (kind infeasible when the solver proves that no point
// satisfies the program, interrupted when the stop request ended the solve,
// solver_status otherwise) or the solver's construction error. The solver works on
// the program with its columns scaled; a point it accepts that still
// violates the unscaled program is an error, not a trajectory.
// Precondition: the node count passed check_node_count.
Result<Trajectory> solve_fixed(const Config& config, double time_of_flight, const StopCheck* stop = nullptr,
                               const ProgramOptions& options = {});

}  // namespace vexal

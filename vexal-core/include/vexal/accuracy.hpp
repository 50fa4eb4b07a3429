#pragma once
// What makes a solver answer trustworthy. The program is handed to the
// solver with its decision variables scaled to order one (x = D x~), which
// the solver needs to reach the optimum at large node counts; and every
// answer it accepts is measured against the unscaled program it came from.
#include <vector>

#include "vexal/assemble.hpp"
#include "vexal/config.hpp"

namespace vexal {

// The worst relative violation a returned point may show and still count as
// a solution (the answers of genuine solves stay below 1e-8).
inline constexpr double kViolationTolerance = 1e-6;

// How the program is scaled for the solver: x = D x~ with one scale per
// column, and one positive scale per row, equal over each cone's rows so
// that every cone keeps its meaning. Every scale is a power of two, so the
// scaled program is exactly equivalent to the original.
struct Scaling {
    std::vector<double> columns;  // D: a length for positions (and the
                                  // landing error), a speed for
                                  // velocities, an acceleration for thrust and
                                  // slack, 1 for the log-mass
    std::vector<double> rows;     // 1, except for cones of constant radius
                                  // (the speed limit), brought to radius ~1
};

// The scaling of `problem`, the program of config at time_of_flight. A
// characteristic quantity that is zero, negative or not finite gives 1.
Scaling program_scaling(const Config& config, double time_of_flight, const Problem& problem,
                        const ProgramOptions& options = {});
// The same, into the arrays `scaling` has.
void program_scaling_into(Scaling& scaling, const Config& config, double time_of_flight, const Problem& problem,
                          const ProgramOptions& options = {});

// The program the solver is handed: A~ = R A D, b~ = R b, q~ = D q.
Problem scaled(const Problem& problem, const Scaling& scaling);
// The same, into the arrays `out` has.
void scaled_into(Problem& out, const Problem& problem, const Scaling& scaling);

// The largest violation by x of any constraint of the program: an equality
// residual, a negative nonnegative slack, or a second-order slack outside its
// cone, each relative to the size of its row's terms (at least 1). Not a
// number when x or the program holds one.
double program_violation(const Problem& problem, const std::vector<double>& x);
// The same, with its work arrays in `scratch` (2m values).
double program_violation(const Problem& problem, const std::vector<double>& x, std::vector<double>& scratch);

}  // namespace vexal

#pragma once
// The second-order-cone program of one fixed time of flight, in the solver's
// standard form: minimise q'x subject to A x + s = b, s in the listed cones.
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "vexal/config.hpp"
#include "vexal/error.hpp"

namespace vexal {

// Where each quantity of node k (component j) sits in the decision vector.
// The builders and the reader of the solution share these formulas.
struct Layout {
    std::uint64_t n;
    std::uint64_t extra = 0;  // 1 when the landing error is a variable

    std::uint64_t position(std::uint64_t k, std::uint64_t j) const { return 6 * k + j; }
    std::uint64_t velocity(std::uint64_t k, std::uint64_t j) const { return 6 * k + 3 + j; }
    std::uint64_t thrust(std::uint64_t k, std::uint64_t j) const { return 6 * n + 3 * k + j; }
    std::uint64_t slack(std::uint64_t k) const { return 9 * n + k; }
    std::uint64_t log_mass(std::uint64_t k) const { return 10 * n + k; }
    std::uint64_t landing_error() const { return 11 * n; }
    std::uint64_t columns() const { return 11 * n + extra; }

    // The node of each column (the landing error counts as the last node's).
    std::vector<std::uint32_t> column_nodes() const {
        std::vector<std::uint32_t> nodes(columns(), static_cast<std::uint32_t>(n - 1));
        for (std::uint64_t k = 0; k < n; ++k) {
            for (std::uint64_t j = 0; j < 3; ++j) {
                nodes[position(k, j)] = nodes[velocity(k, j)] = nodes[thrust(k, j)] = static_cast<std::uint32_t>(k);
            }
            nodes[slack(k)] = nodes[log_mass(k)] = static_cast<std::uint32_t>(k);
        }
        return nodes;
    }
};

// Where the descent must end horizontally (height and velocity are always
// the target's).
enum class Landing {
    target,   // at the target: the literal program
    nearest,  // as near the target as can be: minimise that distance
    within,   // least fuel, within landing_radius of the target
    anywhere, // least fuel, the landing point free (where a descent can land at all)
};

// Options of the program; the defaults build the literal one.
struct ProgramOptions {
    // Every node's thrust within max_angle_deg of the height axis:
    // u_k[2] >= cos(max_angle) sigma_k.
    bool pointing = false;
    // Off the target the glide-slope cone is taken about the landing point.
    Landing landing = Landing::target;
    double landing_radius = 0.0;
    // The planet's angular velocity, rad/s, in the configuration's frame (x,
    // y horizontal, z up at the target): the dynamics gain the Coriolis and
    // centrifugal accelerations. Zero is a still planet, the literal program.
    Vec3 rotation{};
    // The final mass bounded below by the dry mass. Without it the fuel
    // closes no horizon, which shows where the horizons that land lie.
    bool dry_mass_floor = true;

    // Any component nonzero: the dynamics rows are dense 6 x 6 and 6 x 3
    // blocks at every time step, whatever their values.
    bool rotating() const { return rotation[0] != 0.0 || rotation[1] != 0.0 || rotation[2] != 0.0; }

    Layout layout(std::uint64_t n) const { return Layout{n, landing == Landing::nearest ? 1u : 0u}; }
};

// One constraint row: s = rhs - sum(coefficient * x[column]).
struct Row {
    std::vector<std::pair<std::uint64_t, double>> coeffs;
    double rhs = 0.0;
};

// The rows of one second-order cone, head row first.
struct SocBlock {
    std::vector<Row> rows;
    std::uint64_t dim = 0;
};

// Compressed sparse column, shaped like the solver's own matrix type.
struct CscMatrix {
    std::uint64_t m = 0;
    std::uint64_t n = 0;
    std::vector<std::uint64_t> colptr;
    std::vector<std::uint64_t> rowval;
    std::vector<double> nzval;
};

enum class ConeKind : std::uint32_t { Zero, Nonnegative, SecondOrder };

struct Cone {
    ConeKind kind;
    std::uint64_t dim;
    friend bool operator==(const Cone&, const Cone&) = default;
};

struct Problem {
    CscMatrix p;  // 11n x 11n, no stored entries: the cost is linear
    std::vector<double> q;
    CscMatrix a;
    std::vector<double> b;
    std::vector<Cone> cones;
};

// Per-node reference log-mass z0 and the thrust-bound scales c1 and c2.
struct ReferenceProfile {
    std::vector<double> z0;
    std::vector<double> c1;
    std::vector<double> c2;
};

// The reference profile for time step dt (the horizon over n).
ReferenceProfile reference_profile(const Config& config, double dt);

// Initial state and log-mass, dynamics, terminal state: 7n + 6 rows, for
// time step dt (7n + 4 off the target: the horizontal landing point is
// free). Only options.landing and options.rotation are read.
// Precondition: n >= 1.
std::vector<Row> equality_rows(const Config& config, double dt, const ProgramOptions& options = {});

// The whole program for the given time of flight; config's own
// time_of_flight, tof_min and tof_max are not read. Precondition: the node
// count passed check_node_count (vexal/memory.hpp; a zero one throws
// InternalError).
Problem assemble(const Config& config, double time_of_flight, const ProgramOptions& options = {});

// The same program written into `problem`, reusing its arrays: once they
// have held a program of the same pattern, nothing is allocated.
void assemble_into(Problem& problem, const Config& config, double time_of_flight,
                   const ProgramOptions& options = {});

}  // namespace vexal

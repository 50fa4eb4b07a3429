#pragma once
// The second-order-cone program of one fixed time of flight, in the solver's
// standard form: minimise q'x subject to A x + s = b, s in the listed cones.
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "vexal/config.hpp"

namespace vexal {

// Where each quantity of node k (component j) sits in the decision vector.
// The builders and the reader of the solution share these formulas.
struct Layout {
    std::uint64_t n;

    std::uint64_t position(std::uint64_t k, std::uint64_t j) const { return 6 * k + j; }
    std::uint64_t velocity(std::uint64_t k, std::uint64_t j) const { return 6 * k + 3 + j; }
    std::uint64_t thrust(std::uint64_t k, std::uint64_t j) const { return 6 * n + 3 * k + j; }
    std::uint64_t slack(std::uint64_t k) const { return 9 * n + k; }
    std::uint64_t log_mass(std::uint64_t k) const { return 10 * n + k; }
    std::uint64_t columns() const { return 11 * n; }
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

// Refuses a node count for which no program can be built: zero, or so large
// that the program's sizes overflow or cannot fit in this machine's memory.
std::expected<void, std::string> check_node_count(std::uint64_t n);

// The reference profile for time step dt (the horizon over n).
ReferenceProfile reference_profile(const Config& config, double dt);

// Initial state and log-mass, dynamics, terminal state: 7n + 6 rows, for
// time step dt. Precondition: n >= 1.
std::vector<Row> equality_rows(const Config& config, double dt);

// The whole program for the given time of flight; config's own
// time_of_flight, tof_min and tof_max are not read.
std::expected<Problem, std::string> assemble(const Config& config, double time_of_flight);

}  // namespace vexal

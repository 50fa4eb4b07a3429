#pragma once
// Failures of the core. Ordinary ones are values, a Result<T> holding an
// Error: its kind for code to branch on, its message for people (the text
// the Python modules raise). Only a broken internal contract is thrown, as
// InternalError, and only the Python boundary catches it.
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace vexal {

enum class ErrorKind {
    invalid_input,        // a value no program can be built or planned for
    infeasible,           // no feasible time of flight in the searched bracket, or none at a fixed one
    solver_status,        // the solver ended without an acceptable point
    solver_construction,  // the solver refused the program
    json,                 // JSON text that is not a configuration
    interrupted,          // the caller's stop request ended the work
};

// The kind's name as spelled above: "invalid_input", "infeasible", ...
const char* kind_name(ErrorKind kind) noexcept;

struct Error {
    ErrorKind kind;
    std::string message;
    // A solver's verdict whose message is not written yet (written() writes
    // it): the searches probe failing horizons routinely, and a message
    // each would allocate. `status` is the status name (static text);
    // with `violates`, `violation` is how far the point it accepted
    // violates the program.
    const char* status = nullptr;
    bool violates = false;
    double violation = 0.0;
};

// The error with its message written: "solver status: <status>", and
// ", but its point violates the program by <violation> (relative)".
Error written(Error error);

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vexal

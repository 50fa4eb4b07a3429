#include "vexal/error.hpp"

#include <cstdio>

namespace vexal {

const char* kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::invalid_input: return "invalid_input";
        case ErrorKind::infeasible: return "infeasible";
        case ErrorKind::solver_status: return "solver_status";
        case ErrorKind::solver_construction: return "solver_construction";
        case ErrorKind::json: return "json";
        case ErrorKind::interrupted: return "interrupted";
    }
    return "unknown";
}

Error written(Error error) {
    if (!error.status) return error;
    error.message = "solver status: ";
    error.message += error.status;
    if (error.violates) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1e", error.violation);
        error.message += ", but its point violates the program by ";
        error.message += text;
        error.message += " (relative)";
    }
    error.status = nullptr;
    return error;
}

}  // namespace vexal

#include "vexal/error.hpp"

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

}  // namespace vexal

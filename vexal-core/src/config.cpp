#include "vexal/config.hpp"

#include "vexal/error.hpp"

namespace vexal {

double Solver::dt() const {
    if (!time_of_flight) throw InternalError("time_of_flight must be set before dt()");
    return *time_of_flight / static_cast<double>(n);
}

}  // namespace vexal

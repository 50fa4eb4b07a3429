#pragma once
// The one exception type of the core: a broken internal contract. Ordinary
// failures are values (std::expected); only this one is thrown, and only the
// Python boundary catches it.
#include <stdexcept>
#include <string>

namespace vexal {

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vexal

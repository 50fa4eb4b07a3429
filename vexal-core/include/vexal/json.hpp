#pragma once
// The JSON text form of a Config: a fixed pretty layout on output, and a
// reader with exact messages ("<description> at line L column C").
#include <expected>
#include <string>
#include <string_view>

#include "vexal/config.hpp"
#include "vexal/error.hpp"

namespace vexal {

// The whole document; cannot fail.
std::string to_json(const Config& config);

// A new Config, or the error (kind json). Nothing is partially applied.
Result<Config> from_json(std::string_view text);

// The writer's float format ("2000.0", "1e+16", "-0.0", "null" for NaN/inf),
// appended to out. Also used for found-values in error messages.
void append_float(std::string& out, double value);

}  // namespace vexal

#pragma once
// The C interface's conversions between its plain structs and the core's
// records, and its error reporting; private to the core and its tests.
#include <string_view>

#include "vexal/config.hpp"
#include "vexal/error.hpp"
#include "vexal/vexal.h"
#include "vexal/vexal.hpp"

namespace vexal::c_api {

Config to_core(const vexal_config& config);
vexal_config from_core(const Config& config);
// Refuses only what the C struct can hold and the record cannot (a search
// mode outside the enum); the values themselves are vexal::plan's to check.
Result<PlanOptions> to_core(const vexal_plan_options& options);

int code_of(ErrorKind kind) noexcept;

// Fills *error (if any) with the code and as much of the message as fits,
// never splitting a UTF-8 sequence; returns the code.
int report(vexal_error* error, int code, std::string_view message) noexcept;

}  // namespace vexal::c_api

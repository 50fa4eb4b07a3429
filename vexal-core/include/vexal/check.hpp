#pragma once
// Inputs a user can get wrong, checked before any solve, with a message that
// names the field and its value. The solve itself accepts anything; these
// checks belong to the planning front door.
#include <expected>
#include <string>

#include "vexal/config.hpp"
#include "vexal/error.hpp"

namespace vexal {

// The configuration ready to plan: every value checked, and a lone tof_min or
// tof_max completed by the automatic other end of the bracket. For a nearest
// landing the start may lie outside the glide-slope cone about the target.
// A value refused is an error of kind invalid_input.
Result<Config> checked_for_planning(Config config, bool nearest_landing = false);

// The planet's angular velocity (ProgramOptions::rotation): finite, or an
// error of kind invalid_input that calls it `name`.
Result<void> check_rotation(const Vec3& rotation, const char* name = "rotation");

// Whether the pointing limit asked for is in force: it needs an angle of at
// least 0 (else invalid_input), and one of 180 degrees or more adds nothing.
Result<bool> pointing_in_force(const Config& config, bool pointing);

// The fast search's relative tolerance must lie in (0, 1) (else invalid_input).
Result<void> check_tolerance(double tolerance);

// The nearest landing's tolerance on the landing error: finite metres, at
// least 0 (else invalid_input).
Result<void> check_landing_tolerance(double landing_tolerance);

}  // namespace vexal

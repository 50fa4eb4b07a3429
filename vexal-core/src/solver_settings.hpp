#pragma once
// The settings every solve passes to the solver: the library's own defaults,
// with output switched off. Private to the core and its tests.
#include "vexal/clarabel.h"

namespace vexal {

vexal_clarabel_settings solver_settings();

}  // namespace vexal

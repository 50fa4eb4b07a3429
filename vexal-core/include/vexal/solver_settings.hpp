#pragma once
// The settings every solve passes to the solver: the library's defaults, each
// written out, with output switched off. Only code that links the solver
// binding includes this.
#include "vexal/clarabel.h"

namespace vexal {

vexal_clarabel_settings solver_settings();

}  // namespace vexal

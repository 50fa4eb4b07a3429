/* Compiled as strict C99 beside the C++ tests: vexal.h must be valid C,
 * and its structs must have the same layout in C as the C++ side sees. */
#include <stddef.h>

#include "vexal/vexal.h"

#include "c_api_smoke.h"

int c_api_smoke(vexal_config* defaults, uint64_t sizes[3]) {
    vexal_error error;
    vexal_planner* planner;
    vexal_config_default(defaults);
    sizes[0] = sizeof(vexal_config);
    sizes[1] = sizeof(vexal_plan_options);
    sizes[2] = sizeof(vexal_plan_summary);
    planner = vexal_planner_create(0, &error);
    vexal_planner_destroy(planner);
    return planner == NULL ? error.code : VEXAL_OK;
}

#ifndef VEXAL_TESTS_C_API_SMOKE_H
#define VEXAL_TESTS_C_API_SMOKE_H
#include "vexal/vexal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* From C: the default config, the sizes of the config, options and summary
 * structs, and the code of a planner refused for n = 0. */
int c_api_smoke(vexal_config* defaults, uint64_t sizes[3]);

#ifdef __cplusplus
}
#endif
#endif

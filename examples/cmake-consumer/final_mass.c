/* The same through the C interface: plans the default descent and prints its final mass. */
#include <stdio.h>

#include "vexal/vexal.h"

int main(void) {
    vexal_config config;
    vexal_plan_summary summary;
    vexal_error error;
    vexal_planner* planner;
    int code;
    vexal_config_default(&config);
    planner = vexal_planner_create(config.solver.n, &error);
    if (!planner) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    code = vexal_plan(planner, &config, NULL, &summary, &error);
    vexal_planner_destroy(planner);
    if (code != VEXAL_OK) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    printf("final mass %.3f kg\n", summary.final_mass);
    return 0;
}

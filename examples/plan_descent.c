/*
 * Plans a descent through the C interface (vexal/vexal.h) and prints a
 * short summary: the default descent, or the one a JSON configuration file
 * describes (e.g. examples/glide_slope.json). The same job in C++:
 * examples/plan_descent.cpp.
 */
#include <stdio.h>
#include <stdlib.h>

#include "vexal/vexal.h"

/* The whole file as a NUL-terminated string, or NULL. */
static char* read_file(const char* path) {
    FILE* file = fopen(path, "rb");
    char* text = NULL;
    long size;
    if (!file) return NULL;
    if (fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) >= 0 && fseek(file, 0, SEEK_SET) == 0 &&
        (text = malloc((size_t)size + 1)) != NULL) {
        if (fread(text, 1, (size_t)size, file) == (size_t)size) {
            text[size] = '\0';
        } else {
            free(text);
            text = NULL;
        }
    }
    fclose(file);
    return text;
}

int main(int argc, char** argv) {
    vexal_config config;
    vexal_plan_summary summary;
    vexal_error error;
    vexal_planner* planner;
    double* position;
    uint64_t last;

    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fputs("usage: plan_descent_c [CONFIG.json]\n", stderr);
        return 2;
    }
    vexal_config_default(&config); /* the default lander, no time of flight: search */
    if (argc == 2) {
        char* text = read_file(argv[1]);
        int code;
        if (!text) {
            fprintf(stderr, "plan_descent_c: cannot read %s\n", argv[1]);
            return 1;
        }
        code = vexal_config_from_json(text, &config, &error);
        free(text);
        if (code != VEXAL_OK) {
            fprintf(stderr, "plan_descent_c: %s: %s\n", argv[1], error.message);
            return 1;
        }
    }

    /* Sized once for the configuration's node count; flight software would
     * do this at start-up and plan on it again and again. */
    planner = vexal_planner_create(config.solver.n, &error);
    if (!planner) {
        fprintf(stderr, "plan_descent_c: %s\n", error.message);
        return 1;
    }
    /* NULL options: the defaults (fast search, pointing limit in force). */
    if (vexal_plan(planner, &config, NULL, &summary, &error) != VEXAL_OK) {
        fprintf(stderr, "plan_descent_c: %s (%s)\n", error.message, vexal_code_name(error.code));
        vexal_planner_destroy(planner);
        return 1;
    }
    /* Only the positions, into an array of our own. */
    position = malloc(3 * summary.n * sizeof *position);
    if (!position ||
        vexal_planner_read(planner, NULL, position, NULL, NULL, NULL, summary.n, &error) != VEXAL_OK) {
        fprintf(stderr, "plan_descent_c: %s\n", position ? error.message : "out of memory");
        free(position);
        vexal_planner_destroy(planner);
        return 1;
    }
    last = 3 * (summary.n - 1);
    printf("status          %s\n", vexal_status_name(summary.status));
    printf("time of flight  %.3f s (touchdown at %.3f s)\n", summary.time_of_flight, summary.touchdown_time);
    printf("final mass      %.3f kg\n", summary.final_mass);
    printf("fuel used       %.3f kg\n", config.spacecraft.wet_mass - summary.final_mass);
    printf("last node       (%.3f, %.3f, %.3f) m\n", position[last], position[last + 1], position[last + 2]);
    printf("landing error   %.3f m\n", summary.landing_error);
    printf("pointing limit  %s\n", summary.pointing_limit ? "in force" : "none");
    printf("solves          %u (%u fallbacks)\n", (unsigned)summary.solves, (unsigned)summary.fallbacks);
    free(position);
    vexal_planner_destroy(planner);
    return 0;
}

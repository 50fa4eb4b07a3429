/*
 * Plans a descent through the C interface (vexal/vexal.h) and prints a
 * short summary: the default descent, or the one a JSON configuration file
 * describes (e.g. examples/glide_slope.json), with the fast search's solver
 * named by --solver. The same job in C++: examples/plan_descent.cpp.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    vexal_plan_options options;
    vexal_plan_summary summary;
    vexal_error error;
    vexal_planner* planner;
    double* position;
    const char* path = NULL;
    uint64_t last;
    int i;

    /* The defaults: fast search, pointing limit in force. */
    vexal_plan_options_default(&options);
    for (i = 1; i < argc; ++i) {
        const char* name = strcmp(argv[i], "--solver") == 0 && i + 1 < argc ? argv[++i] : NULL;
        if (name && strcmp(name, "clarabel") == 0) {
            options.solver = VEXAL_SOLVER_CLARABEL;
        } else if (name && strcmp(name, "structured") == 0) {
            options.solver = VEXAL_SOLVER_STRUCTURED;
        } else if (name || argv[i][0] == '-' || path) {
            fputs("usage: plan_descent_c [--solver clarabel|structured] [CONFIG.json]\n", stderr);
            return 2;
        } else {
            path = argv[i];
        }
    }
    vexal_config_default(&config); /* the default lander, no time of flight: search */
    if (path) {
        char* text = read_file(path);
        int code;
        if (!text) {
            fprintf(stderr, "plan_descent_c: cannot read %s\n", path);
            return 1;
        }
        code = vexal_config_from_json(text, &config, &error);
        free(text);
        if (code != VEXAL_OK) {
            fprintf(stderr, "plan_descent_c: %s: %s\n", path, error.message);
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
    if (vexal_plan(planner, &config, &options, &summary, &error) != VEXAL_OK) {
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

#ifndef VEXAL_VEXAL_H
#define VEXAL_VEXAL_H
/*
 * The plain C interface to the planner, for flight software and for other
 * languages' foreign-function interfaces (C99; fixed-width integers, no
 * C++ types). It is a thin layer over the C++ front door vexal::plan: the
 * same checks, searches and messages.
 *
 * A planner is a workspace sized once for n nodes; it keeps the trajectory
 * of its last plan for vexal_planner_read to copy out. One planner is used
 * by one thread at a time; separate planners may plan at once.
 *
 * Every function that can fail returns a code (VEXAL_OK, 0, on success) and,
 * when given a vexal_error, fills it: the code and the core's message, cut to
 * fit and always NUL-terminated. No C++ exception leaves these functions.
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The codes. The first six follow vexal::ErrorKind; the rest are the C
 * interface's own. */
enum {
    VEXAL_OK = 0,
    VEXAL_ERROR_INVALID_INPUT = 1,       /* a value no descent can be planned for */
    VEXAL_ERROR_INFEASIBLE = 2,          /* no trajectory for the horizon or the bracket */
    VEXAL_ERROR_SOLVER_STATUS = 3,       /* the solver ended without an acceptable point */
    VEXAL_ERROR_SOLVER_CONSTRUCTION = 4, /* the solver refused the program */
    VEXAL_ERROR_JSON = 5,                /* JSON text that is not a configuration */
    VEXAL_ERROR_INTERRUPTED = 6,         /* the work was stopped */
    VEXAL_ERROR_NULL_ARGUMENT = 7,       /* a required pointer was NULL */
    VEXAL_ERROR_CAPACITY = 8,            /* the caller's arrays hold fewer nodes than the plan */
    VEXAL_ERROR_NODE_COUNT = 9,          /* the config's solver.n is not the planner's */
    VEXAL_ERROR_NO_PLAN = 10,            /* the planner holds no plan (none yet, or the last one failed) */
    VEXAL_ERROR_OUT_OF_MEMORY = 11,
    VEXAL_ERROR_INTERNAL = 12            /* a fault of the planner itself; please report it */
};

/* The code's name: "ok", "invalid_input", ..., "internal"; "unknown" for
 * any other number. Never NULL; the text is static. */
const char* vexal_code_name(int code);

typedef struct vexal_error {
    int code;
    char message[512];
} vexal_error;

/* The configuration, field for field as vexal::Config (SI units, degrees
 * for angles). An optional is used when its has_ flag is nonzero. */
typedef struct vexal_spacecraft {
    double wet_mass;
    double fuel;
    double real_max_thrust;
    double min_thrust_pct;
    double max_thrust_pct;
    double max_velocity;
    double initial_position[3];
    double initial_velocity[3];
    double target_velocity[3];
    double target_position[3];
    double fuel_consumption;
} vexal_spacecraft;

typedef struct vexal_environment {
    double gravity[3];
    double glide_slope_angle_deg;
    double max_angle_deg;
} vexal_environment;

typedef struct vexal_solver {
    uint64_t n;
    int32_t has_time_of_flight; /* nonzero: one solve at time_of_flight; zero: search */
    double time_of_flight;
    int32_t has_tof_min;        /* the search's bracket, else the automatic one */
    double tof_min;
    int32_t has_tof_max;
    double tof_max;
} vexal_solver;

typedef struct vexal_config {
    vexal_spacecraft spacecraft;
    vexal_environment environment;
    vexal_solver solver;
} vexal_config;

/* The C++ records' defaults: the default lander, n = 100, no time of
 * flight (search), no bracket. */
void vexal_config_default(vexal_config* config);

/* The configuration a JSON text describes (NUL-terminated; the form vexal
 * writes). On failure *out is left as it was (code VEXAL_ERROR_JSON with
 * "<description> at line L column C"). */
int vexal_config_from_json(const char* text, vexal_config* out, vexal_error* error);

enum {
    VEXAL_SEARCH_FAST = 0,  /* a few grid points, then a secant to the tolerance */
    VEXAL_SEARCH_GOLDEN = 1 /* the reference: always 36 solves */
};

/* The quick path's interior-point solver (the golden search always solves
 * with Clarabel). */
enum {
    VEXAL_SOLVER_CLARABEL = 0,  /* the Clarabel library */
    VEXAL_SOLVER_STRUCTURED = 1 /* ours, exploiting the program's banding by node */
};

typedef struct vexal_plan_options {
    int32_t search;          /* VEXAL_SEARCH_FAST or VEXAL_SEARCH_GOLDEN */
    double tolerance;        /* the fast search's relative tolerance on the time of flight, in (0, 1) */
    int32_t pointing;        /* nonzero: thrust within environment.max_angle_deg of vertical */
    int32_t nearest_landing; /* nonzero: an unreachable target is approached as near as can be */
    uint32_t threads;        /* the fast search's grid threads; 0: from the cores (at most 3) */
    double rotation[3];      /* the planet's angular velocity, rad/s, in the config's frame */
    int32_t solver;          /* VEXAL_SOLVER_CLARABEL or VEXAL_SOLVER_STRUCTURED */
    /* Asked at every solver iteration, from any thread of the plan: nonzero
     * ends it with VEXAL_ERROR_INTERRUPTED. NULL: never stopped. */
    int (*stop)(void* user);
    /* After each solve, on the calling thread and in order: the solves made
     * so far and, when has_best, the greatest final mass (kg) planned so far.
     * NULL: not reported. */
    void (*progress)(void* user, uint32_t solves, int32_t has_best, double best_final_mass);
    void* user;              /* handed to stop and progress */
    /* m: with nearest_landing, the search counts landing errors within this
     * much of the least as equal and takes the least fuel among them; 0 is
     * the least error exactly (finite, at least 0). Fields are only ever
     * added last: a caller that zero-fills the struct and sets the fields it
     * knows keeps its plans (0 here), one that starts from
     * vexal_plan_options_default gets the new defaults. */
    double landing_tolerance;
} vexal_plan_options;

/* vexal::PlanOptions' defaults: fast search, tolerance 2e-4, pointing on,
 * nearest landing off (landing tolerance 1 m), threads from the cores, a
 * still planet, the structured solver, no hooks. */
void vexal_plan_options_default(vexal_plan_options* options);

enum {
    VEXAL_STATUS_SOLVED = 0,
    VEXAL_STATUS_ALMOST_SOLVED = 1
};

/* "Solved", "AlmostSolved"; "unknown" for any other number. */
const char* vexal_status_name(int status);

typedef struct vexal_plan_summary {
    int32_t status;         /* VEXAL_STATUS_SOLVED or VEXAL_STATUS_ALMOST_SOLVED */
    double final_mass;      /* kg */
    double time_of_flight;  /* s, the horizon */
    double touchdown_time;  /* s, of the last node: (n - 1)/n of the horizon */
    uint32_t solves;        /* fixed-horizon solves made */
    uint32_t fallbacks;     /* of the fast search's quick solves, those solved again with the defaults */
    int32_t pointing_limit; /* nonzero: the pointing limit was in force */
    double landing_error;   /* m, horizontal distance of the last node from the target */
    uint64_t n;             /* nodes of the trajectory */
} vexal_plan_summary;

typedef struct vexal_planner vexal_planner;

/* A planner for configurations of n nodes, or NULL (the error says why: an
 * n no program can be built for, as vexal::check_node_count refuses, or
 * no memory). It holds everything a plan works in (vexal::PlanWorkspace),
 * its memory (96 KiB a node: its solvers and one plan on either solver)
 * reserved among the process's plans: it waits while plans in progress hold
 * what it needs, and is refused at once (VEXAL_ERROR_INVALID_INPUT, "... too
 * large beside the planners kept ...") when only kept planners do, since
 * the caller may keep them itself. With VEXAL_SOLVER_STRUCTURED and
 * threads = 1, vexal_plan then allocates nothing for a landing on the target.
 * Under an address-space limit (RLIMIT_AS, RLIMIT_DATA) a plan whose solver
 * would not fit in what the limit leaves returns VEXAL_ERROR_OUT_OF_MEMORY
 * before the solver starts: the Clarabel library cannot report a failed
 * allocation, it ends the process. */
vexal_planner* vexal_planner_create(uint64_t n, vexal_error* error);

/* Frees the planner and its trajectory; NULL is ignored. */
void vexal_planner_destroy(vexal_planner* planner);

/* Plans the descent: one solve when the config has a time of flight, else
 * the search. options may be NULL for the defaults, summary NULL when not
 * wanted. A config whose solver.n is not the planner's is refused
 * (VEXAL_ERROR_NODE_COUNT) rather than the workspace re-sized, so that a
 * planner sized at start-up never allocates anew for another n. On success
 * the planner keeps the trajectory; on any failure it keeps none. */
int vexal_plan(vexal_planner* planner, const vexal_config* config, const vexal_plan_options* options,
               vexal_plan_summary* summary, vexal_error* error);

/* Copies the last plan's trajectory into the caller's arrays, which hold
 * `capacity` nodes: time[n] (s), position, velocity and thrust_acceleration
 * [n][3] row-major (m, m/s, m/s^2), mass[n] (kg). A NULL array is skipped.
 * A capacity below the plan's n is refused (VEXAL_ERROR_CAPACITY) with
 * nothing written. */
int vexal_planner_read(const vexal_planner* planner, double* time, double* position, double* velocity,
                       double* thrust_acceleration, double* mass, uint64_t capacity, vexal_error* error);

#ifdef __cplusplus
}
#endif

#endif /* VEXAL_VEXAL_H */

/* C interface to the Clarabel conic solver (Rust crate vexal_clarabel).
 *
 * Solves  minimise 1/2 x'Px + q'x  subject to  Ax + s = b, s in K,
 * K the product of the listed cones, in the order given.
 *
 * Every function returns a vexal_clarabel_code. Whenever `message` is not
 * null, *message is set: to NULL on VEXAL_CLARABEL_OK, otherwise to a
 * NUL-terminated text that the caller releases with
 * vexal_clarabel_message_free. No Rust panic ever leaves these functions. */
#ifndef VEXAL_CLARABEL_H
#define VEXAL_CLARABEL_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Indices cross the boundary as uint64_t and are Rust's usize inside. */
#ifdef __cplusplus
static_assert(sizeof(size_t) == sizeof(uint64_t), "vexal_clarabel needs a 64-bit target");
#else
_Static_assert(sizeof(size_t) == sizeof(uint64_t), "vexal_clarabel needs a 64-bit target");
#endif

typedef int32_t vexal_clarabel_code;
enum {
  VEXAL_CLARABEL_OK = 0,
  /* Null pointer, inconsistent array length or malformed CSC data, refused
     before the solver sees it. */
  VEXAL_CLARABEL_INVALID_ARGUMENT = 1,
  /* The solver refused to be built; the message is the library's own text. */
  VEXAL_CLARABEL_CONSTRUCTION_ERROR = 2,
  /* A panic inside the solver; the message is the panic's text. */
  VEXAL_CLARABEL_INTERNAL_FAILURE = 3,
};

/* The library's SolverStatus, in its order. */
typedef int32_t vexal_clarabel_status;
enum {
  VEXAL_CLARABEL_UNSOLVED = 0,
  VEXAL_CLARABEL_SOLVED = 1,
  VEXAL_CLARABEL_PRIMAL_INFEASIBLE = 2,
  VEXAL_CLARABEL_DUAL_INFEASIBLE = 3,
  VEXAL_CLARABEL_ALMOST_SOLVED = 4,
  VEXAL_CLARABEL_ALMOST_PRIMAL_INFEASIBLE = 5,
  VEXAL_CLARABEL_ALMOST_DUAL_INFEASIBLE = 6,
  VEXAL_CLARABEL_MAX_ITERATIONS = 7,
  VEXAL_CLARABEL_MAX_TIME = 8,
  VEXAL_CLARABEL_NUMERICAL_ERROR = 9,
  VEXAL_CLARABEL_INSUFFICIENT_PROGRESS = 10,
  VEXAL_CLARABEL_CALLBACK_TERMINATED = 11,
};

typedef int32_t vexal_clarabel_cone_kind;
enum {
  VEXAL_CLARABEL_ZERO_CONE = 0,
  VEXAL_CLARABEL_NONNEGATIVE_CONE = 1,
  VEXAL_CLARABEL_SECOND_ORDER_CONE = 2,
};

typedef struct vexal_clarabel_cone {
  vexal_clarabel_cone_kind kind;
  uint64_t dim;
} vexal_clarabel_cone;

/* Compressed-sparse-column view of an m x n matrix; the arrays are borrowed
 * for the duration of the call. colptr has colptr_len == n + 1 entries,
 * starting at 0, with colptr[n] == nnz; rowval and nzval have nnz entries,
 * row indices ascending within each column. A pointer may be null when its
 * length is 0. */
typedef struct vexal_clarabel_csc {
  uint64_t m;
  uint64_t n;
  const uint64_t* colptr;
  uint64_t colptr_len;
  const uint64_t* rowval;
  const double* nzval;
  uint64_t nnz;
} vexal_clarabel_csc;

/* Every field of the library's DefaultSettings, under its name and in the
 * crate's order (vexal_clarabel_settings_offsets gives the crate's offsets,
 * which a test compares with this struct's). */
typedef struct vexal_clarabel_settings {
  uint32_t max_iter;
  double time_limit;
  bool verbose;
  double max_step_fraction;
  double tol_gap_abs;
  double tol_gap_rel;
  double tol_feas;
  double tol_infeas_abs;
  double tol_infeas_rel;
  double tol_ktratio;
  double reduced_tol_gap_abs;
  double reduced_tol_gap_rel;
  double reduced_tol_feas;
  double reduced_tol_infeas_abs;
  double reduced_tol_infeas_rel;
  double reduced_tol_ktratio;
  bool equilibrate_enable;
  uint32_t equilibrate_max_iter;
  double equilibrate_min_scaling;
  double equilibrate_max_scaling;
  double linesearch_backtrack_step;
  double min_switch_step_length;
  double min_terminate_step_length;
  uint32_t max_threads;
  bool direct_kkt_solver;
  /* NUL-terminated UTF-8, e.g. "auto"; the library validates the name. */
  const char* direct_solve_method;
  bool static_regularization_enable;
  double static_regularization_constant;
  double static_regularization_proportional;
  bool dynamic_regularization_enable;
  double dynamic_regularization_eps;
  double dynamic_regularization_delta;
  bool iterative_refinement_enable;
  double iterative_refinement_reltol;
  double iterative_refinement_abstol;
  uint32_t iterative_refinement_max_iter;
  double iterative_refinement_stop_ratio;
  bool presolve_enable;
  bool input_sparse_dropzeros;
} vexal_clarabel_settings;

typedef struct vexal_clarabel_solver vexal_clarabel_solver;

/* Fills *settings with the library's own defaults (its output included);
 * direct_solve_method points to text that lives as long as the process. */
vexal_clarabel_code vexal_clarabel_default_settings(vexal_clarabel_settings* settings, char** message);

/* The byte offset of every field of the crate's settings struct, in the
 * order of the fields above; *offsets lives as long as the process. */
vexal_clarabel_code vexal_clarabel_settings_offsets(const uint64_t** offsets, uint64_t* count, char** message);

/* Builds a solver; the inputs are copied. On success *solver receives a
 * handle for vexal_clarabel_free, otherwise it is set to NULL. */
vexal_clarabel_code vexal_clarabel_new(const vexal_clarabel_csc* P, const double* q, uint64_t q_len,
                                       const vexal_clarabel_csc* A, const double* b, uint64_t b_len,
                                       const vexal_clarabel_cone* cones, uint64_t cones_len,
                                       const vexal_clarabel_settings* settings,
                                       vexal_clarabel_solver** solver, char** message);

vexal_clarabel_code vexal_clarabel_solve(vexal_clarabel_solver* solver, char** message);

/* Replaces the values of q, of A's stored entries (in the order of the
 * pattern the solver was built with) and of b, for the next solve. The
 * solver keeps the equilibration it computed when it was built. Refused
 * (INVALID_ARGUMENT) when a length differs from the solver's, or when the
 * solver was built with presolve or dropped zeros. */
vexal_clarabel_code vexal_clarabel_update(vexal_clarabel_solver* solver, const double* q, uint64_t q_len,
                                          const double* a_nzval, uint64_t a_nnz, const double* b, uint64_t b_len,
                                          char** message);

vexal_clarabel_code vexal_clarabel_get_status(const vexal_clarabel_solver* solver,
                                              vexal_clarabel_status* status, char** message);

/* The primal vector, valid until the solver is freed or solved again. */
vexal_clarabel_code vexal_clarabel_x(const vexal_clarabel_solver* solver, const double** x,
                                     uint64_t* x_len, char** message);

/* The dual vector z of the last solve (one entry per row of A): *z points
 * into the solver and stays valid until its next solve or its release. */
vexal_clarabel_code vexal_clarabel_z(const vexal_clarabel_solver* solver, const double** z, uint64_t* z_len,
                                     char** message);

/* The interior-point iterations of the last solve. */
vexal_clarabel_code vexal_clarabel_iterations(const vexal_clarabel_solver* solver, uint32_t* iterations,
                                              char** message);

/* Asks `function(context)` once per iteration of every later solve; a
 * nonzero answer ends that solve with VEXAL_CLARABEL_CALLBACK_TERMINATED.
 * The function runs on the thread that calls vexal_clarabel_solve and must
 * not unwind. A null function removes the request. */
typedef int32_t (*vexal_clarabel_stop_fn)(void* context);
vexal_clarabel_code vexal_clarabel_set_stop(vexal_clarabel_solver* solver, vexal_clarabel_stop_fn function,
                                            void* context, char** message);

/* Null is accepted. */
void vexal_clarabel_free(vexal_clarabel_solver* solver);

/* Null is accepted. */
void vexal_clarabel_message_free(char* message);

#ifdef __cplusplus
}
#endif

#endif

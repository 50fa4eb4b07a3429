//! C ABI over the Clarabel solver; the declarations live in
//! include/vexal/clarabel.h and must stay in step with this file.

use std::any::Any;
use std::ffi::{c_char, c_void, CStr, CString};
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::ptr;
use std::sync::OnceLock;

use clarabel::algebra::CscMatrix;
use clarabel::solver::{DefaultSettings, DefaultSolver, IPSolver, SolverStatus, SupportedConeT};

// The header passes indices as uint64_t and we read them as usize.
const _: () = assert!(std::mem::size_of::<usize>() == std::mem::size_of::<u64>());

type Code = i32;
const OK: Code = 0;
const INVALID_ARGUMENT: Code = 1;
const CONSTRUCTION_ERROR: Code = 2;
const INTERNAL_FAILURE: Code = 3;

const ZERO_CONE: i32 = 0;
const NONNEGATIVE_CONE: i32 = 1;
const SECOND_ORDER_CONE: i32 = 2;

#[repr(C)]
pub struct Cone {
    kind: i32,
    dim: u64,
}

#[repr(C)]
pub struct Csc {
    m: u64,
    n: u64,
    colptr: *const u64,
    colptr_len: u64,
    rowval: *const u64,
    nzval: *const f64,
    nnz: u64,
}

#[repr(C)]
pub struct Settings {
    max_iter: u32,
    time_limit: f64,
    verbose: bool,
    max_step_fraction: f64,
    tol_gap_abs: f64,
    tol_gap_rel: f64,
    tol_feas: f64,
    tol_infeas_abs: f64,
    tol_infeas_rel: f64,
    tol_ktratio: f64,
    reduced_tol_gap_abs: f64,
    reduced_tol_gap_rel: f64,
    reduced_tol_feas: f64,
    reduced_tol_infeas_abs: f64,
    reduced_tol_infeas_rel: f64,
    reduced_tol_ktratio: f64,
    equilibrate_enable: bool,
    equilibrate_max_iter: u32,
    equilibrate_min_scaling: f64,
    equilibrate_max_scaling: f64,
    linesearch_backtrack_step: f64,
    min_switch_step_length: f64,
    min_terminate_step_length: f64,
    max_threads: u32,
    direct_kkt_solver: bool,
    direct_solve_method: *const c_char,
    static_regularization_enable: bool,
    static_regularization_constant: f64,
    static_regularization_proportional: f64,
    dynamic_regularization_enable: bool,
    dynamic_regularization_eps: f64,
    dynamic_regularization_delta: f64,
    iterative_refinement_enable: bool,
    iterative_refinement_reltol: f64,
    iterative_refinement_abstol: f64,
    iterative_refinement_max_iter: u32,
    iterative_refinement_stop_ratio: f64,
    presolve_enable: bool,
    input_sparse_dropzeros: bool,
}

// The header's struct must match this one field for field; its test compares
// every offset against `vexal_clarabel_settings_offsets`.
macro_rules! settings_offsets {
    ($($field:ident),* $(,)?) => {
        [$(std::mem::offset_of!(Settings, $field) as u64),*]
    };
}
const SETTINGS_OFFSETS: [u64; 39] = settings_offsets!(
    max_iter,
    time_limit,
    verbose,
    max_step_fraction,
    tol_gap_abs,
    tol_gap_rel,
    tol_feas,
    tol_infeas_abs,
    tol_infeas_rel,
    tol_ktratio,
    reduced_tol_gap_abs,
    reduced_tol_gap_rel,
    reduced_tol_feas,
    reduced_tol_infeas_abs,
    reduced_tol_infeas_rel,
    reduced_tol_ktratio,
    equilibrate_enable,
    equilibrate_max_iter,
    equilibrate_min_scaling,
    equilibrate_max_scaling,
    linesearch_backtrack_step,
    min_switch_step_length,
    min_terminate_step_length,
    max_threads,
    direct_kkt_solver,
    direct_solve_method,
    static_regularization_enable,
    static_regularization_constant,
    static_regularization_proportional,
    dynamic_regularization_enable,
    dynamic_regularization_eps,
    dynamic_regularization_delta,
    iterative_refinement_enable,
    iterative_refinement_reltol,
    iterative_refinement_abstol,
    iterative_refinement_max_iter,
    iterative_refinement_stop_ratio,
    presolve_enable,
    input_sparse_dropzeros,
);

/// The opaque handle behind `vexal_clarabel_solver*`.
pub struct Solver(DefaultSolver<f64>);

enum Failure {
    Invalid(String),
    Construction(String),
}

/// Runs `body` with panics caught, and hands any failure text to `message`.
fn guard<F>(message: *mut *mut c_char, body: F) -> Code
where
    F: FnOnce() -> Result<(), Failure>,
{
    let (code, text) = match catch_unwind(AssertUnwindSafe(body)) {
        Ok(Ok(())) => (OK, None),
        Ok(Err(Failure::Invalid(text))) => (INVALID_ARGUMENT, Some(text)),
        Ok(Err(Failure::Construction(text))) => (CONSTRUCTION_ERROR, Some(text)),
        Err(payload) => (INTERNAL_FAILURE, Some(panic_text(payload))),
    };
    if !message.is_null() {
        let out = match text {
            // A panic while copying the text is dropped: nothing may unwind.
            Some(text) => catch_unwind(|| to_c_string(&text)).unwrap_or(ptr::null_mut()),
            None => ptr::null_mut(),
        };
        // SAFETY: the caller passes either null or a writable pointer.
        unsafe { *message = out };
    }
    code
}

fn panic_text(payload: Box<dyn Any + Send>) -> String {
    let text = if let Some(s) = payload.downcast_ref::<&str>() {
        (*s).to_owned()
    } else if let Some(s) = payload.downcast_ref::<String>() {
        s.clone()
    } else {
        "panic with a payload that is not text".to_owned()
    };
    // Dropping a payload can itself panic.
    let _ = catch_unwind(AssertUnwindSafe(|| drop(payload)));
    text
}

fn to_c_string(text: &str) -> *mut c_char {
    let bytes: Vec<u8> = text.bytes().filter(|&b| b != 0).collect();
    CString::new(bytes).expect("NUL bytes removed").into_raw()
}

fn invalid<T>(text: String) -> Result<T, Failure> {
    Err(Failure::Invalid(text))
}

/// Borrows `len` elements at `data`; null is fine for an empty array.
///
/// # Safety
/// A non-null `data` must point to `len` readable elements that outlive the call.
unsafe fn borrow<'a, T>(data: *const T, len: u64, what: &str) -> Result<&'a [T], Failure> {
    let len = len as usize;
    if len == 0 {
        return Ok(&[]);
    }
    if data.is_null() {
        return invalid(format!("{what} is null but has {len} entries"));
    }
    if !(data as usize).is_multiple_of(std::mem::align_of::<T>()) {
        return invalid(format!("{what} is misaligned"));
    }
    if len > isize::MAX as usize / std::mem::size_of::<T>() {
        return invalid(format!("{what} is too long ({len} entries)"));
    }
    Ok(std::slice::from_raw_parts(data, len))
}

/// # Safety
/// `view` is null or points to a view whose arrays match their stated lengths.
unsafe fn csc(view: *const Csc, name: &str) -> Result<CscMatrix<f64>, Failure> {
    let Some(v) = view.as_ref() else {
        return invalid(format!("{name} is null"));
    };
    let (m, n) = (v.m as usize, v.n as usize);
    if n.checked_add(1) != Some(v.colptr_len as usize) {
        return invalid(format!(
            "{name}.colptr has {} entries, but {name} has {n} columns",
            v.colptr_len
        ));
    }
    let colptr: &[usize] = borrow(
        v.colptr.cast::<usize>(),
        v.colptr_len,
        &format!("{name}.colptr"),
    )?;
    if colptr[0] != 0 {
        return invalid(format!("{name}.colptr does not start at 0"));
    }
    if colptr[n] as u64 != v.nnz {
        return invalid(format!(
            "{name}.colptr ends at {}, but {name} has {} stored entries",
            colptr[n], v.nnz
        ));
    }
    let rowval: &[usize] = borrow(v.rowval.cast::<usize>(), v.nnz, &format!("{name}.rowval"))?;
    let nzval = borrow(v.nzval, v.nnz, &format!("{name}.nzval"))?;
    let matrix = CscMatrix::new(m, n, colptr.to_vec(), rowval.to_vec(), nzval.to_vec());
    // The solver indexes with these unchecked in places: refuse what it cannot take.
    if let Err(e) = matrix.check_format() {
        return invalid(format!("{name}: {e}"));
    }
    Ok(matrix)
}

fn cone(c: &Cone) -> Result<SupportedConeT<f64>, Failure> {
    let dim = c.dim as usize;
    match c.kind {
        ZERO_CONE => Ok(SupportedConeT::ZeroConeT(dim)),
        NONNEGATIVE_CONE => Ok(SupportedConeT::NonnegativeConeT(dim)),
        SECOND_ORDER_CONE => Ok(SupportedConeT::SecondOrderConeT(dim)),
        kind => invalid(format!("unknown cone kind {kind}")),
    }
}

/// # Safety
/// `s.direct_solve_method` is null or a NUL-terminated string.
unsafe fn settings(s: &Settings) -> Result<DefaultSettings<f64>, Failure> {
    if s.direct_solve_method.is_null() {
        return invalid("settings.direct_solve_method is null".to_owned());
    }
    let Ok(method) = CStr::from_ptr(s.direct_solve_method).to_str() else {
        return invalid("settings.direct_solve_method is not UTF-8".to_owned());
    };
    // No `..Default::default()`: the compiler checks that every field is mapped.
    Ok(DefaultSettings {
        max_iter: s.max_iter,
        time_limit: s.time_limit,
        verbose: s.verbose,
        max_step_fraction: s.max_step_fraction,
        tol_gap_abs: s.tol_gap_abs,
        tol_gap_rel: s.tol_gap_rel,
        tol_feas: s.tol_feas,
        tol_infeas_abs: s.tol_infeas_abs,
        tol_infeas_rel: s.tol_infeas_rel,
        tol_ktratio: s.tol_ktratio,
        reduced_tol_gap_abs: s.reduced_tol_gap_abs,
        reduced_tol_gap_rel: s.reduced_tol_gap_rel,
        reduced_tol_feas: s.reduced_tol_feas,
        reduced_tol_infeas_abs: s.reduced_tol_infeas_abs,
        reduced_tol_infeas_rel: s.reduced_tol_infeas_rel,
        reduced_tol_ktratio: s.reduced_tol_ktratio,
        equilibrate_enable: s.equilibrate_enable,
        equilibrate_max_iter: s.equilibrate_max_iter,
        equilibrate_min_scaling: s.equilibrate_min_scaling,
        equilibrate_max_scaling: s.equilibrate_max_scaling,
        linesearch_backtrack_step: s.linesearch_backtrack_step,
        min_switch_step_length: s.min_switch_step_length,
        min_terminate_step_length: s.min_terminate_step_length,
        max_threads: s.max_threads,
        direct_kkt_solver: s.direct_kkt_solver,
        direct_solve_method: method.to_owned(),
        static_regularization_enable: s.static_regularization_enable,
        static_regularization_constant: s.static_regularization_constant,
        static_regularization_proportional: s.static_regularization_proportional,
        dynamic_regularization_enable: s.dynamic_regularization_enable,
        dynamic_regularization_eps: s.dynamic_regularization_eps,
        dynamic_regularization_delta: s.dynamic_regularization_delta,
        iterative_refinement_enable: s.iterative_refinement_enable,
        iterative_refinement_reltol: s.iterative_refinement_reltol,
        iterative_refinement_abstol: s.iterative_refinement_abstol,
        iterative_refinement_max_iter: s.iterative_refinement_max_iter,
        iterative_refinement_stop_ratio: s.iterative_refinement_stop_ratio,
        presolve_enable: s.presolve_enable,
        input_sparse_dropzeros: s.input_sparse_dropzeros,
    })
}

/// The library's default direct-solve method, as a C string that lives for
/// the whole process.
fn default_solve_method() -> Result<&'static CStr, Failure> {
    static METHOD: OnceLock<Option<CString>> = OnceLock::new();
    METHOD
        .get_or_init(|| CString::new(DefaultSettings::<f64>::default().direct_solve_method).ok())
        .as_deref()
        .ok_or_else(|| Failure::Invalid("the default solve method holds a NUL byte".to_owned()))
}

/// The library's own defaults, field by field: nothing is retyped here.
fn default_settings() -> Result<Settings, Failure> {
    let d = DefaultSettings::<f64>::default();
    Ok(Settings {
        max_iter: d.max_iter,
        time_limit: d.time_limit,
        verbose: d.verbose,
        max_step_fraction: d.max_step_fraction,
        tol_gap_abs: d.tol_gap_abs,
        tol_gap_rel: d.tol_gap_rel,
        tol_feas: d.tol_feas,
        tol_infeas_abs: d.tol_infeas_abs,
        tol_infeas_rel: d.tol_infeas_rel,
        tol_ktratio: d.tol_ktratio,
        reduced_tol_gap_abs: d.reduced_tol_gap_abs,
        reduced_tol_gap_rel: d.reduced_tol_gap_rel,
        reduced_tol_feas: d.reduced_tol_feas,
        reduced_tol_infeas_abs: d.reduced_tol_infeas_abs,
        reduced_tol_infeas_rel: d.reduced_tol_infeas_rel,
        reduced_tol_ktratio: d.reduced_tol_ktratio,
        equilibrate_enable: d.equilibrate_enable,
        equilibrate_max_iter: d.equilibrate_max_iter,
        equilibrate_min_scaling: d.equilibrate_min_scaling,
        equilibrate_max_scaling: d.equilibrate_max_scaling,
        linesearch_backtrack_step: d.linesearch_backtrack_step,
        min_switch_step_length: d.min_switch_step_length,
        min_terminate_step_length: d.min_terminate_step_length,
        max_threads: d.max_threads,
        direct_kkt_solver: d.direct_kkt_solver,
        direct_solve_method: default_solve_method()?.as_ptr(),
        static_regularization_enable: d.static_regularization_enable,
        static_regularization_constant: d.static_regularization_constant,
        static_regularization_proportional: d.static_regularization_proportional,
        dynamic_regularization_enable: d.dynamic_regularization_enable,
        dynamic_regularization_eps: d.dynamic_regularization_eps,
        dynamic_regularization_delta: d.dynamic_regularization_delta,
        iterative_refinement_enable: d.iterative_refinement_enable,
        iterative_refinement_reltol: d.iterative_refinement_reltol,
        iterative_refinement_abstol: d.iterative_refinement_abstol,
        iterative_refinement_max_iter: d.iterative_refinement_max_iter,
        iterative_refinement_stop_ratio: d.iterative_refinement_stop_ratio,
        presolve_enable: d.presolve_enable,
        input_sparse_dropzeros: d.input_sparse_dropzeros,
    })
}

fn status_code(status: SolverStatus) -> i32 {
    match status {
        SolverStatus::Unsolved => 0,
        SolverStatus::Solved => 1,
        SolverStatus::PrimalInfeasible => 2,
        SolverStatus::DualInfeasible => 3,
        SolverStatus::AlmostSolved => 4,
        SolverStatus::AlmostPrimalInfeasible => 5,
        SolverStatus::AlmostDualInfeasible => 6,
        SolverStatus::MaxIterations => 7,
        SolverStatus::MaxTime => 8,
        SolverStatus::NumericalError => 9,
        SolverStatus::InsufficientProgress => 10,
        SolverStatus::CallbackTerminated => 11,
    }
}

/// # Safety
/// `settings_out` is null or writable.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_default_settings(
    settings_out: *mut Settings,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        if settings_out.is_null() {
            return invalid("settings is null".to_owned());
        }
        settings_out.write(default_settings()?);
        Ok(())
    })
}

/// # Safety
/// `offsets` and `count` are null or writable.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_settings_offsets(
    offsets: *mut *const u64,
    count: *mut u64,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        if offsets.is_null() || count.is_null() {
            return invalid("offsets or count is null".to_owned());
        }
        *offsets = SETTINGS_OFFSETS.as_ptr();
        *count = SETTINGS_OFFSETS.len() as u64;
        Ok(())
    })
}

/// # Safety
/// Pointers follow the header's contract: null or valid for their stated lengths.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_new(
    p: *const Csc,
    q: *const f64,
    q_len: u64,
    a: *const Csc,
    b: *const f64,
    b_len: u64,
    cones: *const Cone,
    cones_len: u64,
    settings_in: *const Settings,
    solver: *mut *mut Solver,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        if solver.is_null() {
            return invalid("solver out-pointer is null".to_owned());
        }
        *solver = ptr::null_mut();
        let p = csc(p, "P")?;
        let a = csc(a, "A")?;
        let q = borrow(q, q_len, "q")?;
        let b = borrow(b, b_len, "b")?;
        let cones = borrow(cones, cones_len, "cones")?;
        // The library sums the dimensions unchecked: a sum that wraps around
        // would pass its size check and then index far out of range.
        if cones
            .iter()
            .try_fold(0usize, |sum, c| sum.checked_add(c.dim as usize))
            .is_none()
        {
            return invalid("the cone dimensions overflow when summed".to_owned());
        }
        let cones = cones.iter().map(cone).collect::<Result<Vec<_>, _>>()?;
        let Some(s) = settings_in.as_ref() else {
            return invalid("settings is null".to_owned());
        };
        let s = settings(s)?;
        let built = DefaultSolver::new(&p, q, &a, b, &cones, s)
            .map_err(|e| Failure::Construction(e.to_string()))?;
        *solver = Box::into_raw(Box::new(Solver(built)));
        Ok(())
    })
}

/// # Safety
/// `solver` is null or a live handle from `vexal_clarabel_new`.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_solve(
    solver: *mut Solver,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        let Some(s) = solver.as_mut() else {
            return invalid("solver is null".to_owned());
        };
        s.0.solve();
        Ok(())
    })
}

/// # Safety
/// `solver` is null or a live handle; `q`, `a_nzval` and `b` are null or
/// valid for their stated lengths.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_update(
    solver: *mut Solver,
    q: *const f64,
    q_len: u64,
    a_nzval: *const f64,
    a_nnz: u64,
    b: *const f64,
    b_len: u64,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        let Some(s) = solver.as_mut() else {
            return invalid("solver is null".to_owned());
        };
        let q = borrow(q, q_len, "q")?;
        let a = borrow(a_nzval, a_nnz, "A.nzval")?;
        let b = borrow(b, b_len, "b")?;
        // An empty update means "unchanged" to the library: refuse it, as
        // every program has values in all three.
        let (q_now, a_now, b_now) = (s.0.data.q.len(), s.0.data.A.nnz(), s.0.data.b.len());
        if (q.len(), a.len(), b.len()) != (q_now, a_now, b_now) {
            return invalid(format!(
                "update sizes (q {}, A {}, b {}) differ from the solver's (q {q_now}, A {a_now}, b {b_now})",
                q.len(),
                a.len(),
                b.len()
            ));
        }
        let refused = |e: clarabel::solver::DataUpdateError| Failure::Invalid(e.to_string());
        // The library's update takes owned vectors (its slice form is unsized).
        s.0.update_q(&q.to_vec()).map_err(refused)?;
        s.0.update_A(&a.to_vec()).map_err(refused)?;
        s.0.update_b(&b.to_vec()).map_err(refused)?;
        Ok(())
    })
}

/// # Safety
/// `solver` is null or a live handle; `status` is null or writable.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_get_status(
    solver: *const Solver,
    status: *mut i32,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        let (Some(s), false) = (solver.as_ref(), status.is_null()) else {
            return invalid("solver or status is null".to_owned());
        };
        *status = status_code(s.0.solution.status);
        Ok(())
    })
}

/// # Safety
/// `solver` is null or a live handle; `values` and `len` are null or writable.
unsafe fn solution_vector(
    solver: *const Solver,
    values: *mut *const f64,
    len: *mut u64,
    message: *mut *mut c_char,
    pick: fn(&Solver) -> &[f64],
) -> Code {
    guard(message, || {
        let (Some(s), false, false) = (solver.as_ref(), values.is_null(), len.is_null()) else {
            return invalid("solver, values or length is null".to_owned());
        };
        let vector = pick(s);
        *values = vector.as_ptr();
        *len = vector.len() as u64;
        Ok(())
    })
}

/// # Safety
/// `solver` is null or a live handle; `x` and `x_len` are null or writable.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_x(
    solver: *const Solver,
    x: *mut *const f64,
    x_len: *mut u64,
    message: *mut *mut c_char,
) -> Code {
    solution_vector(solver, x, x_len, message, |s| &s.0.solution.x)
}

/// # Safety
/// `solver` is null or a live handle; `z` and `z_len` are null or writable.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_z(
    solver: *const Solver,
    z: *mut *const f64,
    z_len: *mut u64,
    message: *mut *mut c_char,
) -> Code {
    solution_vector(solver, z, z_len, message, |s| &s.0.solution.z)
}

/// # Safety
/// `solver` is null or a live handle; `iterations` is null or writable.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_iterations(
    solver: *const Solver,
    iterations: *mut u32,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        let (Some(s), false) = (solver.as_ref(), iterations.is_null()) else {
            return invalid("solver or iterations is null".to_owned());
        };
        *iterations = s.0.solution.iterations;
        Ok(())
    })
}

/// The caller's stop request as the solver's termination callback sees it.
struct StopRequest {
    function: extern "C" fn(*mut c_void) -> i32,
    context: *mut c_void,
}
// SAFETY: the header makes the caller answer for calling `function` with
// `context` from the thread that runs the solve.
unsafe impl Send for StopRequest {}
unsafe impl Sync for StopRequest {}

impl StopRequest {
    fn ask(&self) -> bool {
        (self.function)(self.context) != 0
    }
}

/// # Safety
/// `solver` is null or a live handle; `function`, when not null, may be
/// called with `context` during every later solve of this solver.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_set_stop(
    solver: *mut Solver,
    function: Option<extern "C" fn(*mut c_void) -> i32>,
    context: *mut c_void,
    message: *mut *mut c_char,
) -> Code {
    guard(message, || {
        let Some(s) = solver.as_mut() else {
            return invalid("solver is null".to_owned());
        };
        match function {
            None => s.0.unset_termination_callback(),
            Some(function) => {
                let request = StopRequest { function, context };
                s.0.set_termination_callback(move |_info| request.ask());
            }
        }
        Ok(())
    })
}

/// # Safety
/// `solver` is null or a live handle, which is invalid afterwards.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_free(solver: *mut Solver) {
    if !solver.is_null() {
        // A panicking destructor leaks the rest; there is nobody to tell.
        let _ = catch_unwind(AssertUnwindSafe(|| drop(Box::from_raw(solver))));
    }
}

/// # Safety
/// `message` is null or a text handed out by this library, not yet freed.
#[no_mangle]
pub unsafe extern "C" fn vexal_clarabel_message_free(message: *mut c_char) {
    if !message.is_null() {
        let _ = catch_unwind(AssertUnwindSafe(|| drop(CString::from_raw(message))));
    }
}

#[cfg(test)]
mod tests {
    use super::*;

    fn run<F: FnOnce() -> Result<(), Failure>>(body: F) -> (Code, Option<String>) {
        let mut text: *mut c_char = std::ptr::dangling_mut::<c_char>();
        let code = guard(&mut text, body);
        if text.is_null() {
            return (code, None);
        }
        let owned = unsafe { CStr::from_ptr(text) }.to_str().unwrap().to_owned();
        unsafe { vexal_clarabel_message_free(text) };
        (code, Some(owned))
    }

    #[test]
    fn guard_reports_outcomes_with_their_text() {
        type Body = Box<dyn FnOnce() -> Result<(), Failure>>;
        let cases: Vec<(Body, Code, Option<&str>)> = vec![
            (Box::new(|| Ok(())), OK, None),
            (
                Box::new(|| invalid("bad\0input".to_owned())),
                INVALID_ARGUMENT,
                Some("badinput"),
            ),
            (
                Box::new(|| Err(Failure::Construction("refused".into()))),
                CONSTRUCTION_ERROR,
                Some("refused"),
            ),
            (
                Box::new(|| panic!("static text")),
                INTERNAL_FAILURE,
                Some("static text"),
            ),
            (
                Box::new(|| panic!("formatted {}", 42)),
                INTERNAL_FAILURE,
                Some("formatted 42"),
            ),
            (
                Box::new(|| std::panic::panic_any(7_i32)),
                INTERNAL_FAILURE,
                Some("panic with a payload that is not text"),
            ),
        ];
        for (body, code, text) in cases {
            assert_eq!(run(body), (code, text.map(str::to_owned)));
        }
    }

    #[test]
    fn default_settings_are_the_library_defaults() {
        let exported = default_settings().map_err(|_| "no defaults").unwrap();
        let read_back = unsafe { settings(&exported) }
            .map_err(|_| "refused")
            .unwrap();
        assert_eq!(
            format!("{read_back:?}"),
            format!("{:?}", DefaultSettings::<f64>::default())
        );
    }

    #[test]
    fn guard_accepts_a_null_message_pointer() {
        assert_eq!(
            guard(ptr::null_mut(), || panic!("unseen")),
            INTERNAL_FAILURE
        );
    }
}

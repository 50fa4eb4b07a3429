"""The descent program written a second time, independently of the planner:
in nondimensional variables (lengths over the start's distance, times over
the horizon), modelled with cvxpy and solved by Clarabel with tight
tolerances. Tests judge the planner's optimum and feasibility against it."""
import math

import numpy as np


def reference_optimum(config, time_of_flight, tolerance=1e-9):
    """(status, final mass) of the program for `config` at `time_of_flight`."""
    status, mass, _ = reference_solve(config, time_of_flight, tolerance=tolerance)
    return status, mass


def turning_step(rotation, dt):
    """(phi, gamma0, gamma1) of one step of r'' = u - 2 w x v - w x (w x r)
    with u linear over the step: phi = expm(A dt), and the thrust's weights
    integral e^{A (dt - s)} B (1 - s/dt, s/dt) ds by Gauss-Legendre quadrature."""
    from scipy.linalg import expm

    wx, wy, wz = rotation
    cross = np.array([[0.0, -wz, wy], [wz, 0.0, -wx], [-wy, wx, 0.0]])
    a = np.block([[np.zeros((3, 3)), np.eye(3)], [-cross @ cross, -2.0 * cross]])
    b = np.vstack([np.zeros((3, 3)), np.eye(3)])
    nodes, weights = np.polynomial.legendre.leggauss(24)
    s = dt * (nodes + 1) / 2
    kernels = [expm(a * (dt - si)) @ b * (wi * dt / 2) for si, wi in zip(s, weights, strict=True)]
    gamma0 = sum(k * (1 - si / dt) for k, si in zip(kernels, s, strict=True))
    gamma1 = sum(k * (si / dt) for k, si in zip(kernels, s, strict=True))
    return expm(a * dt), gamma0, gamma1


def reference_solve(config, time_of_flight, pointing_deg=None, landing="target", tolerance=1e-9, rotation=None):
    """(status, final mass, landing point) of the program for `config` at
    `time_of_flight`, with every node's thrust within `pointing_deg` of
    vertical when given. `landing`: "target" lands on it; "nearest"
    minimises the horizontal distance to it; a number is a bound on that
    distance under the fuel objective. Off the target the glide-slope cone
    stands on the landing point. `rotation`: the planet's angular velocity."""
    import cvxpy as cp

    sc, env, n = config.spacecraft, config.environment, config.solver.n
    r0, v0 = np.array(sc.initial_position), np.array(sc.initial_velocity)
    rt, vt = np.array(sc.target_position), np.array(sc.target_velocity)
    length = max(np.linalg.norm(r0), 1.0)
    speed, accel = length / time_of_flight, length / time_of_flight**2
    dt = time_of_flight / n
    h = dt / time_of_flight
    g = np.tile(np.array(env.gravity) / accel, (n - 1, 1))
    rho1 = sc.real_max_thrust * sc.min_thrust_pct
    rho2 = sc.real_max_thrust * sc.max_thrust_pct
    alpha = sc.fuel_consumption

    r, v, u = cp.Variable((n, 3)), cp.Variable((n, 3)), cp.Variable((n, 3))
    sigma, z = cp.Variable(n), cp.Variable(n)
    # Thrust bounds about the mass burned at full thrust since ignition.
    z_ref = np.log(sc.wet_mass - np.arange(n) * (alpha * dt * rho2))
    dz = z - z_ref
    constraints = [
        r[0] == r0 / length, v[0] == v0 / speed, z[0] == math.log(sc.wet_mass),
        v[-1] == vt / speed,
        z[1:] == z[:-1] - alpha * dt * accel / 2 * (sigma[:-1] + sigma[1:]),
        cp.norm(u, 2, axis=1) <= sigma,
        cp.norm(v, 2, axis=1) <= sc.max_velocity / speed,
        sigma <= cp.multiply(rho2 * np.exp(-z_ref) / accel, 1 - dz),
        z[-1] >= math.log(sc.wet_mass - sc.fuel),
    ]
    if rotation is None:
        constraints += [r[1:] == r[:-1] + h * v[:-1] + h**2 * (u[:-1] / 3 + u[1:] / 6) + h**2 / 2 * g,
                        v[1:] == v[:-1] + h / 2 * (u[:-1] + u[1:]) + h * g]
    else:  # in units of the horizon: w T
        phi, gamma0, gamma1 = turning_step(np.asarray(rotation) * time_of_flight, h)
        x = cp.hstack([r, v])
        constraints.append(x[1:] == x[:-1] @ phi.T + u[:-1] @ gamma0.T + u[1:] @ gamma1.T + g @ (gamma0 + gamma1).T)
    if rho1 > 0:
        constraints.append(cp.multiply(rho1 * np.exp(-z_ref) / accel, 1 - dz + cp.square(dz) / 2) <= sigma)
    if pointing_deg is not None:
        constraints.append(u[:, 2] >= math.cos(math.radians(pointing_deg)) * sigma)
    miss = cp.norm(r[-1, :2] - rt[:2] / length)  # in units of length
    apex = 0.0
    if landing == "target":
        constraints.append(r[-1] == rt / length)
    else:
        constraints.append(r[-1, 2] == rt[2] / length)
        apex = np.ones((n, 1)) @ cp.reshape(r[-1], (1, 3), order="C")
        if landing != "nearest":
            constraints.append(miss <= landing / length)
    sin_gamma = math.sin(math.radians(env.glide_slope_angle_deg))
    if sin_gamma == 0.0:
        constraints.append(r[:, 2] >= 0)
    else:
        offset = r - apex
        constraints.append(abs(sin_gamma) * cp.norm(offset, 2, axis=1) <= offset[:, 2])
    objective = cp.Minimize(miss) if landing == "nearest" else cp.Maximize(z[-1])
    problem = cp.Problem(objective, constraints)
    problem.solve(solver="CLARABEL", tol_gap_abs=tolerance, tol_gap_rel=tolerance, tol_feas=tolerance,
                  max_iter=500)
    if z.value is None:
        return problem.status, math.nan, None
    return problem.status, math.exp(z.value[-1]), r.value[-1] * length


def worst_violation(config, trajectory, rotation=None):
    """The largest relative violation of the program by a planned trajectory,
    from the physics: dynamics (on a planet turning at `rotation`), boundary
    states, mass, speed, thrust and glide-slope limits."""
    sc, env = config.spacecraft, config.environment
    r, v = trajectory.positions, trajectory.velocities
    u, sigma, z = trajectory.u_values, trajectory.s_values, trajectory.z_values
    n = len(z)
    dt = trajectory.time_points[1] if n > 1 else 0.0
    g = np.array(env.gravity)
    alpha = sc.fuel_consumption
    rho1 = sc.real_max_thrust * sc.min_thrust_pct
    rho2 = sc.real_max_thrust * sc.max_thrust_pct
    z_ref = np.log(sc.wet_mass - np.arange(n) * (alpha * dt * rho2))

    def relative(residual, *terms):
        size = np.maximum(sum(np.abs(t) for t in terms), 1.0)
        return float(np.max(np.abs(residual) / size))

    def excess(value, limit):
        return float(np.max(np.maximum(value - limit, 0.0) / np.maximum(np.abs(limit) + np.abs(value), 1.0)))

    if rotation is None:
        r_step = r[:-1] + dt * v[:-1] + dt**2 * (u[:-1] / 3 + u[1:] / 6) + dt**2 / 2 * g
        v_step = v[:-1] + dt / 2 * (u[:-1] + u[1:]) + dt * g
    else:
        phi, gamma0, gamma1 = turning_step(rotation, dt)
        x_step = np.hstack([r[:-1], v[:-1]]) @ phi.T + u[:-1] @ gamma0.T + u[1:] @ gamma1.T + g @ (gamma0 + gamma1).T
        r_step, v_step = x_step[:, :3], x_step[:, 3:]
    z_step = z[:-1] - alpha * dt / 2 * (sigma[:-1] + sigma[1:])
    dz = z - z_ref
    checks = [
        relative(r[1:] - r_step, r[1:], r_step),
        relative(v[1:] - v_step, v[1:], v_step),
        relative(z[1:] - z_step, z[1:], z_step),
        relative(r[0] - sc.initial_position, r[0]), relative(v[0] - sc.initial_velocity, v[0]),
        relative(r[-1] - sc.target_position, r[-1]), relative(v[-1] - sc.target_velocity, v[-1]),
        relative(z[0] - math.log(sc.wet_mass), z[0]),
        excess(np.linalg.norm(u, axis=1), sigma),
        excess(np.linalg.norm(v, axis=1), sc.max_velocity),
        excess(sigma, rho2 * np.exp(-z_ref) * (1 - dz)),
        excess(math.log(sc.wet_mass - sc.fuel), z[-1]),
        excess(rho1 * np.exp(-z_ref) * (1 - dz + dz**2 / 2), sigma),
    ]
    sin_gamma = math.sin(math.radians(env.glide_slope_angle_deg))
    checks.append(excess(abs(sin_gamma) * np.linalg.norm(r, axis=1), r[:, 2]) if sin_gamma
                  else excess(-r[:, 2], 0.0))
    return max(checks)

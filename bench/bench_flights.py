"""Closed-loop descents per second: vexal.simulate on the default descent
(10 degree glide slope) at several node counts and re-plan periods, with
the share of the time spent planning (the sum of the plans' wall times);
and a Monte Carlo of the Mars lander's flights (--monte-carlo N) with
seeded thrust, Isp and navigation errors, its landing scatter and figure;
and the Mars lander flown error-free on a turning planet (--rotation), with
the rotation known to the plans and ignored by them, open and closed loop.

    python bench/bench_flights.py [--n 30 50 100] [--periods 1 2] [--flights 5]
    python bench/bench_flights.py --monte-carlo 1000 [--figure dispersion.png] [--out flights.csv] [--published-fuel]
                                  [--sensors realistic]
    python bench/bench_flights.py --rotation [--mc-n 40]
    python bench/bench_flights.py --horizons 12 [--seed 2026]
    python bench/bench_flights.py --engine 20 [--seed 7171]
    python bench/bench_flights.py --navigation 20 [--features] [--sensors realistic] [--seed 4242]
"""
import argparse
import math
import pathlib
import statistics
import sys
import time

import numpy as np

import vexal

# The Mars lander of examples/mars_lander.py, its glide slope and pointing limit.
CANT = math.radians(27.0)
MARS = dict(wet_mass=1905.0, fuel=400.0, real_max_thrust=6 * 3100.0 * math.cos(CANT), min_thrust_pct=0.3,
            max_thrust_pct=0.8, fuel_consumption=1.0 / (225.0 * 9.807 * math.cos(CANT)), max_velocity=500.0 / 3.6,
            initial_position=[2000.0, 0.0, 1500.0], initial_velocity=[80.0, 30.0, -75.0],
            gravity=[0.0, 0.0, -3.7114], glide_slope_angle_deg=4.0, max_angle_deg=40.0, tof_min=40.0, tof_max=100.0)
# Flown, the lander carries a reserve as examples/mars_lander.py does: 120 kg
# more fuel than published (whose 400 kg barely covers its plans);
# --published-fuel flies the published tank.
RESERVE_KG = 120.0
MARS_FLOWN = dict(MARS, fuel=400.0 + RESERVE_KG, wet_mass=1905.0 + RESERVE_KG)
# The Monte Carlo's errors: a thrust bias and an Isp error drawn for each
# flight (one sigma), thrust noise and navigation noise drawn as it flies.
ERRORS = {"thrust_bias": 0.01, "isp_error": 0.01, "thrust_noise": 0.005, "position_noise": 2.0,
          "velocity_noise": 0.2}
STILL = vexal.Sigma(position=0.0, velocity=0.0, wet_mass=0.0, thrust=0.0)  # the start as planned
# A sensor suite of the kind landers fly (--sensors realistic), beside the
# fixes' and velocimeter's noise of the errors: a tactical-grade
# accelerometer (0.002 m/s per sqrt(s), a 1e-3 m/s^2 bias of 1 sigma per
# axis), a radar altimeter of 1 % to 5 km, a velocimeter below 2 km, and
# terrain-relative fixes at 1 Hz that stop 100 m up.
REALISTIC_SENSORS = {"accelerometer_noise": 0.002, "accelerometer_bias": 0.001, "altimeter_noise": 0.01,
                     "altimeter_range": 5000.0, "velocimeter_ceiling": 2000.0, "fix_floor": 100.0, "fix_rate": 1.0}


def monte_carlo(flights: int, n: int, figure: str | None, out: str | None, published: bool = False,
                sensors: dict[str, float] | None = None) -> None:
    """The Mars lander flown `flights` times on the study engine's processes."""
    config = vexal.configured(n=n, **(MARS if published else MARS_FLOWN))
    cases = vexal.flight_dispersions(config, flights, seed=0, sigma=STILL, errors=ERRORS)
    start = time.perf_counter()
    records = vexal.fly_many(cases, executor="processes", out=out, seed=0, progress=False, sensors=sensors)
    seconds = time.perf_counter() - start
    from vexal.commands import closed_loop_summary

    print(f"{flights} Mars flights (n = {n}, re-plan every 2 s) in {seconds:.0f} s ({flights / seconds:.1f}/s)")
    print("  " + closed_loop_summary(records).replace("; ", "\n  "))
    if figure:
        from vexal import plotting

        plotting.save(plotting.plot_landing_dispersion(records, limits=vexal.LandingLimits().__dict__), figure)


# Mars's rotation in the lander's frame (z up, y north, 20.9 degrees north),
# and a larger one: 7.29e-5 rad/s (the Earth's rate) both across and up.
ROTATIONS = {"Mars": (0.0, 6.62e-5, 2.53e-5), "Earth-like": (0.0, 7.29e-5, 7.29e-5)}


def rotation_flights(n: int) -> None:
    print("| rotation | the plans | re-plan period (s) | touchdown error (m) | vertical speed (m/s) | fuel used (kg) |")
    print("|---|---|---:|---:|---:|---:|")
    for name, rotation in ROTATIONS.items():
        for known in (True, False):
            for period in (2.0, 0.0):
                flight = (vexal.simulate(n=n, replan_period=period, rotation=rotation, **MARS) if known else
                          vexal.simulate(n=n, replan_period=period, errors={"rotation_error": rotation}, **MARS))
                f = flight.summary()
                print(f"| {name} {rotation} | {'know it' if known else 'ignore it'} | {period:g} | "
                      f"{figure(f['touchdown_error'])} | {figure(f['touchdown_vertical_speed'])} | "
                      f"{f['fuel_used']:.2f} |")


def figure(value: float | None) -> str:
    """A touchdown figure, or a dash for a flight that never touched down."""
    return "-" if value is None else f"{value:.3f}"


# The errors the re-plan horizons are compared under.
HORIZON_ERRORS = {
    "none": {},
    "thrust -2 %": {"thrust_bias": -0.02},
    "thrust +2 %": {"thrust_bias": 0.02},
    "Isp -3 %, wet mass +1 %": {"isp_error": -0.03, "initial_mass_error": 0.01},  # kg per kg, scaled below
    "thrust noise 1 %, 0.5 deg misalignment": {"thrust_noise": 0.01, "misalignment_deg": 0.5},
    "navigation 1 m, 0.1 m/s": {"position_noise": 1.0, "velocity_noise": 0.1},
}


def random_configs(descents: int, seed: int) -> list[vexal.Config]:
    """The seeded random table of descents (n = 30-60) the tables fly."""
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vexal-py" / "tests"))
    from random_descents import random_descent

    rng = np.random.default_rng(seed)
    return [random_descent(rng, (30, 60))[1] for _ in range(descents)]


def scaled_errors(errors: dict[str, float], config: vexal.Config) -> dict[str, float]:
    """`errors` with the mass errors, given as fractions, turned into kg of
    the configuration's vehicle."""
    drawn = dict(errors)
    sc = config.spacecraft
    if "initial_mass_error" in drawn:
        drawn["initial_mass_error"] *= sc.wet_mass
    if "dry_mass_error" in drawn:
        drawn["dry_mass_error"] *= sc.wet_mass - sc.fuel
    return drawn


def random_cases(descents: int, seed: int,
                 error_sets: dict[str, dict[str, float]]) -> list[tuple[str, vexal.FlightCase]]:
    """Every descent of the random table under every error set, labelled."""
    configs = random_configs(descents, seed)
    return [(name, vexal.FlightCase(config, scaled_errors(errors, config), seed * 1000 + i))
            for name, errors in error_sets.items() for i, config in enumerate(configs)]


def horizons(descents: int, seed: int) -> None:
    """Both re-plan horizons on a seeded random table of descents (n = 30-60),
    each under every error set: touchdown vertical speed median and worst,
    miss median and worst, failed flights."""
    cases = random_cases(descents, seed, HORIZON_ERRORS)
    print(f"| errors ({descents} random descents, seed {seed}) | horizon | vertical speed median / worst (m/s) | "
          "miss median / worst (m) | not down |")
    print("|---|---|---|---|---:|")
    for horizon in ("fixed", "searched"):
        records = vexal.fly_many([case for _, case in cases], executor="processes", progress=False,
                                 replan_horizon=horizon)
        for name in HORIZON_ERRORS:
            mine = [r for (label, _), r in zip(cases, records, strict=True) if label == name]
            down = [r for r in mine if r.touched_down]
            speed = [r.vertical_speed for r in down] or [math.nan]
            miss = [r.touchdown_error for r in down] or [math.nan]
            print(f"| {name} | {horizon} | {np.median(speed):.2f} / {max(speed):.2f} | "
                  f"{np.median(miss):.3f} / {max(miss):.3f} | {len(mine) - len(down)} |")


# The errors of the navigation tables: navigation alone, and everything at once.
NAVIGATION_ERRORS = {
    "none": {},
    "navigation 1 m, 0.1 m/s": {"position_noise": 1.0, "velocity_noise": 0.1},
    "combined": {"thrust_bias": -0.02, "isp_error": -0.03, "thrust_noise": 0.01, "misalignment_deg": 0.5,
                 "initial_mass_error": 0.01, "position_noise": 1.0, "velocity_noise": 0.1},
    "gravity +5 %, navigation 1 m, 0.1 m/s": {"gravity_error": 0.05, "position_noise": 1.0, "velocity_noise": 0.1},
    "gravity -5 %, navigation 1 m, 0.1 m/s": {"gravity_error": -0.05, "position_noise": 1.0, "velocity_noise": 0.1},
}
# Guidance without the filter, tracking and gate, with each alone, and with all.
FEATURES = {
    "none (raw navigation, no tracking, no gate)": {"navigation": "raw", "control_rate": 0.0, "terminal_height": 0.0},
    "filter": {"navigation": "filter", "control_rate": 0.0, "terminal_height": 0.0},
    "tracking": {"navigation": "raw", "control_rate": 10.0, "terminal_height": 0.0},
    "gate": {"navigation": "raw", "control_rate": 0.0, "terminal_height": 5.0},
    "all (the default)": {},
}


def navigation_tables(descents: int, seed: int, features: bool, sensors: dict[str, float]) -> None:
    """The default guidance (or each of its features, `features`) on a seeded
    random table of descents (n = 30-60) under each error set of
    NAVIGATION_ERRORS: touchdown speeds, miss, the flights within the
    default limits (2 m/s down, 1 m/s across) and the fuel over the first plan."""
    cases = random_cases(descents, seed, NAVIGATION_ERRORS)
    print(f"| errors ({descents} random descents, seed {seed}) | guidance | vertical median / worst (m/s) | "
          "horizontal median / worst (m/s) | miss median / worst (m) | within 2 and 1 m/s | fuel over plan "
          "median / worst |")
    print("|---|---|---|---|---|---:|---|")
    for label, options in (FEATURES.items() if features else [("default", {})]):
        records = vexal.fly_many([case for _, case in cases], executor="processes", progress=False,
                                 sensors=sensors, **options)
        for name in NAVIGATION_ERRORS:
            mine = [r for (tag, _), r in zip(cases, records, strict=True) if tag == name]
            flown = [r for r in mine if r.touched_down]
            down = [r.vertical_speed for r in flown]
            across = [r.horizontal_speed for r in flown]
            miss = [r.touchdown_error for r in flown]
            over = [100.0 * (r.fuel_used / r.planned_fuel - 1.0) for r in flown]
            within = sum(1 for r in flown if r.vertical_speed <= 2.0 and r.horizontal_speed <= 1.0)
            if not flown:
                print(f"| {name} | {label} | none touched down |  |  | 0 of {len(mine)} |  |")
                continue
            print(f"| {name} | {label} | {np.median(down):.2f} / {max(down):.2f} | "
                  f"{np.median(across):.2f} / {max(across):.2f} | {np.median(miss):.3f} / {max(miss):.3f} | "
                  f"{within} of {len(mine)} | {np.median(over):.1f} / {max(over):.1f} % |")


# The engine and mass errors of the engine table: kg entries are fractions
# of the wet (fuel load) or dry mass, scaled per descent.
ENGINE_ERRORS = {
    "none": {},
    "thrust +2 %, fixed horizon": {"thrust_bias": 0.02},
    "thrust -2 %, fixed horizon": {"thrust_bias": -0.02},
    "fuel load +1 % of the wet mass": {"initial_mass_error": 0.01},
    "dry mass +2 %": {"dry_mass_error": 0.02},
    "a quarter of the thrust lost at 10 s": {"thrust_loss": 0.25, "thrust_loss_time": 10.0},
    "half the thrust lost at 10 s": {"thrust_loss": 0.5, "thrust_loss_time": 10.0},
    "half the thrust lost at 25 s": {"thrust_loss": 0.5, "thrust_loss_time": 25.0},
}


def engine_table(descents: int, seed: int) -> None:
    """The default guidance on a seeded random table of descents (n = 30-60)
    under each of ENGINE_ERRORS (the "fixed horizon" rows with
    replan_horizon="fixed"): how the flights ended, touchdown speeds and miss
    over those that touched down, and the flights that took a nearest
    landing."""
    configs = random_configs(descents, seed)
    print(f"| errors ({descents} random descents, seed {seed}) | landed / hard / time limit / no plan | "
          "vertical median / worst (m/s) | horizontal median / worst (m/s) | miss median / worst (m) | "
          "nearest landings |")
    print("|---|---|---|---|---|---:|")
    for name, errors in ENGINE_ERRORS.items():
        flights = []
        for i, config in enumerate(configs):
            drawn = scaled_errors(errors, config)
            horizon = "fixed" if "fixed" in name else "searched"
            flights.append(vexal.simulate(config, errors=drawn, seed=seed * 1000 + i, replan_horizon=horizon))
        counts = [sum(f.outcome == o for f in flights) for o in ("landed", "hard_landing", "time_limit", "no_plan")]
        down = [f.touchdown for f in flights if f.touchdown is not None]
        nearest = sum(any(p["source"] == "nearest" for p in f.plans) for f in flights)
        if not down:
            print(f"| {name} | {' / '.join(map(str, counts))} | | | | {nearest} |")
            continue
        vertical = [d.vertical_speed for d in down]
        horizontal = [d.horizontal_speed for d in down]
        miss = [d.miss for d in down]
        print(f"| {name} | {' / '.join(map(str, counts))} | {np.median(vertical):.2f} / {max(vertical):.2f} | "
              f"{np.median(horizontal):.2f} / {max(horizontal):.2f} | {np.median(miss):.3f} / {max(miss):.3f} | "
              f"{nearest} |")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[30, 50, 100])
    parser.add_argument("--periods", type=float, nargs="+", default=[1.0, 2.0])
    parser.add_argument("--flights", type=int, default=5, help="seeded flights per row")
    parser.add_argument("--monte-carlo", type=int, metavar="FLIGHTS", help="fly the Mars lander this many times")
    parser.add_argument("--mc-n", type=int, default=40, help="node count of the Monte Carlo's plans")
    parser.add_argument("--figure", help="the Monte Carlo's figure")
    parser.add_argument("--out", help="the Monte Carlo's table (CSV), resumable")
    parser.add_argument("--published-fuel", action="store_true",
                        help="fly the Monte Carlo with the published 400 kg of fuel, without the reserve")
    parser.add_argument("--rotation", action="store_true", help="fly the Mars lander on a turning planet")
    parser.add_argument("--horizons", type=int, metavar="DESCENTS",
                        help="compare the re-plan horizons on this many seeded random descents")
    parser.add_argument("--navigation", type=int, metavar="DESCENTS",
                        help="fly this many seeded random descents with navigation and combined errors")
    parser.add_argument("--features", action="store_true",
                        help="with --navigation: without the filter, tracking and gate, with each, and with all")
    parser.add_argument("--sensors", choices=("perfect", "realistic"), default="perfect",
                        help="with --navigation and --monte-carlo: the sensor suite (realistic: REALISTIC_SENSORS)")
    parser.add_argument("--engine", type=int, metavar="DESCENTS",
                        help="fly this many seeded random descents under engine faults and mass errors")
    parser.add_argument("--seed", type=int, default=2026, help="the random table's seed")
    args = parser.parse_args()
    sensors = REALISTIC_SENSORS if args.sensors == "realistic" else {}
    if args.navigation:
        navigation_tables(args.navigation, args.seed, args.features, sensors)
        return
    if args.engine:
        engine_table(args.engine, args.seed)
        return
    if args.horizons:
        horizons(args.horizons, args.seed)
        return
    if args.rotation:
        rotation_flights(args.mc_n)
        return
    if args.monte_carlo:
        monte_carlo(args.monte_carlo, args.mc_n, args.figure, args.out, args.published_fuel, sensors)
        return
    errors = {"thrust_noise": 0.01, "position_noise": 1.0, "velocity_noise": 0.1}
    print("| n | re-plan period (s) | flights/s | plans per flight | planning share | touchdown error (m) |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in args.n:
        for period in args.periods:
            seconds, planning, plans, misses = [], [], [], []
            for seed in range(args.flights):
                start = time.perf_counter()
                flight = vexal.simulate(n=n, glide_slope_angle_deg=10.0, replan_period=period, errors=errors,
                                        seed=seed)
                seconds.append(time.perf_counter() - start)
                planning.append(sum(p["seconds"] for p in flight.plans))
                plans.append(len(flight.plans))
                misses.append(flight.touchdown_error if flight.touchdown_error is not None else math.nan)
            print(f"| {n} | {period:g} | {len(seconds) / sum(seconds):.2f} | {statistics.mean(plans):.1f} | "
                  f"{100 * sum(planning) / sum(seconds):.0f} % | {statistics.median(misses):.3f} (median) |")


if __name__ == "__main__":
    main()

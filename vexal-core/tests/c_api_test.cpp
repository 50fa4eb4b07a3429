#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "c_api.hpp"
#include "c_api_smoke.h"
#include "vexal/json.hpp"
#include "vexal/memory.hpp"
#include "vexal/vexal.h"
#include "vexal/vexal.hpp"

namespace vexal {
namespace {

// The C structs carry every field of the records, each to its own place,
// and the defaults are the records' own; the C compiler lays them out as
// the C++ one does.
TEST(CApi, ConfigAndOptionsAreTheCoresRecords) {
    vexal_config from_c;
    std::uint64_t sizes[3];
    EXPECT_EQ(c_api_smoke(&from_c, sizes), VEXAL_ERROR_INVALID_INPUT);
    EXPECT_EQ(sizes[0], sizeof(vexal_config));
    EXPECT_EQ(sizes[1], sizeof(vexal_plan_options));
    EXPECT_EQ(sizes[2], sizeof(vexal_plan_summary));
    EXPECT_EQ(to_json(c_api::to_core(from_c)), to_json(Config{}));
    EXPECT_FALSE(from_c.solver.has_time_of_flight || from_c.solver.has_tof_min || from_c.solver.has_tof_max);

    // A distinct value in every field, read through the C entry.
    const char* text = R"({"spacecraft": {"wet_mass": 1.5, "fuel": 2.5, "real_max_thrust": 3.5,
        "min_thrust_pct": 4.5, "max_thrust_pct": 5.5, "max_velocity": 6.5, "initial_position": [7, 8, 9],
        "initial_velocity": [10, 11, 12], "target_velocity": [13, 14, 15], "target_position": [16, 17, 18],
        "fuel_consumption": 19.5}, "environment": {"gravity": [20, 21, 22], "glide_slope_angle_deg": 23.5,
        "max_angle_deg": 24.5}, "solver": {"n": 25, "time_of_flight": 26.5, "tof_min": 27.5, "tof_max": 28.5}})";
    vexal_config c;
    vexal_error error;
    ASSERT_EQ(vexal_config_from_json(text, &c, &error), VEXAL_OK) << error.message;
    EXPECT_EQ(error.code, VEXAL_OK);
    const auto& s = c.spacecraft;
    const auto& e = c.environment;
    const double got[] = {s.wet_mass, s.fuel, s.real_max_thrust, s.min_thrust_pct, s.max_thrust_pct,
                          s.max_velocity, s.initial_position[0], s.initial_position[1], s.initial_position[2],
                          s.initial_velocity[0], s.initial_velocity[1], s.initial_velocity[2],
                          s.target_velocity[0], s.target_velocity[1], s.target_velocity[2],
                          s.target_position[0], s.target_position[1], s.target_position[2], s.fuel_consumption,
                          e.gravity[0], e.gravity[1], e.gravity[2], e.glide_slope_angle_deg, e.max_angle_deg,
                          static_cast<double>(c.solver.n), c.solver.time_of_flight, c.solver.tof_min,
                          c.solver.tof_max};
    for (std::size_t i = 0; i < std::size(got); ++i) {
        const bool half = i < 6 || i == 18 || i == 22 || i == 23 || i >= 25;
        EXPECT_EQ(got[i], static_cast<double>(i + 1) + (half ? 0.5 : 0.0)) << "field " << i;
    }
    EXPECT_TRUE(c.solver.has_time_of_flight && c.solver.has_tof_min && c.solver.has_tof_max);
    EXPECT_EQ(to_json(c_api::to_core(c)), to_json(*from_json(text)));

    vexal_plan_options o;
    vexal_plan_options_default(&o);
    const PlanOptions d;
    const auto core = c_api::to_core(o);
    ASSERT_TRUE(core.has_value());
    EXPECT_EQ(core->search, d.search);
    EXPECT_EQ(core->tolerance, d.tolerance);
    EXPECT_EQ(core->pointing, d.pointing);
    EXPECT_EQ(core->nearest_landing, d.nearest_landing);
    EXPECT_EQ(core->landing_tolerance, d.landing_tolerance);
    EXPECT_EQ(core->threads, d.threads);
    EXPECT_EQ(core->rotation, d.rotation);
    EXPECT_EQ(core->solver, d.solver);
    o.solver = VEXAL_SOLVER_STRUCTURED;
    EXPECT_EQ(c_api::to_core(o)->solver, SolverChoice::structured);
}

// Through the C entry, the plan is vexal::plan's, bit for bit: the search
// with the defaults, and one solve at a fixed horizon without the pointing
// limit.
TEST(CApi, PlansAsTheFrontDoorBitForBit) {
    struct Case {
        const char* name;
        std::uint64_t n;
        double time_of_flight;  // 0: search
        bool pointing;
    };
    for (const Case& k : {Case{"default descent", 100, 0.0, true}, Case{"fixed horizon", 40, 50.0, false}}) {
        SCOPED_TRACE(k.name);
        vexal_config c;
        vexal_config_default(&c);
        c.solver.n = k.n;
        c.solver.has_time_of_flight = k.time_of_flight > 0.0;
        c.solver.time_of_flight = k.time_of_flight;
        vexal_plan_options o;
        vexal_plan_options_default(&o);
        o.pointing = k.pointing;
        // The progress hook sees every solve, in order, and the best mass so far.
        std::vector<std::pair<std::uint32_t, double>> reported;
        o.user = &reported;
        o.progress = [](void* user, std::uint32_t solves, std::int32_t has_best, double best) {
            static_cast<std::vector<std::pair<std::uint32_t, double>>*>(user)->emplace_back(solves,
                                                                                           has_best ? best : 0.0);
        };

        vexal_error error;
        vexal_planner* planner = vexal_planner_create(k.n, &error);
        ASSERT_NE(planner, nullptr) << error.message;
        vexal_plan_summary summary;
        const int code = vexal_plan(planner, &c, &o, &summary, &error);
        std::vector<double> time(k.n), position(3 * k.n), velocity(3 * k.n), thrust(3 * k.n), mass(k.n);
        const int read = vexal_planner_read(planner, time.data(), position.data(), velocity.data(), thrust.data(),
                                            mass.data(), k.n, &error);
        vexal_planner_destroy(planner);
        ASSERT_EQ(code, VEXAL_OK) << error.message;
        ASSERT_EQ(read, VEXAL_OK) << error.message;

        PlanOptions options;
        options.pointing = k.pointing;
        const auto p = plan(c_api::to_core(c), options);
        ASSERT_TRUE(p.has_value()) << p.error().message;
        const Trajectory& t = p->trajectory;
        EXPECT_EQ(summary.status, VEXAL_STATUS_SOLVED);
        EXPECT_EQ(summary.final_mass, t.final_mass);
        EXPECT_EQ(summary.time_of_flight, t.time_of_flight);
        EXPECT_EQ(summary.touchdown_time, p->touchdown_time);
        EXPECT_EQ(summary.solves, p->solves);
        EXPECT_EQ(summary.fallbacks, p->fallbacks);
        EXPECT_EQ(summary.pointing_limit, p->pointing_limit);
        EXPECT_EQ(summary.landing_error, t.landing_error);
        EXPECT_EQ(summary.n, k.n);
        EXPECT_EQ(time, t.time_points);
        for (std::uint64_t i = 0; i < k.n; ++i) {
            for (int j = 0; j < 3; ++j) {
                ASSERT_EQ(position[3 * i + j], t.positions[i][j]) << i;
                ASSERT_EQ(velocity[3 * i + j], t.velocities[i][j]) << i;
                ASSERT_EQ(thrust[3 * i + j], t.u_values[i][j]) << i;
            }
            ASSERT_EQ(mass[i], std::exp(t.z_values[i])) << i;
        }
        EXPECT_EQ(mass.back(), t.final_mass);
        ASSERT_EQ(reported.size(), summary.solves);
        for (std::size_t i = 0; i < reported.size(); ++i) EXPECT_EQ(reported[i].first, i + 1);
        EXPECT_GE(reported.back().second, summary.final_mass);
    }
}

// Every failure is a code and the core's message; the rows run in order on
// one planner of 20 nodes, whose last plan each row may change.
TEST(CApi, FailuresAreCodesWithTheMessage) {
    vexal_config good;
    vexal_config_default(&good);
    good.solver.n = 20;
    vexal_planner* planner = vexal_planner_create(20, nullptr);
    ASSERT_NE(planner, nullptr);
    std::vector<double> out(3 * 20, -1.0);
    const auto read = [&](std::uint64_t capacity, vexal_error* error) {
        return vexal_planner_read(planner, out.data(), out.data(), nullptr, nullptr, nullptr, capacity, error);
    };
    const auto planned = [&](std::function<void(vexal_config&, vexal_plan_options&)> change) {
        return [&, change](vexal_error* error) {
            vexal_config c = good;
            vexal_plan_options o;
            vexal_plan_options_default(&o);
            change(c, o);
            return vexal_plan(planner, &c, &o, nullptr, error);
        };
    };
    const char* bad_json = R"({"spacecraft": {"fuel": "lots"}})";
    const std::string long_text = std::string(510, 'a') + "\xc3\xa9" + std::string(100, 'b');
    struct Row {
        const char* name;
        std::function<int(vexal_error*)> call;
        int code;
        std::string message;
    };
    const Row rows[] = {
        {"a planner of no nodes",
         [](vexal_error* e) -> int {
             if (!vexal_planner_create(0, e)) return e ? e->code : VEXAL_ERROR_INVALID_INPUT;
             return VEXAL_OK;
         },
         VEXAL_ERROR_INVALID_INPUT, check_node_count(0).error().message},
        {"no planner", [&](vexal_error* e) { return vexal_plan(nullptr, &good, nullptr, nullptr, e); },
         VEXAL_ERROR_NULL_ARGUMENT, "planner is NULL"},
        {"no config", [&](vexal_error* e) { return vexal_plan(planner, nullptr, nullptr, nullptr, e); },
         VEXAL_ERROR_NULL_ARGUMENT, "config is NULL"},
        {"JSON that is not a configuration",
         [&](vexal_error* e) {
             vexal_config c = good;
             const int code = vexal_config_from_json(bad_json, &c, e);
             EXPECT_EQ(to_json(c_api::to_core(c)), to_json(c_api::to_core(good))) << "written on failure";
             return code;
         },
         VEXAL_ERROR_JSON, from_json(bad_json).error().message},
        {"negative fuel", planned([](vexal_config& c, vexal_plan_options&) { c.spacecraft.fuel = -100.0; }),
         VEXAL_ERROR_INVALID_INPUT,
         "spacecraft.fuel must be at least 0 and less than spacecraft.wet_mass (2000.0), got -100.0"},
        {"a search outside the enum", planned([](vexal_config&, vexal_plan_options& o) { o.search = 7; }),
         VEXAL_ERROR_INVALID_INPUT, "search must be VEXAL_SEARCH_FAST (0) or VEXAL_SEARCH_GOLDEN (1), got 7"},
        {"a negative landing tolerance",
         planned([](vexal_config&, vexal_plan_options& o) { o.landing_tolerance = -1.0; }),
         VEXAL_ERROR_INVALID_INPUT, "landing_tolerance must be a finite number of metres, at least 0, got -1.0"},
        {"a solver outside the enum", planned([](vexal_config&, vexal_plan_options& o) { o.solver = -1; }),
         VEXAL_ERROR_INVALID_INPUT, "solver must be VEXAL_SOLVER_CLARABEL (0) or VEXAL_SOLVER_STRUCTURED (1), got -1"},
        {"another node count", planned([](vexal_config& c, vexal_plan_options&) { c.solver.n = 30; }),
         VEXAL_ERROR_NODE_COUNT, "solver.n is 30 but the planner is for 20 nodes"},
        {"reading before any plan", [&](vexal_error* e) { return read(20, e); }, VEXAL_ERROR_NO_PLAN,
         "the planner holds no plan"},
        {"a plan", planned([](vexal_config&, vexal_plan_options&) {}), VEXAL_OK, ""},
        {"arrays a node short",
         [&](vexal_error* e) {
             const int code = read(19, e);
             EXPECT_EQ(out, std::vector<double>(3 * 20, -1.0)) << "written though refused";
             return code;
         },
         VEXAL_ERROR_CAPACITY, "the arrays hold 19 nodes but the plan has 20"},
        {"an unreachable target names the C option",
         planned([](vexal_config& c, vexal_plan_options&) {
             c.solver.has_tof_min = c.solver.has_tof_max = 1;
             c.solver.tof_min = 5.0;
             c.solver.tof_max = 20.0;
         }),
         VEXAL_ERROR_INFEASIBLE,
         "no trajectory reaches the target with a time of flight in [5.000 s, 20.000 s]; the nearest landing "
         "(vexal_plan_options.nearest_landing) comes as close as it can"},
        {"reading after a failed plan", [&](vexal_error* e) { return read(20, e); }, VEXAL_ERROR_NO_PLAN,
         "the planner holds no plan"},
        {"a stop hook that says stop", planned([](vexal_config&, vexal_plan_options& o) {
             o.stop = [](void*) { return 1; };
         }),
         VEXAL_ERROR_INTERRUPTED, "interrupted"},
        {"a message longer than the buffer, cut before a whole character",
         [&](vexal_error* e) { return c_api::report(e, VEXAL_ERROR_INTERNAL, long_text); }, VEXAL_ERROR_INTERNAL,
         std::string(510, 'a')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vexal_error error;
        std::memset(&error, 'x', sizeof error);
        EXPECT_EQ(row.call(&error), row.code);
        EXPECT_EQ(error.code, row.code);
        EXPECT_EQ(std::string(error.message), row.message);
        EXPECT_EQ(row.call(nullptr), row.code) << "without an error struct";
    }
    vexal_planner_destroy(planner);
    vexal_planner_destroy(nullptr);

    // Each code has a name of its own; a kind's is the core's.
    for (int code = VEXAL_OK; code <= VEXAL_ERROR_INTERNAL; ++code) {
        for (int other = VEXAL_OK; other < code; ++other) EXPECT_STRNE(vexal_code_name(code), vexal_code_name(other));
        EXPECT_STRNE(vexal_code_name(code), "unknown") << code;
    }
    EXPECT_STREQ(vexal_code_name(VEXAL_ERROR_INTERNAL + 1), "unknown");
    for (ErrorKind kind : {ErrorKind::invalid_input, ErrorKind::infeasible, ErrorKind::solver_status,
                           ErrorKind::solver_construction, ErrorKind::json, ErrorKind::interrupted}) {
        EXPECT_STREQ(vexal_code_name(c_api::code_of(kind)), kind_name(kind));
    }
}

// What the process has mapped, bytes: an address-space limit counts from it.
std::uint64_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// `body` in a child process under an alarm; its exit status, or 1000 plus
// the signal that ended it (an abort, a hang past the alarm).
int in_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Under an address-space limit the C API answers with a code, never by
// ending its caller: a planner that cannot fit beside the one its caller
// keeps is refused at once (waiting would be for ever), and a plan whose
// solver cannot have its memory is out of memory, whatever the room left.
TEST(CApi, UnderAnAddressSpaceLimitEveryAnswerIsACode) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory fills the address space";
#endif
    constexpr std::uint64_t n = 2000;
    const auto limit_room = [](std::uint64_t room) {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = mapped_bytes() + room;
        return setrlimit(RLIMIT_AS, &limit) == 0;
    };
    // Room for one planner and half of another.
    EXPECT_EQ(in_child([&] {
                  if (!limit_room(3 * n * (kBytesPerNode + kWorkspaceBytesPerNode) / 2)) return 1;
                  vexal_planner* kept = vexal_planner_create(n, nullptr);
                  if (!kept) return 2;
                  vexal_error error;
                  if (vexal_planner_create(n, &error)) return 3;
                  const bool named = std::string(error.message).find("beside the planners kept") != std::string::npos;
                  return error.code == VEXAL_ERROR_INVALID_INPUT && named ? 0 : 4;
              }),
              0);
    // From no room at all to about what a plan on Clarabel takes, above a
    // planner already made: a plan, or out of memory.
    for (const int solver : {VEXAL_SOLVER_CLARABEL, VEXAL_SOLVER_STRUCTURED}) {
        for (std::uint64_t room = 0; room <= n * kBytesPerNode; room += n * kBytesPerNode / 4) {
            SCOPED_TRACE(std::to_string(room >> 20) + " MiB left, solver " + std::to_string(solver));
            const int code = in_child([&] {
                vexal_planner* planner = vexal_planner_create(n, nullptr);
                vexal_config config;
                vexal_config_default(&config);
                config.solver.n = n;
                config.solver.has_time_of_flight = 1;
                config.solver.time_of_flight = 50.0;
                vexal_plan_options options;
                vexal_plan_options_default(&options);
                options.threads = 1;
                options.solver = solver;
                if (!planner || !limit_room(room)) return 100;
                return vexal_plan(planner, &config, &options, nullptr, nullptr);
            });
            EXPECT_TRUE(code == VEXAL_OK || code == VEXAL_ERROR_OUT_OF_MEMORY) << "ended with " << code;
        }
    }
}

}  // namespace
}  // namespace vexal

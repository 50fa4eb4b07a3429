// A plan through a built workspace allocates nothing: every allocation of
// the process (operator new and malloc, through glibc's own entries) is
// counted while the plans run. Its own binary, since it replaces the
// allocator, and never under AddressSanitizer, which replaces it too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "vexal/guidance.hpp"
#include "vexal/guidance.hpp"
#include "vexal/vexal.h"
#include "vexal/vexal.hpp"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* counted(void* p) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    return p;
}

}  // namespace

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) { return counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }
void* realloc(void* p, std::size_t size) { return counted(__libc_realloc(p, size)); }
void free(void* p) { __libc_free(p); }
}
#endif

// Every form of operator new comes through here (malloc counts it).
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new(std::size_t size, std::align_val_t align) {
    const std::size_t a = static_cast<std::size_t>(align);
    if (void* p = counted(std::aligned_alloc(a, (size + a - 1) / a * a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return ::operator new(size, align); }
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    const std::size_t a = static_cast<std::size_t>(align);
    return counted(std::aligned_alloc(a, (size + a - 1) / a * a));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, align, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace vexal {
namespace {

TEST(AllocationFree, PlansThroughAWorkspace) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer replaces the allocator";
#endif
    constexpr std::uint64_t n = 40;
    struct Case {
        const char* name;
        double glide_slope_deg;
        bool pointing;
        std::optional<double> time_of_flight;
        double target_x;
        bool nearest_landing;
        bool warmed;  // planned once before: its programs' solvers are built by the first plan
    };
    const Case cases[] = {
        {"fast search", 0.0, true, std::nullopt, 0.0, false, false},
        {"10 degree glide slope", 10.0, true, std::nullopt, 0.0, false, false},
        {"fixed horizon", 0.0, true, 50.0, 0.0, false, false},
        {"pointing limit off", 0.0, false, std::nullopt, 0.0, false, false},
        {"nearest landing, target out of reach", 0.0, true, std::nullopt, 3000.0, true, true},
    };
    auto workspace = PlanWorkspace::build(n);
    ASSERT_TRUE(workspace) << workspace.error().message;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config config;
        config.solver.n = n;
        config.solver.time_of_flight = k.time_of_flight;
        config.environment.glide_slope_angle_deg = k.glide_slope_deg;
        config.spacecraft.target_position[0] = k.target_x;
        PlanOptions options;
        options.solver = SolverChoice::structured;
        options.threads = 1;
        options.pointing = k.pointing;
        options.nearest_landing = k.nearest_landing;
        if (k.warmed) {
            ASSERT_TRUE(plan(config, options, {}, *workspace));
        }

        allocations = 0;
        counting = true;
        const auto planned = plan(config, options, {}, *workspace);
        counting = false;
        ASSERT_TRUE(planned) << planned.error().message;
        EXPECT_EQ(allocations.load(), 0);

        const auto reference = plan(config, options);
        ASSERT_TRUE(reference);
        const Plan& p = **planned;
        EXPECT_EQ(p.trajectory.final_mass, reference->trajectory.final_mass);
        EXPECT_EQ(p.trajectory.time_of_flight, reference->trajectory.time_of_flight);
        EXPECT_EQ(p.trajectory.positions, reference->trajectory.positions);
        EXPECT_EQ(p.solves, reference->solves);
        EXPECT_EQ(p.fallbacks, 0u);
    }
}

// The C planner, with its callbacks set: the same from flight software.
TEST(AllocationFree, PlansThroughTheCPlanner) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer replaces the allocator";
#endif
    vexal_error error{};
    vexal_planner* planner = vexal_planner_create(40, &error);
    ASSERT_NE(planner, nullptr) << error.message;
    vexal_config config;
    vexal_config_default(&config);
    config.solver.n = 40;
    vexal_plan_options options;
    vexal_plan_options_default(&options);
    options.solver = VEXAL_SOLVER_STRUCTURED;
    options.threads = 1;
    unsigned progress = 0;
    options.user = &progress;
    options.stop = [](void*) { return 0; };
    options.progress = [](void* user, uint32_t, int32_t, double) { ++*static_cast<unsigned*>(user); };
    vexal_plan_summary summary{};
    allocations = 0;
    counting = true;
    const int code = vexal_plan(planner, &config, &options, &summary, &error);
    counting = false;
    EXPECT_EQ(code, VEXAL_OK) << error.message;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(progress, summary.solves);
    vexal_planner_destroy(planner);
}

// A flight's re-plans allocate nothing once the first has sized its
// workspace: an error-free flight that re-plans every 2 s to the end (each
// at the time left) allocates no more than the same flight that stops
// re-planning after its first, give or take what flying a few steps more or
// less allocates: less than one allocation a re-plan. (A re-plan that built
// a solver, or solved in buffers of its own, allocates dozens.)
TEST(AllocationFree, ReplansOfAFlight) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer replaces the allocator";
#endif
    Config config;
    config.solver.n = 40;
    GuidanceOptions every;
    every.thrust_margin = 0.05;
    const auto counted_flight = [&](const GuidanceOptions& options, Flight& flight) {
        allocations = 0;
        counting = true;
        flight = simulate(config, options);
        counting = false;
        return allocations.load();
    };
    Flight all, once;
    const long replanning = counted_flight(every, all);
    GuidanceOptions first_only = every;
    first_only.final_hold = all.first_plan.time_points.back() - 3.0;  // the re-plan at 2 s only
    const long first = counted_flight(first_only, once);
    ASSERT_EQ(all.outcome, FlightOutcome::landed);
    ASSERT_LE(once.plans.size(), 3u);
    ASSERT_GT(all.plans.size(), 20u);
    EXPECT_LT(replanning, first + static_cast<long>(all.plans.size()));
}

}  // namespace
}  // namespace vexal

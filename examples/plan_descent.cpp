// Plans a descent through the C++ front door and prints a short summary:
// the default descent, or the one a JSON configuration file describes (the
// form vexal writes, e.g. examples/glide_slope.json). The same job from
// Python: examples/plan_descent.py.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "vexal/vexal.hpp"

namespace {

constexpr const char* kUsage =
    "usage: plan_descent [--nearest] [--golden] [--solver NAME] [CONFIG.json]\n"
    "\n"
    "Plans the descent CONFIG.json describes (default: the default lander), searching the\n"
    "time of flight unless the file sets one, with the pointing limit in force.\n"
    "  --nearest  when the target cannot be reached, land as near to it as possible\n"
    "  --golden   the reference golden-section search instead of the fast one\n"
    "  --solver NAME\n"
    "             the fast search's solver: clarabel or structured\n"
    "  --help     this text\n";

int usage_error(const char* why, std::string_view what) {
    std::fprintf(stderr, "plan_descent: %s: %.*s\n%s", why, static_cast<int>(what.size()), what.data(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vexal::PlanOptions options;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--nearest") {
            options.nearest_landing = true;
        } else if (arg == "--golden") {
            options.search = vexal::SearchMode::golden;
        } else if (arg == "--solver") {
            if (i + 1 == argc) return usage_error("--solver needs a NAME", "clarabel or structured");
            const std::string_view name = argv[++i];
            if (name == "clarabel") {
                options.solver = vexal::SolverChoice::clarabel;
            } else if (name == "structured") {
                options.solver = vexal::SolverChoice::structured;
            } else {
                return usage_error("unknown solver", name);
            }
        } else if (arg.starts_with("-")) {
            return usage_error("unknown option", arg);
        } else if (path) {
            return usage_error("more than one configuration", arg);
        } else {
            path = argv[i];
        }
    }

    vexal::Config config;  // the default lander, no time of flight: search
    if (path) {
        std::ifstream file(path);
        std::ostringstream text;
        if (!(file && text << file.rdbuf())) {
            std::fprintf(stderr, "plan_descent: cannot read %s\n", path);
            return 1;
        }
        auto read = vexal::from_json(text.str());
        if (!read) {
            std::fprintf(stderr, "plan_descent: %s: %s\n", path, read.error().message.c_str());
            return 1;
        }
        config = *read;
    }

    vexal::PlanHooks hooks;
    hooks.nearest_landing_option = "--nearest";  // named in the message of an unreachable target
    const auto plan = vexal::plan(config, options, hooks);
    if (!plan) {
        std::fprintf(stderr, "plan_descent: %s\n", plan.error().message.c_str());
        return 1;
    }
    const vexal::Trajectory& t = plan->trajectory;
    std::printf("status          %s\n", t.status.c_str());
    std::printf("time of flight  %.3f s (touchdown at %.3f s)\n", t.time_of_flight, plan->touchdown_time);
    std::printf("final mass      %.3f kg\n", t.final_mass);
    std::printf("fuel used       %.3f kg\n", config.spacecraft.wet_mass - t.final_mass);
    std::printf("landing error   %.3f m\n", t.landing_error);
    std::printf("pointing limit  %s\n", plan->pointing_limit ? "in force" : "none");
    std::printf("solves          %u (%u fallbacks)\n", plan->solves, plan->fallbacks);
    return 0;
}

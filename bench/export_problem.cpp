// Writes the assembled program of the default lander (time of flight 50 s)
// as JSON, so that other solver front ends can be timed on the same matrices:
//
//   build/bench/export_problem 1000 [time_of_flight] [config.json] [--scaled] > /tmp/problem-1000.json
//   python3 bench/compare_clarabel_python.py /tmp/problem-1000.json
//
// With --scaled (anywhere among the arguments) the program is written as the
// planner hands it to the solver: scaled by program_scaling, so q'x is the
// same optimum but the columns are the solver's x~ (x = D x~). Without it,
// the program as assembled.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "vexal/accuracy.hpp"
#include "vexal/assemble.hpp"
#include "vexal/json.hpp"
#include "vexal/memory.hpp"

namespace {

template <class T>
void array(std::string& out, const char* name, const std::vector<T>& v) {
    out += '"';
    out += name;
    out += "\": [";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) out += ',';
        if constexpr (std::is_floating_point_v<T>) {
            vexal::append_float(out, v[i]);
        } else {
            out += std::to_string(v[i]);
        }
    }
    out += "]";
}

}  // namespace

int main(int argc, char** argv) {
    // The positional arguments, in order, once the flag is taken out.
    bool scale = false;
    std::vector<const char*> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--scaled") {
            scale = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    vexal::Config config;
    if (args.size() > 2) {
        std::ifstream in(args[2]);
        std::stringstream text;
        text << in.rdbuf();
        auto read = vexal::from_json(text.str());
        if (!read) {
            std::fprintf(stderr, "%s: %s\n", args[2], read.error().message.c_str());
            return 1;
        }
        config = *read;
    }
    config.solver.n = args.size() > 0 ? std::strtoull(args[0], nullptr, 10) : 100;
    config.solver.time_of_flight = args.size() > 1 ? std::strtod(args[1], nullptr) : 50.0;
    if (auto ok = vexal::check_node_count(config.solver.n); !ok) {
        std::fprintf(stderr, "%s\n", ok.error().message.c_str());
        return 1;
    }
    const double time_of_flight = *config.solver.time_of_flight;
    vexal::Problem problem = vexal::assemble(config, time_of_flight);
    if (scale) problem = vexal::scaled(problem, vexal::program_scaling(config, time_of_flight, problem));
    std::vector<std::uint64_t> kinds, dims;
    for (const auto& c : problem.cones) {
        kinds.push_back(static_cast<std::uint64_t>(c.kind));
        dims.push_back(c.dim);
    }
    std::string out = "{\"m\": " + std::to_string(problem.a.m) + ", \"n\": " + std::to_string(problem.a.n) + ", ";
    array(out, "colptr", problem.a.colptr);
    out += ", ";
    array(out, "rowval", problem.a.rowval);
    out += ", ";
    array(out, "nzval", problem.a.nzval);
    out += ", ";
    array(out, "q", problem.q);
    out += ", ";
    array(out, "b", problem.b);
    out += ", ";
    array(out, "cone_kinds", kinds);
    out += ", ";
    array(out, "cone_dims", dims);
    out += "}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

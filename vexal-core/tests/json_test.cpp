// The JSON text form of a Config: exact layout, float format, acceptance and
// every failure message with its position.
#include "vexal/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using vexal::Config;
using vexal::from_json;
using vexal::to_json;

std::string format(double v) {
    std::string out;
    vexal::append_float(out, v);
    return out;
}

// Every field's exact bits, for comparing configurations.
std::vector<std::uint64_t> bits(const Config& c) {
    std::vector<std::uint64_t> out;
    auto add = [&](double v) { out.push_back(std::bit_cast<std::uint64_t>(v)); };
    auto add_opt = [&](const std::optional<double>& v) {
        out.push_back(v.has_value());
        add(v.value_or(0.0));
    };
    const auto& s = c.spacecraft;
    for (double v : {s.wet_mass, s.fuel, s.real_max_thrust, s.min_thrust_pct, s.max_thrust_pct,
                     s.max_velocity, s.fuel_consumption, c.environment.glide_slope_angle_deg,
                     c.environment.max_angle_deg})
        add(v);
    for (const auto* vec : {&s.initial_position, &s.initial_velocity, &s.target_velocity,
                            &s.target_position, &c.environment.gravity})
        for (double v : *vec) add(v);
    out.push_back(c.solver.n);
    add_opt(c.solver.time_of_flight);
    add_opt(c.solver.tof_min);
    add_opt(c.solver.tof_max);
    return out;
}

TEST(JsonWrite, DefaultDocumentLineByLine) {
    const struct {
        int indent;
        const char* text;
    } lines[] = {
        {0, "{"},
        {2, "\"spacecraft\": {"},
        {4, "\"wet_mass\": 2000.0,"},
        {4, "\"fuel\": 1700.0,"},
        {4, "\"real_max_thrust\": 24000.0,"},
        {4, "\"min_thrust_pct\": 0.2,"},
        {4, "\"max_thrust_pct\": 0.8,"},
        {4, "\"max_velocity\": 1000.0,"},
        {4, "\"initial_position\": ["},
        {6, "450.0,"},
        {6, "-330.0,"},
        {6, "2400.0"},
        {4, "],"},
        {4, "\"initial_velocity\": ["},
        {6, "-40.0,"},
        {6, "10.0,"},
        {6, "-10.0"},
        {4, "],"},
        {4, "\"target_velocity\": ["},
        {6, "0.0,"},
        {6, "0.0,"},
        {6, "0.0"},
        {4, "],"},
        {4, "\"target_position\": ["},
        {6, "0.0,"},
        {6, "0.0,"},
        {6, "0.0"},
        {4, "],"},
        {4, "\"fuel_consumption\": 0.0005"},
        {2, "},"},
        {2, "\"environment\": {"},
        {4, "\"gravity\": ["},
        {6, "0.0,"},
        {6, "0.0,"},
        {6, "-3.71"},
        {4, "],"},
        {4, "\"glide_slope_angle_deg\": 0.0,"},
        {4, "\"max_angle_deg\": 90.0"},
        {2, "},"},
        {2, "\"solver\": {"},
        {4, "\"n\": 100,"},
        {4, "\"time_of_flight\": null,"},
        {4, "\"tof_min\": null,"},
        {4, "\"tof_max\": null"},
        {2, "}"},
        {0, "}"},
    };
    static_assert(std::size(lines) == 46);
    std::string expected;
    for (const auto& line : lines) {
        if (!expected.empty()) expected += '\n';
        expected.append(static_cast<std::size_t>(line.indent), ' ');
        expected += line.text;
    }
    EXPECT_EQ(to_json(Config{}), expected);
}

TEST(JsonWrite, FloatFormat) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {123456789012345.6, "123456789012345.6"},
        {1e-5, "0.00001"},
        {1.25e-5, "0.0000125"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {2.5e-300, "2.5e-300"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.3333333333333333"},
        {-3.71, "-3.71"},
        {2000.0, "2000.0"},
        {0.0005, "0.0005"},
        {1.0, "1.0"},
        {-12.5, "-12.5"},
        {9007199254740993.0, "9007199254740992.0"},
        {1e100, "1e+100"},
        {-1e-100, "-1e-100"},
    };
    for (const auto& c : cases) EXPECT_EQ(format(c.value), c.text) << c.text;
}

TEST(JsonWrite, NonFiniteValuesAreNull) {
    Config c;
    c.spacecraft.wet_mass = std::nan("");
    c.solver.time_of_flight = std::numeric_limits<double>::infinity();
    const std::string text = to_json(c);
    EXPECT_NE(text.find("\"wet_mass\": null,"), std::string::npos);
    EXPECT_NE(text.find("\"time_of_flight\": null,"), std::string::npos);
}

TEST(JsonRoundTrip, RandomDoublesBitForBit) {
    std::mt19937_64 rng(20240607);
    auto finite = [&] {
        for (;;) {
            const double v = std::bit_cast<double>(rng());
            if (std::isfinite(v)) return v;
        }
    };
    int checked = 0;
    for (int round = 0; round < 200; ++round) {
        Config c;
        auto& s = c.spacecraft;
        for (double* v : {&s.wet_mass, &s.fuel, &s.real_max_thrust, &s.min_thrust_pct, &s.max_thrust_pct,
                          &s.max_velocity, &s.fuel_consumption, &c.environment.glide_slope_angle_deg,
                          &c.environment.max_angle_deg})
            *v = finite();
        for (auto* vec : {&s.initial_position, &s.initial_velocity, &s.target_velocity, &s.target_position,
                          &c.environment.gravity})
            for (double& v : *vec) v = finite();
        c.solver.n = rng();
        c.solver.time_of_flight = finite();
        c.solver.tof_max = finite();
        const auto back = from_json(to_json(c));
        ASSERT_TRUE(back.has_value()) << back.error().message;
        ASSERT_EQ(bits(*back), bits(c)) << to_json(c);
        checked += 27;
    }
    EXPECT_GE(checked, 5000);
}

TEST(JsonRoundTrip, NaNAndInfinity) {
    Config c;
    c.solver.time_of_flight = std::nan("");
    c.solver.tof_min = -std::numeric_limits<double>::infinity();
    auto back = from_json(to_json(c));
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_FALSE(back->solver.time_of_flight.has_value());
    EXPECT_FALSE(back->solver.tof_min.has_value());

    c = Config{};
    c.spacecraft.wet_mass = std::nan("");
    back = from_json(to_json(c));
    ASSERT_FALSE(back.has_value());
    EXPECT_EQ(back.error().message, "invalid type: null, expected f64 at line 3 column 20");
}

// Accepted documents and the change each makes to the default Config.
TEST(JsonRead, AcceptedDocuments) {
    using Change = std::function<void(Config&)>;
    const Change none = [](Config&) {};
    const struct {
        std::string text;
        Change change;
    } cases[] = {
        {"{}", none},
        {"[]", none},
        {" \t\r\n{ }\n\n", none},
        {"[[], [], []]", none},
        {"{\"solver\": {\"n\": 50}}", [](Config& c) { c.solver.n = 50; }},
        {"[{}, {}, {\"n\": 50}]", [](Config& c) { c.solver.n = 50; }},
        {"[[], [], [50]]", [](Config& c) { c.solver.n = 50; }},
        {"{\"spacecraft\": {\"fuel\": 1}}", [](Config& c) { c.spacecraft.fuel = 1.0; }},
        {"{\"spacecraft\": [1, 2]}",
         [](Config& c) {
             c.spacecraft.wet_mass = 1.0;
             c.spacecraft.fuel = 2.0;
         }},
        {"[[1]]", [](Config& c) { c.spacecraft.wet_mass = 1.0; }},
        {"{\"spacecraft\": {\"wet_mass\": 2001}}", [](Config& c) { c.spacecraft.wet_mass = 2001.0; }},
        {"{\"solver\": {\"n\": 0}}", [](Config& c) { c.solver.n = 0; }},
        {"{\"solver\": {\"n\": 18446744073709551615}}",
         [](Config& c) { c.solver.n = std::numeric_limits<std::uint64_t>::max(); }},
        {"{\"solver\": {\"time_of_flight\": 12.5, \"tof_min\": null}}",
         [](Config& c) { c.solver.time_of_flight = 12.5; }},
        {"{\"solver\": [7, 1.5, null, 3]}",
         [](Config& c) {
             c.solver.n = 7;
             c.solver.time_of_flight = 1.5;
             c.solver.tof_max = 3.0;
         }},
        {"{\"environment\": {\"gravity\": [0, -1.5e0, 2E1]}}",
         [](Config& c) { c.environment.gravity = {0.0, -1.5, 20.0}; }},
        {"{\"environment\": [[1, 2, 3], 4]}",
         [](Config& c) {
             c.environment.gravity = {1.0, 2.0, 3.0};
             c.environment.glide_slope_angle_deg = 4.0;
         }},
        {"{\"solver\": {\"tof_max\": 2, \"n\": 3}, \"spacecraft\": {}}",
         [](Config& c) {
             c.solver.tof_max = 2.0;
             c.solver.n = 3;
         }},
        // Unrecognised keys, repeated and nested, with any well-formed value.
        {"{\"x\": 1, \"x\": [1, {\"y\": [null, true, false, \"s\", -0.5e-3, {}]}], "
         "\"spacecraft\": {\"x\": {}, \"x\": {\"fuel\": \"no\"}}}",
         none},
        {"{\"x\": 1e400, \"y\": -123123e100000, \"z\": 123e-10000000}", none},
        {"{\"x\": \"\\/\\b\\f\\n\\r\\t\\\"\\\\\\u00e9\\ud83d\\ude00\"}", none},
        {"{\"Solver\": {\"n\": 3}}", none},  // keys are case-sensitive
        {"{\"solver\": {\"\\u006e\": 3}}", [](Config& c) { c.solver.n = 3; }},
        {"{\"spacecraft\": {\"fuel\": 1e-400, \"wet_mass\": -1e-400}}",
         [](Config& c) {
             c.spacecraft.fuel = 0.0;
             c.spacecraft.wet_mass = -0.0;
         }},
        {"{\"spacecraft\": {\"fuel\": -0}}", [](Config& c) { c.spacecraft.fuel = -0.0; }},
        {"{\"spacecraft\": {\"fuel\": 1.7976931348623157e308}}",
         [](Config& c) { c.spacecraft.fuel = std::numeric_limits<double>::max(); }},
        // Correct rounding: halfway and near-halfway cases, long mantissas.
        {"{\"spacecraft\": {\"fuel\": 9007199254740993}}",
         [](Config& c) { c.spacecraft.fuel = 9007199254740993.0; }},
        {"{\"spacecraft\": {\"fuel\": 100000000000000000000000}}", [](Config& c) { c.spacecraft.fuel = 1e23; }},
        {"{\"spacecraft\": {\"fuel\": 2.2250738585072011e-308}}",
         [](Config& c) { c.spacecraft.fuel = 2.2250738585072011e-308; }},
        {"{\"spacecraft\": {\"fuel\": 0.30000000000000000000000000000000000000001}}",
         [](Config& c) { c.spacecraft.fuel = 0.3; }},
    };
    for (const auto& c : cases) {
        const auto got = from_json(c.text);
        ASSERT_TRUE(got.has_value()) << c.text << "\n" << got.error().message;
        Config expected;
        c.change(expected);
        EXPECT_EQ(bits(*got), bits(expected)) << c.text;
    }
}

TEST(JsonRead, DeepNestingInUnrecognisedValues) {
    const std::size_t depth = 1'000'000;
    const std::string open(depth, '['), close(depth, ']');
    EXPECT_TRUE(from_json("{\"x\": " + open + close + "}").has_value());

    const auto unclosed = from_json("{\"x\": " + open);
    ASSERT_FALSE(unclosed.has_value());
    EXPECT_EQ(unclosed.error().message, "EOF while parsing a list at line 1 column " + std::to_string(6 + depth));

    std::string objects;
    for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
    EXPECT_TRUE(from_json("{\"x\": " + objects + "1" + std::string(100'000, '}') + "}").has_value());
}

// Malformed documents: the whole message, with line and column.
TEST(JsonRead, Failures) {
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        // end of input
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n\n", "EOF while parsing a value at line 3 column 0"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"solver\": {\"n\": 1}", "EOF while parsing an object at line 1 column 19"},
        {"{\"spacecraft\": {\"wet_mass\": 1", "EOF while parsing an object at line 1 column 29"},
        {"{\"unused\": \"abc", "EOF while parsing a string at line 1 column 15"},
        {"{\"solver", "EOF while parsing a string at line 1 column 8"},
        {"{\"solver\"", "EOF while parsing an object at line 1 column 9"},
        {"{\"solver\":", "EOF while parsing a value at line 1 column 10"},
        {"{\"solver\": {\"n\": 1,", "EOF while parsing a value at line 1 column 19"},
        {"[{}, {}", "EOF while parsing a list at line 1 column 7"},
        {"{\"x\": [", "EOF while parsing a list at line 1 column 7"},
        {"{\"x\": {", "EOF while parsing an object at line 1 column 7"},
        {"{\"x\": {\"a\"", "EOF while parsing an object at line 1 column 10"},
        {"{\"x\": [1,", "EOF while parsing a value at line 1 column 9"},
        {"{\"x\": -", "EOF while parsing a value at line 1 column 7"},
        {"{\"x\": 1.", "EOF while parsing a value at line 1 column 8"},
        {"{\"x\": 1.5e", "EOF while parsing a value at line 1 column 10"},
        {"{\"spacecraft\": {\"fuel\": 1e+", "EOF while parsing a value at line 1 column 27"},
        {"{\"solver\": {\"time_of_flight\": nul", "EOF while parsing a value at line 1 column 33"},
        {"{\"x\": \"\\u12", "EOF while parsing a string at line 1 column 11"},
        {"{\"environment\": {\"gravity\": [1, 2, 3", "EOF while parsing a list at line 1 column 36"},
        {"{\"environment\": {\"gravity\": [1, 2, 3,", "EOF while parsing a value at line 1 column 37"},
        // structure
        {"{\"solver\" 1}", "expected `:` at line 1 column 11"},
        {"{\"x\": {\"a\" 1}}", "expected `:` at line 1 column 12"},
        {"{\"spacecraft\": {\"fuel\": 1 2}}", "expected `,` or `}` at line 1 column 27"},
        {"{\"x\": {\"a\": 1 \"b\": 2}}", "expected `,` or `}` at line 1 column 15"},
        {"{\"x\": 0x1}", "expected `,` or `}` at line 1 column 8"},
        {"{\"environment\": {\"gravity\": [1 2 3]}}", "expected `,` or `]` at line 1 column 32"},
        {"[{} {}]", "expected `,` or `]` at line 1 column 5"},
        {"{\"x\": [1 2]}", "expected `,` or `]` at line 1 column 10"},
        {"{\"x\": [[[{\"a\": [1, 2}]]]}", "expected `,` or `]` at line 1 column 21"},
        {"{1: 2}", "key must be a string at line 1 column 2"},
        {"{\"solver\": {\"n\": 1, 2: 3}}", "key must be a string at line 1 column 21"},
        {"{\"x\": {1}}", "key must be a string at line 1 column 8"},
        {"{\"x\": [1,]}", "trailing comma at line 1 column 10"},
        {"{\"x\": {\"a\": 1,}}", "trailing comma at line 1 column 15"},
        {"{\"solver\": {\"n\": 1,}}", "trailing comma at line 1 column 20"},
        {"[{},]", "trailing comma at line 1 column 5"},
        {"{\"environment\": {\"gravity\": [1, 2, 3,]}}", "trailing comma at line 1 column 38"},
        {"{} x", "trailing characters at line 1 column 4"},
        {"{}{}", "trailing characters at line 1 column 3"},
        {"{\"environment\": {\"gravity\": [1, 2, 3, 4]}}", "trailing characters at line 1 column 39"},
        {"[{}, {}, {}, {}]", "trailing characters at line 1 column 14"},
        {"{\"solver\": [1, null, null, null, 5]}", "trailing characters at line 1 column 34"},
        // literals and values
        {"{\"solver\": {\"n\": tru}}", "expected ident at line 1 column 21"},
        {"{\"solver\": {\"time_of_flight\": nulL}}", "expected ident at line 1 column 34"},
        {"{\"x\": falsy}", "expected ident at line 1 column 11"},
        {"{\"x\": +1}", "expected value at line 1 column 7"},
        {"{\"x\": @}", "expected value at line 1 column 7"},
        {"[}", "expected value at line 1 column 2"},
        {"{\"spacecraft\": {\"fuel\": .5}}", "expected value at line 1 column 25"},
        // numbers
        {"{\"solver\": {\"n\": 01}}", "invalid number at line 1 column 19"},
        {"{\"solver\": {\"n\": -}}", "invalid number at line 1 column 19"},
        {"{\"spacecraft\": {\"fuel\": 1.}}", "invalid number at line 1 column 27"},
        {"{\"spacecraft\": {\"fuel\": 1e}}", "invalid number at line 1 column 27"},
        {"{\"x\": [-01]}", "invalid number at line 1 column 10"},
        {"{\"spacecraft\": {\"fuel\": 1e400}}", "number out of range at line 1 column 29"},
        {"{\"spacecraft\": {\"fuel\": -1e400}}", "number out of range at line 1 column 30"},
        {"{\"solver\": {\"n\": 1e400}}", "number out of range at line 1 column 22"},
        // strings
        {"{\"x\": \"\\q\"}", "invalid escape at line 1 column 9"},
        {"{\"x\": \"\\u12G4\"}", "unexpected end of hex escape at line 1 column 12"},
        {"{\"x\": \"\\uDC00\"}", "invalid unicode code point at line 1 column 13"},
        {"{\"x\": \"\xff\"}", "invalid unicode code point at line 1 column 8"},
        {"{\"x\": \"\\uD800\"}", "lone leading surrogate in hex escape at line 1 column 14"},
        {"{\"x\": \"\\uD800\\u0041\"}", "lone leading surrogate in hex escape at line 1 column 19"},
        {"{\"x\": \"\\uD800\\uD800\"}", "lone leading surrogate in hex escape at line 1 column 19"},
        {"{\"x\": \"\\uD800\\n\"}", "lone leading surrogate in hex escape at line 1 column 15"},
        {"{\"x\": \"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        // wrong types
        {"{\"spacecraft\": {\"wet_mass\": null}}", "invalid type: null, expected f64 at line 1 column 32"},
        {"{\"spacecraft\": {\"wet_mass\": true}}", "invalid type: boolean `true`, expected f64 at line 1 column 32"},
        {"{\"spacecraft\": {\"wet_mass\": false}}",
         "invalid type: boolean `false`, expected f64 at line 1 column 33"},
        {"{\"spacecraft\": {\"wet_mass\": \"2000\"}}",
         "invalid type: string \"2000\", expected f64 at line 1 column 34"},
        {"{\"spacecraft\": {\"wet_mass\": [1]}}", "invalid type: sequence, expected f64 at line 1 column 28"},
        {"{\"spacecraft\": {\"wet_mass\": {}}}", "invalid type: map, expected f64 at line 1 column 28"},
        {"{\"solver\": {\"time_of_flight\": \"x\"}}",
         "invalid type: string \"x\", expected f64 at line 1 column 33"},
        {"{\"solver\": {\"tof_min\": [ ]}}", "invalid type: sequence, expected f64 at line 1 column 23"},
        {"{\"solver\": {\"n\": 100.0}}",
         "invalid type: floating point `100.0`, expected usize at line 1 column 22"},
        {"{\"solver\": {\"n\": 1e2}}", "invalid type: floating point `100.0`, expected usize at line 1 column 20"},
        {"{\"solver\": {\"n\": -0}}", "invalid type: floating point `-0.0`, expected usize at line 1 column 19"},
        {"{\"solver\": {\"n\": 18446744073709551616}}",
         "invalid type: floating point `1.8446744073709552e+19`, expected usize at line 1 column 37"},
        {"{\"solver\": {\"n\": -9223372036854775809}}",
         "invalid type: floating point `-9.223372036854776e+18`, expected usize at line 1 column 37"},
        {"{\"solver\": {\"n\": \"5\"}}", "invalid type: string \"5\", expected usize at line 1 column 20"},
        {"{\"solver\": {\"n\": null}}", "invalid type: null, expected usize at line 1 column 21"},
        {"{\"environment\": {\"gravity\": 5}}",
         "invalid type: integer `5`, expected an array of length 3 at line 1 column 29"},
        {"{\"environment\": {\"gravity\": -5.5}}",
         "invalid type: floating point `-5.5`, expected an array of length 3 at line 1 column 32"},
        {"{\"environment\": {\"gravity\": {}}}", "invalid type: map, expected an array of length 3 at line 1 column 28"},
        {"{\"environment\": {\"gravity\": [1, \"a\", 3]}}",
         "invalid type: string \"a\", expected f64 at line 1 column 35"},
        {"{\"environment\": {\"gravity\": [1, null, 3]}}", "invalid type: null, expected f64 at line 1 column 36"},
        {"{\"spacecraft\": 1}", "invalid type: integer `1`, expected struct Spacecraft at line 1 column 16"},
        {"{\"environment\": \"e\"}",
         "invalid type: string \"e\", expected struct Environment at line 1 column 19"},
        {"{\"solver\": true}", "invalid type: boolean `true`, expected struct Solver at line 1 column 15"},
        {"\"config\"", "invalid type: string \"config\", expected struct Config at line 1 column 8"},
        {"42", "invalid type: integer `42`, expected struct Config at line 1 column 2"},
        {"null", "invalid type: null, expected struct Config at line 1 column 4"},
        {"[1]", "invalid type: integer `1`, expected struct Spacecraft at line 1 column 2"},
        {"{\"solver\": {\"n\": \"a\\\"b\\\\c\\u0001\\t\\u00e9\\u200b\"}}",
         "invalid type: string \"a\\\"b\\\\c\\u{1}\\t\xc3\xa9\\u{200b}\", expected usize at line 1 column 46"},
        {"{\"x\": \"\\uD83D\\uDE00\", \"spacecraft\": {\"fuel\": \"\\uD83D\\uDE00\"}}",
         "invalid type: string \"\xf0\x9f\x98\x80\", expected f64 at line 1 column 59"},
        // wrong values and lengths, duplicates
        {"{\"solver\": {\"n\": -1}}", "invalid value: integer `-1`, expected usize at line 1 column 19"},
        {"{\"solver\": {\"n\": -9223372036854775808}}",
         "invalid value: integer `-9223372036854775808`, expected usize at line 1 column 37"},
        {"{\"environment\": {\"gravity\": [1, 2]}}",
         "invalid length 2, expected an array of length 3 at line 1 column 34"},
        {"{\"environment\": {\"gravity\": []}}", "invalid length 0, expected an array of length 3 at line 1 column 30"},
        {"{\"environment\": {\"gravity\": [1]}}",
         "invalid length 1, expected an array of length 3 at line 1 column 31"},
        {"{\"solver\": {\"n\": 1, \"n\": 1}}", "duplicate field `n` at line 1 column 23"},
        {"{\"solver\": {}, \"solver\": {}}", "duplicate field `solver` at line 1 column 23"},
        {"{\"spacecraft\": {\"fuel\": 1, \"\\u0066uel\": 2}}", "duplicate field `fuel` at line 1 column 38"},
        // positions across lines
        {"{\n  \"solver\": {\n    \"n\": -1\n  }\n}",
         "invalid value: integer `-1`, expected usize at line 3 column 11"},
        {"{\n  \"spacecraft\": {\n    \"wet_mass\": 1,\n  }\n}", "trailing comma at line 4 column 3"},
        {"{\n  \"environment\": {\n    \"gravity\": [\n      1,\n      2\n    ]\n  }\n}",
         "invalid length 2, expected an array of length 3 at line 6 column 5"},
        {"{\n\"x\": [1,\n2,\n", "EOF while parsing a value at line 4 column 0"},
        {"[\r\n{},\r\n{}\r\n", "EOF while parsing a list at line 4 column 0"},
        {"{\n  \"solver\": {\n    \"n\": 1,\n    \"n\": 2\n  }\n}", "duplicate field `n` at line 4 column 7"},
        {"{}\n\n  x", "trailing characters at line 3 column 3"},
        {"{\"spacecraft\":\n[1, 2, 3, 4, 5, 6, [1, 2, 3], [1, 2, 3], [1, 2, 3], [1, 2, 3], 11, 12]}",
         "trailing characters at line 2 column 68"},
        {"{\"environment\": {\"gravity\":\n{}}}",
         "invalid type: map, expected an array of length 3 at line 2 column 0"},
        // A raw line feed in a string: the position is taken after it.
        {"{\"x\": \"a\nb\"}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
    };
    for (const auto& c : cases) {
        const auto got = from_json(c.text);
        ASSERT_FALSE(got.has_value()) << c.text;
        EXPECT_EQ(got.error().message, c.message) << c.text;
    }
    EXPECT_GE(std::size(cases), 60u);
}

// The public JSON parsing test suite, each document on its own and as the
// value of an unrecognised key.
TEST(JsonRead, ConformanceSuite) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(VEXAL_TESTDATA_DIR) / "json-test-suite" / "test_parsing";
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int accepted = 0, refused = 0, answered = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        const std::string doc = buffer.str();
        const std::string embedded = "{\"unused\": " + doc + "}";
        const auto alone = from_json(doc);
        const auto inside = from_json(embedded);
        switch (name[0]) {
            case 'y':
                EXPECT_TRUE(inside.has_value()) << name << ": " << inside.error().message;
                ++accepted;
                break;
            case 'n':
                EXPECT_FALSE(alone.has_value()) << name;
                EXPECT_FALSE(inside.has_value()) << name;
                ++refused;
                break;
            default:
                ++answered;  // either answer, as long as there is one
        }
    }
    EXPECT_EQ(accepted, 95);
    EXPECT_EQ(refused, 188);
    EXPECT_EQ(answered, 35);
}

}  // namespace

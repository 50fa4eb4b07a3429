#pragma once
// The field tables of the configuration records, shared by the JSON writer
// and reader: one table per record gives the keys, their order and members.
#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "vexal/config.hpp"

namespace vexal::json_fields {

// ---------------------------------------------------------------------------
// One table per record, in declared order. It drives the writer, the reader of
// the object form (keys) and the reader of the positional array form (order).

template <class R, class M>
struct Field {
    std::string_view key;
    M R::*member;
};

template <class R, class M>
constexpr Field<R, M> field(std::string_view key, M R::*member) {
    return {key, member};
}

template <class R>
struct Record;

template <>
struct Record<Spacecraft> {
    static constexpr std::string_view expected = "struct Spacecraft";
    static constexpr std::tuple fields{
        field("wet_mass", &Spacecraft::wet_mass),
        field("fuel", &Spacecraft::fuel),
        field("real_max_thrust", &Spacecraft::real_max_thrust),
        field("min_thrust_pct", &Spacecraft::min_thrust_pct),
        field("max_thrust_pct", &Spacecraft::max_thrust_pct),
        field("max_velocity", &Spacecraft::max_velocity),
        field("initial_position", &Spacecraft::initial_position),
        field("initial_velocity", &Spacecraft::initial_velocity),
        field("target_velocity", &Spacecraft::target_velocity),
        field("target_position", &Spacecraft::target_position),
        field("fuel_consumption", &Spacecraft::fuel_consumption),
    };
};

template <>
struct Record<Environment> {
    static constexpr std::string_view expected = "struct Environment";
    static constexpr std::tuple fields{
        field("gravity", &Environment::gravity),
        field("glide_slope_angle_deg", &Environment::glide_slope_angle_deg),
        field("max_angle_deg", &Environment::max_angle_deg),
    };
};

template <>
struct Record<Solver> {
    static constexpr std::string_view expected = "struct Solver";
    static constexpr std::tuple fields{
        field("n", &Solver::n),
        field("time_of_flight", &Solver::time_of_flight),
        field("tof_min", &Solver::tof_min),
        field("tof_max", &Solver::tof_max),
    };
};

template <>
struct Record<Config> {
    static constexpr std::string_view expected = "struct Config";
    static constexpr std::tuple fields{
        field("spacecraft", &Config::spacecraft),
        field("environment", &Config::environment),
        field("solver", &Config::solver),
    };
};

template <class R>
concept IsRecord = requires { Record<R>::fields; };

template <IsRecord R>
constexpr std::size_t field_count = std::tuple_size_v<std::remove_const_t<decltype(Record<R>::fields)>>;

// Calls f(key, member) for every field of the record, in declared order.
template <class R, class F>
void for_each_field(R& record, F&& f) {
    std::apply([&](const auto&... fld) { (f(fld.key, record.*(fld.member)), ...); },
               Record<std::remove_const_t<R>>::fields);
}

// The index of the field named key, or field_count<R> when none is.
template <IsRecord R>
std::size_t field_index(std::string_view key) {
    static constexpr auto keys =
        std::apply([](const auto&... fld) { return std::array{fld.key...}; }, Record<R>::fields);
    return static_cast<std::size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
}

}  // namespace vexal::json_fields

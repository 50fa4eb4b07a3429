// The JSON text form of a Config: a fixed pretty layout on output, and a
// reader of our own on input. No JSON library reproduces the required messages
// and line/column positions exactly, so the reader is a small one-pass scanner
// over the text; number conversion in both directions is left to <charconv>.
#include "vexal/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>

namespace vexal {
namespace {

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

// ---------------------------------------------------------------------------
// Writer.

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void value(double v, int) { append_float(out_, v); }

    void value(std::uint64_t n, int) {
        char buf[24];
        auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
        out_.append(buf, end);
    }

    void value(const std::optional<double>& v, int) {
        if (v) {
            append_float(out_, *v);
        } else {
            out_ += "null";
        }
    }

    void value(const Vec3& v, int depth) {
        out_ += '[';
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out_ += ',';
            newline(depth + 1);
            append_float(out_, v[i]);
        }
        newline(depth);
        out_ += ']';
    }

    template <IsRecord R>
    void value(const R& record, int depth) {
        out_ += '{';
        bool first = true;
        for_each_field(record, [&](std::string_view key, const auto& member) {
            if (!first) out_ += ',';
            first = false;
            newline(depth + 1);
            out_ += '"';
            out_ += key;
            out_ += "\": ";
            value(member, depth + 1);
        });
        newline(depth);
        out_ += '}';
    }

private:
    void newline(int depth) {
        out_ += '\n';
        out_.append(2 * static_cast<std::size_t>(depth), ' ');
    }

    std::string& out_;
};

// ---------------------------------------------------------------------------
// UTF-8 and the quoting of found strings in messages.

// Length of the well-formed UTF-8 sequence at the start of s (s not empty),
// with its code point; 0 when it is ill-formed (overlong, surrogate, beyond
// U+10FFFF, truncated).
std::size_t decode_utf8(std::string_view s, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    std::size_t len;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (s.size() < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < shortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Code points shown escaped in a found string: controls, separators other
// than the space, format characters, private use, noncharacters and the
// main blocks of combining marks (which would attach to the quote).
bool printable(char32_t cp) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range hidden[] = {
        {0x0000, 0x001F},   {0x007F, 0x00A0},   {0x00AD, 0x00AD},   {0x0300, 0x036F},
        {0x0483, 0x0489},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
        {0x070F, 0x070F},   {0x1680, 0x1680},   {0x180E, 0x180E},   {0x1AB0, 0x1AFF},
        {0x1DC0, 0x1DFF},   {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x206F},
        {0x20D0, 0x20FF},   {0x3000, 0x3000},   {0xD800, 0xF8FF},   {0xFDD0, 0xFDEF},
        {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
        {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
    };
    if ((cp & 0xFFFE) == 0xFFFE) return false;  // U+xxFFFE and U+xxFFFF in every plane
    return std::none_of(std::begin(hidden), std::end(hidden),
                        [cp](const Range& r) { return cp >= r.first && cp <= r.last; });
}

// s in double quotes, escaped the way the messages show strings.
void append_quoted(std::string& out, std::string_view s) {
    out += '"';
    while (!s.empty()) {
        char32_t cp = 0;
        std::size_t len = decode_utf8(s, cp);
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (printable(cp)) {
                    out.append(s.substr(0, len));
                } else {
                    char buf[8];
                    auto end = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16).ptr;
                    out += "\\u{";
                    out.append(buf, end);
                    out += '}';
                }
        }
        s.remove_prefix(len);
    }
    out += '"';
}

// ---------------------------------------------------------------------------
// Reader.

namespace text {
constexpr std::string_view eof_list = "EOF while parsing a list";
constexpr std::string_view eof_object = "EOF while parsing an object";
constexpr std::string_view eof_string = "EOF while parsing a string";
constexpr std::string_view eof_value = "EOF while parsing a value";
constexpr std::string_view expected_colon = "expected `:`";
constexpr std::string_view expected_list_comma = "expected `,` or `]`";
constexpr std::string_view expected_object_comma = "expected `,` or `}`";
constexpr std::string_view expected_ident = "expected ident";
constexpr std::string_view expected_value = "expected value";
constexpr std::string_view invalid_escape = "invalid escape";
constexpr std::string_view invalid_number = "invalid number";
constexpr std::string_view out_of_range = "number out of range";
constexpr std::string_view invalid_code_point = "invalid unicode code point";
constexpr std::string_view control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view key_not_string = "key must be a string";
constexpr std::string_view lone_surrogate = "lone leading surrogate in hex escape";
constexpr std::string_view trailing_comma = "trailing comma";
constexpr std::string_view trailing_characters = "trailing characters";
constexpr std::string_view short_hex_escape = "unexpected end of hex escape";
constexpr std::string_view vector_expected = "an array of length 3";
}  // namespace text

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// from_chars reports overflow and underflow alike; tell them apart by the
// decimal exponent of the leading nonzero digit (the lexeme is well-formed,
// unsigned, and its mantissa is not zero, or it could not be out of range).
bool exceeds_double(std::string_view digits) {
    const std::size_t exp_at = std::min(digits.find_first_of("eE"), digits.size());
    const std::string_view mantissa = digits.substr(0, exp_at);
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t lead = mantissa.find_first_of("123456789");
    if (lead == std::string_view::npos) return false;
    long long exponent = lead < point ? static_cast<long long>(point - lead) - 1
                                      : -static_cast<long long>(lead - point);
    if (exp_at < digits.size()) {
        std::string_view e = digits.substr(exp_at + 1);
        const bool negative = e.front() == '-';
        if (e.front() == '-' || e.front() == '+') e.remove_prefix(1);
        long long magnitude = 0;
        for (char c : e) magnitude = std::min(magnitude * 10 + (c - '0'), 1'000'000'000'000LL);
        exponent += negative ? -magnitude : magnitude;
    }
    return exponent > 0;
}

// A number as read: an unsigned 64-bit integer, a negative one down to
// -2^63, or otherwise a float (fractions, exponents, -0, wider integers).
// value is always the correctly rounded double.
struct Number {
    enum Kind { Unsigned, Negative, Float } kind = Float;
    std::uint64_t magnitude = 0;
    double value = 0.0;
};

std::string describe(const Number& n) {
    std::string found;
    if (n.kind == Number::Float) {
        found = "floating point `";
        append_float(found, n.value);
    } else {
        found = n.kind == Number::Negative ? "integer `-" : "integer `";
        char buf[24];
        found.append(buf, std::to_chars(buf, buf + sizeof buf, n.magnitude).ptr);
    }
    found += '`';
    return found;
}

// One pass over the text. Every routine returns false after recording the
// failure; the first failure ends the read.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool document(Config& config) {
        if (!value(config)) return false;
        if (skip_ws() != eof) return fail_here(text::trailing_characters);
        return true;
    }

    std::string& error() { return error_; }

private:
    static constexpr int eof = -1;

    int peek() const { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : eof; }

    int skip_ws() {
        for (; pos_ < text_.size(); ++pos_) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return static_cast<unsigned char>(c);
        }
        return eof;
    }

    // Positions are byte offsets one past the character meant, so a failure at
    // the end of the text reports the length of its last line.
    bool fail_at(std::string_view what, std::size_t end) {
        const std::string_view before = text_.substr(0, end);
        const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
        const std::size_t last_feed = before.rfind('\n');
        const std::size_t column = last_feed == std::string_view::npos ? end : end - last_feed - 1;
        error_.assign(what);
        error_ += " at line ";
        error_ += std::to_string(line);
        error_ += " column ";
        error_ += std::to_string(column);
        return false;
    }
    // At the character not yet consumed (or the end of the text).
    bool fail_here(std::string_view what) { return fail_at(what, std::min(pos_ + 1, text_.size())); }
    // At the last character consumed.
    bool fail_read(std::string_view what) { return fail_at(what, pos_); }

    bool type_error(std::string_view found, std::string_view expected) {
        std::string what = "invalid type: ";
        what += found;
        what += ", expected ";
        what += expected;
        return fail_read(what);
    }

    // ---- tokens

    // true, false or null; pos_ at its first letter.
    bool literal(std::string_view word) {
        ++pos_;
        for (char c : word.substr(1)) {
            if (pos_ == text_.size()) return fail_read(text::eof_value);
            if (text_[pos_++] != c) return fail_read(text::expected_ident);
        }
        return true;
    }

    // A string; pos_ at the opening quote. Decoded into *out when given.
    bool string(std::string* out) {
        ++pos_;
        for (;;) {
            if (pos_ == text_.size()) return fail_read(text::eof_string);
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail_here(text::control_character);
            if (c == '\\') {
                ++pos_;
                if (!escape(out)) return false;
                continue;
            }
            char32_t cp = 0;
            const std::size_t len = decode_utf8(text_.substr(pos_), cp);
            if (len == 0) return fail_here(text::invalid_code_point);
            if (out) out->append(text_.substr(pos_, len));
            pos_ += len;
        }
    }

    // The escape after a backslash.
    bool escape(std::string* out) {
        if (pos_ == text_.size()) return fail_read(text::eof_string);
        char plain;
        switch (text_[pos_++]) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': return unicode_escape(out);
            default: return fail_read(text::invalid_escape);
        }
        if (out) out->push_back(plain);
        return true;
    }

    bool hex_unit(char32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos_ == text_.size()) return fail_read(text::eof_string);
            const int digit = hex_value(text_[pos_++]);
            if (digit < 0) return fail_read(text::short_hex_escape);
            unit = unit * 16 + static_cast<char32_t>(digit);
        }
        return true;
    }

    // \uXXXX, with a surrogate pair as two of them; pos_ after the u.
    bool unicode_escape(std::string* out) {
        char32_t unit = 0;
        if (!hex_unit(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_read(text::invalid_code_point);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            for (char c : {'\\', 'u'}) {
                if (pos_ == text_.size()) return fail_read(text::eof_string);
                if (text_[pos_] != c) return fail_here(text::lone_surrogate);
                ++pos_;
            }
            char32_t low = 0;
            if (!hex_unit(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail_read(text::lone_surrogate);
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out) append_utf8(*out, unit);
        return true;
    }

    // A well-formed number's text; pos_ at its first character.
    bool scan_number(std::string_view& lexeme) {
        const std::size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (pos_ == text_.size()) return fail_read(text::eof_value);
        const char first = text_[pos_++];
        if (first == '0') {
            if (is_digit(peek())) return fail_here(text::invalid_number);
        } else if (is_digit(first)) {
            skip_digits();
        } else {
            return fail_read(text::invalid_number);
        }
        if (peek() == '.') {
            ++pos_;
            if (!is_digit(peek())) return fail_here(peek() == eof ? text::eof_value : text::invalid_number);
            skip_digits();
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (pos_ == text_.size()) return fail_read(text::eof_value);
            if (!is_digit(text_[pos_++])) return fail_read(text::invalid_number);
            skip_digits();
        }
        lexeme = text_.substr(start, pos_ - start);
        return true;
    }

    void skip_digits() {
        while (is_digit(peek())) ++pos_;
    }

    // A number read and converted; pos_ at its first character.
    bool number(Number& n) {
        std::string_view lexeme;
        if (!scan_number(lexeme)) return false;
        const bool negative = lexeme.front() == '-';
        const std::string_view digits = lexeme.substr(negative ? 1 : 0);
        const char* end = lexeme.data() + lexeme.size();
        auto [ptr, ec] = std::from_chars(lexeme.data(), end, n.value);
        if (ec == std::errc::result_out_of_range) {
            if (exceeds_double(digits)) return fail_read(text::out_of_range);
            n.value = negative ? -0.0 : 0.0;
        }
        n.kind = Number::Float;
        if (digits.find_first_of(".eE") == std::string_view::npos &&
            std::from_chars(digits.data(), end, n.magnitude).ec == std::errc{}) {
            if (!negative) {
                n.kind = Number::Unsigned;
            } else if (n.magnitude != 0 && n.magnitude <= std::uint64_t{1} << 63) {
                n.kind = Number::Negative;
            }
        }
        return true;
    }

    // ---- structure

    // Before each array element: false in `more` at the closing bracket.
    bool next_element(bool& first, bool& more) {
        int c = skip_ws();
        if (c == eof) return fail_here(text::eof_list);
        more = c != ']';
        if (!more) return true;
        if (first) {
            first = false;
            return true;
        }
        if (c != ',') return fail_here(text::expected_list_comma);
        ++pos_;
        c = skip_ws();
        if (c == ']') return fail_here(text::trailing_comma);
        if (c == eof) return fail_here(text::eof_value);
        return true;
    }

    // Before each object key: false in `more` at the closing brace,
    // otherwise pos_ is left at the key's opening quote.
    bool next_key(bool& first, bool& more) {
        int c = skip_ws();
        if (c == eof) return fail_here(text::eof_object);
        more = c != '}';
        if (!more) return true;
        if (first) {
            first = false;
        } else {
            if (c != ',') return fail_here(text::expected_object_comma);
            ++pos_;
            c = skip_ws();
            if (c == '}') return fail_here(text::trailing_comma);
            if (c == eof) return fail_here(text::eof_value);
        }
        if (c != '"') return fail_here(text::key_not_string);
        return true;
    }

    bool colon() {
        const int c = skip_ws();
        if (c == ':') {
            ++pos_;
            return true;
        }
        return fail_here(c == eof ? text::eof_object : text::expected_colon);
    }

    // The elements of an array, pos_ at '['; at most `capacity` are read, by
    // read(index). More elements are trailing characters. Consumes the ']'.
    template <class F>
    bool sequence(std::size_t capacity, std::size_t& count, F&& read) {
        ++pos_;
        bool first = true, more = false;
        for (count = 0; count < capacity; ++count) {
            if (!next_element(first, more)) return false;
            if (!more) break;
            if (!read(count)) return false;
        }
        const int c = skip_ws();
        if (c == ']') {
            ++pos_;
            return true;
        }
        if (c == eof) return fail_here(text::eof_list);
        if (c == ',') {
            ++pos_;
            const int next = skip_ws();
            if (next == ']') return fail_here(text::trailing_comma);
            if (next == eof) return fail_here(text::eof_value);
        }
        return fail_here(text::trailing_characters);
    }

    // Any value other than an array or object, checked and, with `found`,
    // named for a type error; c is its first character.
    bool scalar(int c, std::string* found) {
        switch (c) {
            case 'n':
                if (found) *found = "null";
                return literal("null");
            case 't':
                if (found) *found = "boolean `true`";
                return literal("true");
            case 'f':
                if (found) *found = "boolean `false`";
                return literal("false");
            case '"': {
                std::string s;
                if (!string(found ? &s : nullptr)) return false;
                if (found) {
                    *found = "string ";
                    append_quoted(*found, s);
                }
                return true;
            }
            default:
                if (c != '-' && !is_digit(c)) return fail_here(text::expected_value);
                if (!found) {
                    std::string_view lexeme;
                    return scan_number(lexeme);
                }
                Number n;
                if (!number(n)) return false;
                *found = describe(n);
                return true;
        }
    }

    // The value at pos_ is of the wrong JSON type for `expected`.
    bool invalid_type(std::string_view expected) {
        const int c = peek();
        if (c == '[') return type_error("sequence", expected);
        if (c == '{') return type_error("map", expected);
        std::string found;
        return scalar(c, &found) && type_error(found, expected);
    }

    // The value of an unrecognised key: checked for well-formedness at any
    // depth and dropped. The open brackets live on a heap stack, so hostile
    // nesting costs memory, never C++ stack.
    bool skip_value() {
        std::string open;
        for (;;) {
            const int c = skip_ws();
            if (c == eof) return fail_here(text::eof_value);
            bool first = false;
            if (c == '[' || c == '{') {
                ++pos_;
                open.push_back(static_cast<char>(c));
                first = true;
            } else if (!scalar(c, nullptr)) {
                return false;
            }
            for (;;) {  // close what is finished until another value is due
                if (open.empty()) return true;
                bool more = false;
                if (open.back() == '[') {
                    if (!next_element(first, more)) return false;
                } else if (!next_key(first, more) || (more && !(string(nullptr) && colon()))) {
                    return false;
                }
                if (more) break;
                ++pos_;
                open.pop_back();
                first = false;
            }
        }
    }

    // ---- typed values

    // pos_ at the first character of a value that must be a number.
    bool number_value(std::string_view expected, Number& n) {
        const int c = skip_ws();
        if (c == eof) return fail_here(text::eof_value);
        if (c != '-' && !is_digit(c)) return invalid_type(expected);
        return number(n);
    }

    bool value(double& out) {
        Number n;
        if (!number_value("f64", n)) return false;
        out = n.value;
        return true;
    }

    bool value(std::optional<double>& out) {
        if (skip_ws() == 'n') {
            out.reset();
            return literal("null");
        }
        double v = 0.0;
        if (!value(v)) return false;
        out = v;
        return true;
    }

    bool value(std::uint64_t& out) {
        Number n;
        if (!number_value("usize", n)) return false;
        if (n.kind == Number::Unsigned) {
            out = n.magnitude;
            return true;
        }
        if (n.kind == Number::Float) return type_error(describe(n), "usize");
        return fail_read("invalid value: " + describe(n) + ", expected usize");
    }

    bool value(Vec3& out) {
        const int c = skip_ws();
        if (c == eof) return fail_here(text::eof_value);
        if (c != '[') return invalid_type(text::vector_expected);
        std::size_t count = 0;
        if (!sequence(out.size(), count, [&](std::size_t i) { return value(out[i]); })) return false;
        if (count < out.size()) {
            return fail_read("invalid length " + std::to_string(count) + ", expected " +
                             std::string(text::vector_expected));
        }
        return true;
    }

    template <IsRecord R>
    bool value(R& record) {
        const int c = skip_ws();
        if (c == eof) return fail_here(text::eof_value);
        if (c == '{') return object(record);
        if (c != '[') return invalid_type(Record<R>::expected);
        // Positional form: fields in declared order, missing ones keep defaults.
        std::size_t count = 0;
        return sequence(field_count<R>, count, [&](std::size_t i) { return field_value(record, i); });
    }

    // Reads the value of the field with the given index.
    template <IsRecord R>
    bool field_value(R& record, std::size_t index) {
        std::size_t i = 0;
        bool ok = true;
        for_each_field(record, [&](std::string_view, auto& member) {
            if (i++ == index) ok = value(member);
        });
        return ok;
    }

    template <IsRecord R>
    bool object(R& record) {
        ++pos_;
        std::array<bool, field_count<R>> seen{};
        bool first = true, more = false;
        std::string key;
        for (;;) {
            if (!next_key(first, more)) return false;
            if (!more) {
                ++pos_;
                return true;
            }
            key.clear();
            if (!string(&key)) return false;
            const std::size_t index = field_index<R>(key);
            const bool known = index < seen.size();
            if (known) {
                if (seen[index]) return fail_read("duplicate field `" + key + "`");
                seen[index] = true;
            }
            if (!colon()) return false;
            if (!(known ? field_value(record, index) : skip_value())) return false;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

}  // namespace

void append_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (std::signbit(value)) out += '-';
    value = std::fabs(value);
    if (value == 0.0) {
        out += "0.0";
        return;
    }
    // Shortest round-trip digits, in the form d.ddde±XX.
    char sci[32];
    char* sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* e_at = std::find(sci, sci_end, 'e');
    char digits[17];
    digits[0] = sci[0];
    const char* tail = sci + 1 + (e_at > sci + 1 ? 1 : 0);  // past the point, if any
    const int k = 1 + static_cast<int>(std::copy(tail, e_at, digits + 1) - (digits + 1));
    int exponent = 0;
    std::from_chars(e_at + 2, sci_end, exponent);
    if (e_at[1] == '-') exponent = -exponent;

    const std::string_view all(digits, static_cast<std::size_t>(k));
    if (exponent >= -5 && exponent <= 15) {
        if (k - 1 <= exponent) {
            out += all;
            out.append(static_cast<std::size_t>(exponent - k + 1), '0');
            out += ".0";
        } else if (exponent >= 0) {
            out += all.substr(0, static_cast<std::size_t>(exponent + 1));
            out += '.';
            out += all.substr(static_cast<std::size_t>(exponent + 1));
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += all;
        }
    } else {
        out += all[0];
        if (k > 1) {
            out += '.';
            out += all.substr(1);
        }
        out += exponent < 0 ? "e-" : "e+";
        char magnitude[8];
        out.append(magnitude, std::to_chars(magnitude, magnitude + sizeof magnitude, exponent < 0 ? -exponent : exponent).ptr);
    }
}

std::string to_json(const Config& config) {
    std::string out;
    out.reserve(1024);
    Writer(out).value(config, 0);
    return out;
}

std::expected<Config, std::string> from_json(std::string_view text) {
    Config config;
    Reader reader(text);
    if (!reader.document(config)) return std::unexpected(std::move(reader.error()));
    return config;
}

}  // namespace vexal

// The JSON reader: a one-pass scanner of our own, since no JSON library
// reproduces the required messages and line/column positions exactly; number
// conversion is left to <charconv>.
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

#include "json_fields.hpp"
#include "text_format.hpp"

namespace vexal {
namespace {

using namespace json_fields;
using namespace text_format;

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

Result<Config> from_json(std::string_view text) {
    Config config;
    Reader reader(text);
    if (!reader.document(config)) return fail(ErrorKind::json, std::move(reader.error()));
    return config;
}

}  // namespace vexal

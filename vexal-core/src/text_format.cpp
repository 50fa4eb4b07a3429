#include "text_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "vexal/json.hpp"

namespace vexal {
namespace text_format {
namespace {

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

}  // namespace

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

std::string three_decimals(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[400];  // the largest double has 309 integer digits
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    return std::string(buf, r.ptr);
}

}  // namespace text_format

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

}  // namespace vexal

// libFuzzer target for the JSON reader. Besides the sanitizers' own checks it
// asserts two properties: whatever is read writes back to text that reads to
// the same Config, and every failure points inside the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "vexal/json.hpp"

namespace {

// "... at line L column C": L within the text's lines, C within line L
// (an error at a line feed itself is reported at column 0 of the next line).
bool position_inside(std::string_view text, const std::string& message) {
    unsigned long line = 0, column = 0;
    const auto at = message.rfind(" at line ");
    if (at == std::string::npos ||
        std::sscanf(message.c_str() + at, " at line %lu column %lu", &line, &column) != 2)
        return false;
    std::size_t start = 0;
    for (unsigned long l = 1; l < line; ++l) {
        start = text.find('\n', start);
        if (start == std::string_view::npos) return false;
        ++start;
    }
    const std::size_t end = std::min(text.find('\n', start), text.size());
    return line >= 1 && column <= end - start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto config = vexal::from_json(text);
    if (!config) {
        if (!position_inside(text, config.error())) __builtin_trap();
        return 0;
    }
    const std::string written = vexal::to_json(*config);
    const auto again = vexal::from_json(written);
    if (!again || vexal::to_json(*again) != written) __builtin_trap();
    return 0;
}

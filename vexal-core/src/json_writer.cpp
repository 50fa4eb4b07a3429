// The JSON text form of a Config, written in a fixed pretty layout.
#include "vexal/json.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json_fields.hpp"
#include "text_format.hpp"

namespace vexal {
namespace {

using namespace json_fields;
using namespace text_format;

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

}  // namespace

std::string to_json(const Config& config) {
    std::string out;
    out.reserve(1024);
    Writer(out).value(config, 0);
    return out;
}

}  // namespace vexal

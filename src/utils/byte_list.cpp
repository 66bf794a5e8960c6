#include "utils/byte_list.hpp"

namespace kx::utils {

void append_byte_list(std::string& out, std::span<const std::uint8_t> bytes) {
    out.reserve(out.size() + bytes.size() * 5 + 2);
    out += '[';
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += ", ";
        const unsigned b = bytes[i];
        if (b >= 100) out += static_cast<char>('0' + b / 100);
        if (b >= 10) out += static_cast<char>('0' + b / 10 % 10);
        out += static_cast<char>('0' + b % 10);
    }
    out += ']';
}

void append_byte_list(std::string& out, std::string_view bytes) {
    append_byte_list(out, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace kx::utils

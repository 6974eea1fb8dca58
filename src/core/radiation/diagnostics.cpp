#include "core/radiation/diagnostics.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace sorvex {

std::string plain_decimal(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0.0 ? "inf" : "-inf";
    }
    // Longest output: a sign, "0." and 323 zeros before 17 significant digits (the smallest
    // subnormal), or 309 integer digits (the largest double).
    std::array<char, 400> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::fixed);
    if (error != std::errc()) {
        return "?"; // unreachable: the buffer holds every finite double
    }
    return {buffer.data(), end};
}

void write_whole(std::FILE* stream, std::string_view text) {
    flockfile(stream);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    funlockfile(stream);
}

} // namespace sorvex

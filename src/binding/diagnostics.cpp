#include "binding/diagnostics.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace sorvex::binding {

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

namespace {

std::string labelled_values(const UnconvergedIntegral& integral) {
    std::string text;
    const auto line = [&text](const char* label, double value) {
        text += label;
        text += plain_decimal(value);
        text += '\n';
    };
    line("chi    = ", integral.chi);
    line("q      = ", integral.q);
    line("ga     = ", integral.ga);
    line("gb     = ", integral.gb);
    line("qromb  = ", integral.value);
    line("dqromb = ", integral.error);
    return text;
}

} // namespace

void report_unconverged(std::span<const UnconvergedIntegral> integrals) {
    for (const UnconvergedIntegral& integral : integrals) {
        if (integral.integrand == UnconvergedIntegral::Integrand::emission) {
            write_whole(stdout, "KVT_qromb error\n" + labelled_values(integral));
            write_whole(stderr, "KVT_qromb: too many steps");
        } else {
            write_whole(stderr, "AKVT_qromb error\n" + labelled_values(integral) +
                                    "AKVT_qromb: too many steps\n");
        }
    }
}

} // namespace sorvex::binding

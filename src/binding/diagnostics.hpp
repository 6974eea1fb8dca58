// The texts the binding writes for the core's reports: the synchrotron integrals that did not
// converge. Plain C++ (no Python), so that the C++ tests check the number format too.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "core/radiation/synchrotron.hpp"

namespace sorvex::binding {

/// The shortest decimal that reads back as `value`, in positional notation without exponent
/// ("8" for 8.0, "0.0000001" for 1e-7); non-finite values as "NaN", "inf" and "-inf".
std::string plain_decimal(double value);

/// Writes `text` to `stream` in one piece while holding the stream's lock, then flushes it, so
/// that text from concurrent writers never mixes inside a block.
void write_whole(std::FILE* stream, std::string_view text);

/// Reports each integral, in order: an emission integral (KVT_qromb) as its labelled values on
/// standard output followed by "KVT_qromb: too many steps" (no line break) on standard error;
/// an absorption integral (AKVT_qromb) wholly on standard error.
void report_unconverged(std::span<const UnconvergedIntegral> integrals);

} // namespace sorvex::binding

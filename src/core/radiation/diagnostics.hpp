// Diagnostic text of the numeric core: plain decimal numbers and whole-block writes.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace sorvex {

/// The shortest decimal that reads back as `value`, in positional notation without exponent
/// ("8" for 8.0, "0.0000001" for 1e-7); non-finite values as "NaN", "inf" and "-inf".
std::string plain_decimal(double value);

/// Writes `text` to `stream` in one piece while holding the stream's lock, then flushes it, so
/// that text from concurrent writers never mixes inside a block.
void write_whole(std::FILE* stream, std::string_view text);

} // namespace sorvex

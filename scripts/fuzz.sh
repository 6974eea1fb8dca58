#!/usr/bin/env bash
# make fuzz: the libFuzzer target of the numeric core, built with clang and instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer, run for FUZZ_SECONDS (default 60). The
# corpus grows in build/fuzz/corpus and is reused by later runs. The routines' own output (the
# synchrotron diagnostics) is silenced; libFuzzer still reports crashes and hangs.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$PWD/.venv
build=build/fuzz

# libFuzzer's runtime ships in Debian's libclang-rt-<version>-dev.
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
    version=$(clang++ --version | sed -n 's/.*version \([0-9]*\).*/\1/p' | head -n 1)
    if [ "$(id -u)" -eq 0 ]; then
        apt-get install -y --no-install-recommends "libclang-rt-$version-dev"
    else
        sudo apt-get install -y --no-install-recommends "libclang-rt-$version-dev"
    fi
fi
seconds=${FUZZ_SECONDS:-60}
"$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEX_SANITIZE=ON \
    -DSORVEX_BUILD_FUZZER=ON >/dev/null
"$venv/bin/cmake" --build "$build" --target sorvex_core_fuzzer
mkdir -p "$build/corpus"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    "$build/sorvex_core_fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=512 \
    -print_final_stats=1 -close_fd_mask=3 "$build/corpus"

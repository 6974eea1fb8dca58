#!/usr/bin/env bash
# make sanitize: the C++ tests and the Python tests of the native modules (tests/python, and the
# model layer's physics and kernel tests) against a build of both native
# modules (sorvex, sorvexfit.kernels) instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC's runtimes, preloaded into the interpreter), and the C++ tests
# under ThreadSanitizer with a pool of 4 threads. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$PWD/.venv
build=build/sanitize
cmake_args=(-G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    -DSORVEX_SANITIZE=ON -DSORVEX_WERROR=ON)

echo "== C++ tests (ASan, UBSan, LeakSanitizer)"
"$venv/bin/cmake" -S . -B "$build/cpp" "${cmake_args[@]}" -DSORVEX_BUILD_TESTS=ON \
    -DSORVEX_BUILD_EXTENSION=OFF >/dev/null
"$venv/bin/cmake" --build "$build/cpp"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$venv/bin/ctest" --test-dir "$build/cpp" --output-on-failure --timeout 900 -j2

echo "== C++ tests (ThreadSanitizer, 4 threads)"
"$venv/bin/cmake" -S . -B "$build/tsan" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEX_WERROR=ON -DSORVEX_BUILD_TESTS=ON \
    -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
"$venv/bin/cmake" --build "$build/tsan"
TSAN_OPTIONS=halt_on_error=1 RAYON_NUM_THREADS=4 "$build/tsan/sorvex_core_tests" --gtest_brief=1

echo "== Python tests against the instrumented extension"
# Every call into native code: the modules' own tests, and the model layer's tests that drive
# the kernels through the model (the fits, folders and adapters above them are Python).
NATIVE_TESTS=(tests/python tests/sorvexfit/test_physics.py tests/sorvexfit/test_kernels_reference.py
    tests/sorvexfit/test_interface.py tests/sorvexfit/test_flare.py)
[ $# -gt 0 ] || set -- "${NATIVE_TESTS[@]}"
"$venv/bin/cmake" -S . -B "$build/ext" "${cmake_args[@]}" -DSORVEX_BUILD_EXTENSION=ON \
    -DSORVEX_BUILD_PROBE=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
"$venv/bin/cmake" --build "$build/ext"
# sorvexfit from the sources, beside its instrumented kernels in $build/ext/sorvexfit/.
find "$build/ext/sorvexfit" -maxdepth 1 -type l -delete
for path in src/sorvexfit/*; do
    [ "$(basename "$path")" = __pycache__ ] || ln -s "$PWD/$path" "$build/ext/sorvexfit/"
done
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# The interpreter keeps memory until exit by design, so leak detection is off here; leaks of
# the extension are caught by the RSS and tracemalloc checks of the test suite.
LD_PRELOAD="$runtimes" PYTHONPATH="$PWD/$build/ext" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    SORVEX_EXPECT_MODULE="$PWD/$build/ext" \
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@"

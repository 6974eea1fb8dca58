#!/usr/bin/env bash
# make lint: checks the whole tree without changing it. Every check runs; the exit status is
# non-zero if any of them fails.
#   clang-format (check mode), a clang build with warnings as errors, clang-tidy,
#   ruff (lint and format check), mypy on the stub, sorvexfit, the examples and the typing tests.
set -uo pipefail
cd "$(dirname "$0")/.."

venv=.venv
failed=()
run() {
    local name=$1
    shift
    echo "== $name"
    if ! "$@"; then
        failed+=("$name")
    fi
}

mapfile -t cpp_files < <(git ls-files '*.cpp' '*.hpp')
mapfile -t core_sources < <(git ls-files 'src/*.cpp')
python_paths=()
for path in tests bench examples scripts src/sorvexfit src/sorvex.pyi; do
    [ -e "$path" ] && python_paths+=("$path")
done

run clang-format clang-format --dry-run --Werror "${cpp_files[@]}"

clang_build() {
    "$venv/bin/cmake" -S . -B build/clang -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" -DCMAKE_CXX_COMPILER=clang++ \
        -DSORVEX_BUILD_TESTS=ON -DSORVEX_BUILD_EXTENSION=ON -DSORVEX_BUILD_PROBE=ON -DSORVEX_WERROR=ON \
        -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null &&
        "$venv/bin/cmake" --build build/clang
}
run "clang build, warnings as errors" clang_build

tidy() {
    [ -f build/clang/compile_commands.json ] || return 1
    # clang-tidy 14 misses the atomics detection of CPython 3.13's headers: name it.
    printf '%s\n' "${core_sources[@]}" |
        xargs -P "$(nproc)" -n 4 clang-tidy --quiet -p build/clang \
            --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1 2>&1 |
        grep -v -E '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' |
        tee build/clang/tidy.log
    ! grep -q -E 'warning:|error:' build/clang/tidy.log
}
run clang-tidy tidy

run "ruff check" "$venv/bin/ruff" check "${python_paths[@]}"
run "ruff format" "$venv/bin/ruff" format --check "${python_paths[@]}"
run mypy "$venv/bin/mypy"

if [ ${#failed[@]} -gt 0 ]; then
    echo "lint: failed: ${failed[*]}" >&2
    exit 1
fi
echo "lint: all checks passed"

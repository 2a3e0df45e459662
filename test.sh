#!/usr/bin/env bash
# Run the whole test suite against the module installed in .venv.
#
#   ./test.sh [pytest args]             the ordinary build and run
#   ./test.sh --sanitize [pytest args]  a checked build (AddressSanitizer and
#       UndefinedBehaviorSanitizer) in .venv-sanitize, built under
#       build-sanitize/, and the suite run there with the sanitizer runtimes
#       preloaded; any sanitizer report, from pytest itself or from a child
#       process, fails the run.
set -euo pipefail
cd "$(dirname "$0")"

if [ "${1:-}" != "--sanitize" ]; then
    [ -x .venv/bin/python ] || ./setup.sh
    exec .venv/bin/python -m pytest -q "$@"
fi
shift

. tools/find_python310.sh

VENV=.venv-sanitize
if [ ! -x "$VENV/bin/python" ]; then
    PY=$(find_python310) || {
        echo "test.sh: CPython 3.10 not found (install it with pyenv, or put python3.10 on PATH)" >&2
        exit 1
    }
    "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --quiet --upgrade pip
"$VENV/bin/python" -m pip install --quiet -r requirements-dev.txt

# The sanitizer runtimes come from the compiler that builds the module (gcc).
CXX_FOR_SANITIZE=${CXX:-g++}
runtime() {
    local lib
    lib=$("$CXX_FOR_SANITIZE" -print-file-name="$1")
    if [ ! -e "$lib" ] || [ "$lib" = "$1" ]; then
        echo "test.sh: $1 not found next to $CXX_FOR_SANITIZE (install gcc's sanitizer runtimes)" >&2
        exit 1
    fi
    echo "$lib"
}
LIBASAN=$(runtime libasan.so)
LIBUBSAN=$(runtime libubsan.so)

# Debug information stays in the module: no stripping, as a Release build of
# an extension module would do.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
CXX="$CXX_FOR_SANITIZE" "$VENV/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
    --config-settings=cmake.define.QEL_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=build-dir="build-sanitize/{wheel_tag}" \
    .

# operator new that throws std::bad_alloc when malloc refuses a request, as
# in a normal build (see tools/sanitize/operator_new.cpp); it goes ahead of
# the sanitizer runtime in LD_PRELOAD.
NEW_SHIM=build-sanitize/libqel_operator_new.so
if [ ! -e "$NEW_SHIM" ] || [ tools/sanitize/operator_new.cpp -nt "$NEW_SHIM" ]; then
    "$CXX_FOR_SANITIZE" -std=c++17 -O2 -shared -fPIC tools/sanitize/operator_new.cpp -o "$NEW_SHIM"
fi

# Reports go to files under LOGDIR (one per reporting process), so that a
# report from a child interpreter fails the run even when the test that
# started the child would have passed.
LOGDIR=$(mktemp -d "${TMPDIR:-/tmp}/qel-sanitize.XXXXXX")
trap 'rm -rf "$LOGDIR"' EXIT
export LD_PRELOAD="$PWD/$NEW_SHIM $LIBASAN $LIBUBSAN${LD_PRELOAD:+ $LD_PRELOAD}"
# detect_leaks=0: the interpreter keeps much memory until exit on purpose.
# allocator_may_return_null=1: a failed malloc returns NULL (MemoryError in
# NumPy, the interpreter and, through the preloaded operator new, our code)
# instead of ending the process. verify_asan_link_order=0: that operator new
# comes ahead of the runtime on purpose.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:verify_asan_link_order=0:log_path=$LOGDIR/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$LOGDIR/ubsan"
# Objects of the interpreter come from malloc, so their misuse is seen too.
export PYTHONMALLOC=malloc
export QEL_SANITIZE_RUN=1

status=0
"$VENV/bin/python" -m pytest -q "$@" || status=$?

reports=$(find "$LOGDIR" -type f -size +0 | sort)
if [ -n "$reports" ]; then
    echo "test.sh --sanitize: sanitizer reports:" >&2
    for f in $reports; do
        echo "==== $(basename "$f")" >&2
        cat "$f" >&2
    done
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"

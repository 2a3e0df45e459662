#!/usr/bin/env bash
# Build and install _bindings into .venv (CPython 3.10), then run the quickstart.
set -euo pipefail
cd "$(dirname "$0")"

. tools/find_python310.sh

if [ ! -x .venv/bin/python ]; then
    PY=$(find_python310) || {
        echo "setup.sh: CPython 3.10 not found (install it with pyenv, or put python3.10 on PATH)" >&2
        exit 1
    }
    "$PY" -m venv .venv
fi

.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
.venv/bin/python -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .

if [ "${QEL_SKIP_EXAMPLE:-0}" != "1" ]; then
    (cd examples && ../.venv/bin/python quickstart.py)
fi

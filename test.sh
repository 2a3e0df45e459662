#!/usr/bin/env bash
# Run the whole test suite against the module installed in .venv.
set -euo pipefail
cd "$(dirname "$0")"
[ -x .venv/bin/python ] || ./setup.sh
exec .venv/bin/python -m pytest -q "$@"

#!/usr/bin/env bash
# Builds the package and runs the example.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

# Every package it needs is installed (or named for root) before the build.
ensure_system build python
ensure_deps
make_venv "$ROOT/.venv" "$PY_BUILD"
WHEEL="$(build_wheel "$ROOT/.venv")"
quietly install "$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
(cd "$ROOT/examples" && "$ROOT/.venv/bin/python" example.py)

#!/usr/bin/env bash
# Builds the package and runs the example.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_system_packages "${BUILD_PACKAGES[@]}"
ensure_deps
PY_BUILD="$(python_build)"
ensure_python_headers "$PY_BUILD"
make_venv "$ROOT/.venv" "$PY_BUILD"
WHEEL="$(build_wheel "$ROOT/.venv")"
"$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
(cd "$ROOT/examples" && "$ROOT/.venv/bin/python" example.py)

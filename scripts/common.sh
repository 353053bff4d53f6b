# Shared set-up of the project's two commands: system packages, a Python
# 3.12+ interpreter and the virtual environments.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

log() { printf '==> %s\n' "$*" >&2; }

declare -F ensure_deps >/dev/null || source "$ROOT/scripts/deps.sh"

APT_UPDATED=""
apt_install() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ -z "$APT_UPDATED" ]; then
    $sudo apt-get update -qq
    APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

ensure_system_packages() {
  # HDF5 and libdeflate come from deps.sh, which needs patch and xz-utils;
  # binutils' nm checks the extension's exported symbols.
  local wanted=(g++ cmake ninja-build pkg-config libgtest-dev zlib1g-dev git patch xz-utils binutils)
  local missing=()
  for p in "${wanted[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing system packages: ${missing[*]}"
    apt_install "${missing[@]}"
  fi
}

# Prints the path of an interpreter of at least the given minor version of 3.
find_python() {
  local minor="$1"; shift
  local candidates=("$@")
  for c in "${candidates[@]}"; do
    [ -n "$c" ] || continue
    local path
    path="$(command -v "$c" 2>/dev/null || true)"
    [ -n "$path" ] || continue
    if "$path" -c "import sys; sys.exit(0 if sys.version_info >= (3, $minor) else 1)" 2>/dev/null; then
      printf '%s\n' "$path"
      return 0
    fi
  done
  return 1
}

python312() {
  find_python 12 "${PYTHON:-}" /root/.pyenv/versions/3.12.1/bin/python3.12 python3.12 \
    /usr/bin/python3.12 /usr/bin/python3.13 python3.13 python3 || {
    echo "error: no Python 3.12 or later found; set PYTHON to one" >&2
    return 1
  }
}

python313() {
  find_python 13 "${PYTHON313:-}" /root/.pyenv/versions/3.13.0/bin/python3.13 /usr/bin/python3.13 python3.13 || true
}

# The extension and the embedded-interpreter tests need the C headers of
# the interpreter that builds them.
ensure_python_headers() {
  local py="$1" inc
  inc="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
  if [ ! -f "$inc/Python.h" ]; then
    local minor
    minor="$("$py" -c 'import sys; print(sys.version_info[1])')"
    log "installing python3.$minor-dev"
    apt_install "python3.$minor-dev"
  fi
}

# make_venv DIR PYTHON: a virtual environment with the test tools.
make_venv() {
  local dir="$1" py="$2"
  if [ ! -x "$dir/bin/python" ]; then
    log "creating virtual environment $dir ($("$py" --version))"
    if ! "$py" -m venv "$dir"; then
      # Debian's own interpreters keep venv in a separate package.
      local minor
      minor="$("$py" -c 'import sys; print(sys.version_info[1])')"
      log "installing python3.$minor-venv"
      rm -rf "$dir"
      apt_install "python3.$minor-venv"
      "$py" -m venv "$dir"
    fi
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$dir/bin/python" -m pip install -q --disable-pip-version-check pytest h5py numpy hypothesis
}

# Builds the one abi3 wheel into dist/ and prints its path.
build_wheel() {
  local venv="$1"
  rm -rf "$ROOT/dist"
  "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$ROOT/dist" \
    --config-settings=cmake.define.QR_DEPS_PREFIX="$DEPS_PREFIX" "$ROOT" >&2
  ls "$ROOT"/dist/quillrun_sdk-*-abi3-*.whl
}

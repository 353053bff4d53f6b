# Shared set-up of the project's two commands: system packages, a Python
# 3.12+ interpreter and the virtual environments.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Every core unless JOBS says otherwise (builds, tests and the fuzzer).
JOBS="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

log() { printf '==> %s\n' "$*" >&2; }

declare -F ensure_deps >/dev/null || source "$ROOT/scripts/deps.sh"

# What building HDF5, libdeflate and the extension needs (git gives the build
# its provenance), and what the tests add (binutils' nm checks the
# extension's exported symbols).
BUILD_PACKAGES=(g++ cmake ninja-build zlib1g-dev patch xz-utils git)
TEST_PACKAGES=(pkg-config libgtest-dev binutils)

# apt needs root: as another user the scripts run it through sudo.
SUDO=""
apt_as_root() {
  if [ "$(id -u)" -ne 0 ] && [ -z "$SUDO" ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "error: apt needs root to install $*, and sudo is not installed; as root, run" >&2
      echo "  apt-get install $*" >&2
      echo "then this command again" >&2
      return 1
    fi
    log "apt needs root: running it through sudo"
    SUDO=sudo
  fi
}

APT_UPDATED=""
apt_update() {
  [ -z "$APT_UPDATED" ] || return 0
  $SUDO apt-get update -qq
  APT_UPDATED=1
}

# apt_install PACKAGE...
apt_install() {
  apt_as_root "$@" && apt_update || return 1
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# ensure_system_packages PACKAGE...: installs those the machine lacks.
ensure_system_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing system packages: ${missing[*]}"
    apt_install "${missing[@]}"
  fi
}

# clang and its runtimes (sanitizers, libFuzzer) for the sanitizer build and
# the fuzzer: Debian's default clang and the runtime package of its major
# version, libclang-rt-N-dev.
ensure_clang() {
  command -v clang >/dev/null 2>&1 || { log "installing clang"; apt_install clang; }
  local major
  major="$(clang -dumpversion | cut -d. -f1)"
  if ! dpkg -s "libclang-rt-$major-dev" >/dev/null 2>&1; then
    log "installing libclang-rt-$major-dev"
    apt_install "libclang-rt-$major-dev"
  fi
}

# Configures build/asan: the project built by clang with AddressSanitizer
# and UBSan, and its fuzzer, over HDF5 and libdeflate from the sanitized
# prefix; more CMake arguments may follow. One clang build serves both, as
# objects of gcc's and clang's sanitizers do not mix.
configure_sanitized() {
  ensure_clang
  ensure_san_deps
  # A tree configured by another compiler starts over.
  if [ -f "$ROOT/build/asan/CMakeCache.txt" ] &&
    ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++$' "$ROOT/build/asan/CMakeCache.txt"; then
    rm -rf "$ROOT/build/asan"
  fi
  cmake -S "$ROOT" -B "$ROOT/build/asan" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DQR_SANITIZE=ON -DQR_BUILD_FUZZ=ON "-DQR_DEPS_PREFIX=$DEPS_SAN_PREFIX" "$@" >/dev/null
}

# Prints the interpreter's minor version of 3 when it is 3.12 or later.
python_minor() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1); ' 2>/dev/null || return 1
  "$1" -c 'import sys; print(sys.version_info[1])'
}

# Every Python 3.12+ this machine has, best first: PYTHON, pyenv's versions
# (newest patch release of each minor version), PATH, then /usr/bin.
python_candidates() {
  [ -n "${PYTHON:-}" ] && printf '%s\n' "$PYTHON"
  local pyenv_root="${PYENV_ROOT:-}"
  [ -n "$pyenv_root" ] || pyenv_root="$(pyenv root 2>/dev/null || true)"
  [ -n "$pyenv_root" ] || pyenv_root="$HOME/.pyenv"
  if [ -d "$pyenv_root/versions" ]; then
    # Plain CPython releases only (3.N.M), newest first.
    find "$pyenv_root/versions" -mindepth 1 -maxdepth 1 -name '3.*' -printf '%f\n' 2>/dev/null |
      grep -E '^3\.[0-9]+\.[0-9]+$' | sort -t. -k1,1nr -k2,2nr -k3,3nr |
      while read -r v; do printf '%s\n' "$pyenv_root/versions/$v/bin/python${v%.*}"; done
  fi
  local name
  for name in python3.14 python3.13 python3.12 python3; do
    command -v "$name" 2>/dev/null || true
  done
  for name in /usr/bin/python3.14 /usr/bin/python3.13 /usr/bin/python3.12 /usr/bin/python3; do
    [ -x "$name" ] && printf '%s\n' "$name"
  done
  return 0
}

# Prints the first interpreter of the given minor version (or, with "+",
# of that version or later), or nothing.
find_python() {
  local want="$1" c minor
  while read -r c; do
    [ -x "$c" ] || continue
    minor="$(python_minor "$c")" || continue
    case "$want" in
      *+) [ "$minor" -ge "${want%+}" ] || continue ;;
      *) [ "$minor" -eq "$want" ] || continue ;;
    esac
    printf '%s\n' "$c"
    return 0
  done < <(python_candidates)
  return 1
}

# Installs Debian's python3 (with venv and headers) when it is 3.12 or later.
install_debian_python() {
  command -v apt-get >/dev/null 2>&1 || return 1
  local version
  version="$(debian_python_version)"
  # A bare system may have no package lists yet.
  if [ -z "$version" ]; then
    apt_as_root python3 python3-venv python3-dev && apt_update || return 1
    version="$(debian_python_version)"
  fi
  case "$version" in
    3.1[2-9]|3.[2-9][0-9])
      log "installing Debian's python3 ($version) with venv and headers"
      apt_install python3 python3-venv python3-dev
      ;;
    *) return 1 ;;
  esac
}

debian_python_version() {
  apt-cache policy python3 2>/dev/null | sed -n 's/^ *Candidate: *\([0-9]*\.[0-9]*\).*/\1/p'
}

# The interpreter that builds the wheel: Python 3.12 or later.
python_build() {
  find_python 12 || find_python 12+ && return 0
  install_debian_python && find_python 12+ && return 0
  cat >&2 <<'MSG'
error: no Python 3.12 or later found, and this system's python3 package is older.
  Install one (for example with pyenv: `pyenv install 3.12`) or set PYTHON to
  the path of a Python 3.12+ interpreter, then run this command again.
MSG
  return 1
}

# The interpreters the one abi3 wheel is tested under: the newest 3.12 and
# the newest later release, as far as the machine has them.
python_test_set() {
  local p12 plater
  p12="$(find_python 12 || true)"
  plater="$(find_python 13+ || true)"
  [ -n "$p12" ] && printf '%s\n' "$p12"
  [ -n "$plater" ] && printf '%s\n' "$plater"
  return 0
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

# Builds the one abi3 wheel into dist/ and prints its path; a second
# argument ON makes warnings errors.
build_wheel() {
  local venv="$1" werror="${2:-OFF}"
  rm -rf "$ROOT/dist"
  "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
    --config-settings=cmake.define.QR_WERROR="$werror" \
    --config-settings=cmake.define.QR_DEPS_PREFIX="$DEPS_PREFIX" -w "$ROOT/dist" "$ROOT" >&2
  ls "$ROOT"/dist/quillrun_sdk-*-abi3-*.whl
}

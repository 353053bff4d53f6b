# Shared set-up of the project's two commands: system packages, a Python
# 3.12+ interpreter and the virtual environments.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Every core unless JOBS says otherwise (builds, tests and the fuzzer).
JOBS="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

log() { printf '==> %s\n' "$*" >&2; }

declare -F ensure_deps >/dev/null || source "$ROOT/scripts/deps.sh"

# quietly NAME COMMAND...: a step whose output goes to build/logs/NAME.log. A
# step that passes shows only its own "==>" lines and ctest's closing lines;
# one that fails shows its whole log, less the lines that only tell progress
# (ninja's "[n/N]", ctest's "Start" and "Passed" lines, libFuzzer's "#N:"
# status lines).
quietly() {
  local name="$1" status=0
  shift
  mkdir -p "$ROOT/build/logs"
  local log="$ROOT/build/logs/$name.log"
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    grep -E '^==> |^[0-9]+% tests passed|^Total Test time' "$log" >&2 || true
  else
    grep -vE '^\[[0-9]+/[0-9]+\] |^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^#[0-9]+: ' "$log" >&2 || true
    echo "error: step $name failed (exit $status); its whole log is $log" >&2
  fi
  return "$status"
}

# What building HDF5, libdeflate and the extension needs (git gives the build
# its provenance), and what the tests add (binutils' nm checks the
# extension's exported symbols).
BUILD_PACKAGES=(g++ cmake ninja-build zlib1g-dev patch xz-utils git)
TEST_PACKAGES=(pkg-config libgtest-dev binutils)

# apt needs root. As another user the scripts use sudo when it lets this
# user in without a password that cannot work; otherwise they stop once,
# before installing or building anything, with the apt-get line for root.
SUDO=""
APT_ACCESS=""  # root, sudo or none once apt_access has asked
APT_DENIED=""  # why not, for the message
# apt_access [--no-prompt]: whether apt can run as root; --no-prompt leaves
# out the password prompt (and decides nothing for a later call).
apt_access() {
  case "$APT_ACCESS" in
    root | sudo) return 0 ;;
    none) return 1 ;;
  esac
  if [ "$(id -u)" -eq 0 ]; then
    APT_ACCESS=root
    return 0
  fi
  APT_ACCESS=none
  if ! command -v sudo >/dev/null 2>&1; then
    APT_DENIED="you are not root and sudo is not installed"
    return 1
  fi
  # A rule without a password, or a password given a moment ago.
  if sudo -n true 2>/dev/null; then
    APT_ACCESS=sudo SUDO=sudo
    return 0
  fi
  # Without the password sudo does not tell whether it would let this user
  # in at all (it asks first, then refuses a user it does not know). So it
  # asks only a member of a group that sudoers files admit, once, and only
  # at a terminal.
  local member=""
  if id -nG 2>/dev/null | tr ' ' '\n' | grep -qxE 'sudo|admin|wheel'; then member=1; fi
  if [ -n "$member" ] && [ -t 0 ] && [ "${1:-}" = --no-prompt ]; then
    APT_ACCESS="" APT_DENIED="sudo needs your password, which is asked for only once the command can go on"
  elif [ -n "$member" ] && [ -t 0 ]; then
    log "apt needs root: sudo asks for your password once"
    if sudo -v; then
      APT_ACCESS=sudo SUDO=sudo
      return 0
    fi
    APT_DENIED="sudo did not let you in"
  elif [ -z "$member" ]; then
    APT_DENIED="sudo needs a password, and you are in none of the groups it admits (sudo, admin, wheel)"
  else
    APT_DENIED="sudo needs a password, and there is no terminal to ask for it"
  fi
  return 1
}

# The one stop of a user who cannot install: the line for root.
apt_stop() {
  echo "error: this command needs Debian packages that it cannot install: $APT_DENIED. As root, run" >&2
  echo "  apt-get install $*" >&2
  echo "then this command again (or, if sudo does let you in, run \`sudo -v\` first: it then installs them itself)." >&2
}

APT_UPDATED=""
apt_update() {
  [ -z "$APT_UPDATED" ] || return 0
  $SUDO apt-get update -qq
  APT_UPDATED=1
}

# apt_install PACKAGE...
apt_install() {
  apt_access || { apt_stop "$@"; return 1; }
  apt_update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# missing_packages PACKAGE...: prints those the machine lacks.
missing_packages() {
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || printf '%s\n' "$p"
  done
}

# ensure_system_packages PACKAGE...: installs those the machine lacks.
ensure_system_packages() {
  local missing=()
  mapfile -t missing < <(missing_packages "$@")
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing system packages: ${missing[*]}"
    apt_install "${missing[@]}"
  fi
}

# clang and its runtimes (sanitizers, libFuzzer) for the sanitizer build and
# the fuzzer: the runtime package of the installed clang's major version,
# libclang-rt-N-dev, or, with no clang yet, Debian's default clang and the
# package that brings the runtimes of its version.
clang_packages() {
  if command -v clang >/dev/null 2>&1; then
    echo "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
  else
    echo clang libclang-rt-dev
  fi
}

ensure_clang() {
  local packages
  read -r -a packages <<<"$(clang_packages)"
  ensure_system_packages "${packages[@]}"
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

# The version of the python3 package apt would install, e.g. 3.13; without
# package lists, that of the Debian release.
debian_python_version() {
  local version
  version="$(apt-cache policy python3 2>/dev/null | sed -n 's/^ *Candidate: *\([0-9]*\.[0-9]*\).*/\1/p')"
  if [ -z "$version" ] && [ -r /etc/os-release ]; then
    case "$(. /etc/os-release && echo "${ID:-}:${VERSION_ID:-}")" in
      debian:12) version=3.11 ;;
      debian:13) version=3.13 ;;
    esac
  fi
  printf '%s\n' "$version"
}

# Whether an interpreter is one of Debian's, which keep venv and the C headers
# in packages of their own.
debian_python() {
  dpkg -S "$(readlink -f "$1")" >/dev/null 2>&1
}

# python_packages BUILD_PYTHON [TEST_PYTHON...]: the Debian packages these
# interpreters still need: venv for each (Debian's ensurepip comes with it),
# the C headers for the one that builds.
python_packages() {
  local py minor first=1
  for py in "$@"; do
    if debian_python "$py"; then
      minor="$("$py" -c 'import sys; print(sys.version_info[1])')"
      "$py" -c 'import ensurepip' 2>/dev/null || echo "python3.$minor-venv"
      if [ -n "$first" ] && [ ! -f "$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
        echo "python3.$minor-dev"
      fi
    fi
    first=""
  done
}

# The interpreter that builds the wheel: Python 3.12 or later.
python_build() {
  find_python 12 || find_python 12+ && return 0
  python_missing
  return 1
}

python_missing() {
  local version
  version="$(debian_python_version)"
  echo "error: no Python 3.12 or later found, and this system's python3 package is ${version:-not known here}." >&2
  cat >&2 <<'MSG'
  Install one (for example with pyenv: `pyenv install 3.12`) or set PYTHON to
  the path of a Python 3.12+ interpreter, then run this command again.
MSG
}

# ensure_system WHAT...: every system package the command needs, known
# before anything is installed or built, installed in one apt run, or else
# named in one apt-get line for root. WHAT: build (compiler and tools), tests
# (GoogleTest, pkg-config, binutils), clang (the sanitizer build and the
# fuzzer), python (a Python 3.12 or later with venv and headers: sets
# PY_BUILD; with tests, venv for each interpreter the wheel is tested under).
ensure_system() {
  local what wanted=() packages=() python="" tests=""
  for what in "$@"; do
    case "$what" in
      build) wanted+=("${BUILD_PACKAGES[@]}") ;;
      tests) wanted+=("${TEST_PACKAGES[@]}") tests=1 ;;
      clang) read -r -a packages <<<"$(clang_packages)"; wanted+=("${packages[@]}") ;;
      python) python=1 ;;
      *) echo "ensure_system: unknown part $what" >&2; return 2 ;;
    esac
  done
  local py="" version="" python_stop=""
  if [ -n "$python" ]; then
    py="$(find_python 12 || find_python 12+ || true)"
    if [ -n "$py" ]; then
      local interpreters=("$py")
      [ -z "$tests" ] || mapfile -t -O 1 interpreters < <(python_test_set | grep -vxF "$py")
      mapfile -t -O "${#wanted[@]}" wanted < <(python_packages "${interpreters[@]}")
    else
      version="$(debian_python_version)"
      case "$version" in
        3.1[2-9] | 3.[2-9][0-9]) wanted+=(python3 python3-venv python3-dev) ;;
        *) python_stop=1 ;;
      esac
    fi
  fi
  local missing=()
  mapfile -t missing < <(missing_packages "${wanted[@]}" | awk '!seen[$0]++')
  if [ -n "$python_stop" ]; then
    # Nothing is installed before the one thing apt cannot give is there.
    python_missing
    if [ "${#missing[@]}" -gt 0 ] && ! apt_access --no-prompt; then
      apt_stop "${missing[@]}"
    fi
    return 1
  fi
  if [ "${#missing[@]}" -gt 0 ]; then
    apt_access || { apt_stop "${missing[@]}"; return 1; }
    log "installing system packages: ${missing[*]}"
    apt_install "${missing[@]}"
  fi
  if [ -n "$python" ]; then
    PY_BUILD="${py:-$(find_python 12+)}" || { python_missing; return 1; }
  fi
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
  quietly "pip-${dir##*/}" "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  quietly "pip-${dir##*/}" "$dir/bin/python" -m pip install -q --disable-pip-version-check pytest h5py numpy hypothesis
}

# Builds the one abi3 wheel into dist/ and prints its path; a second
# argument ON makes warnings errors.
build_wheel() {
  local venv="$1" werror="${2:-OFF}"
  rm -rf "$ROOT/dist"
  quietly wheel "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
    --config-settings=cmake.define.QR_WERROR="$werror" \
    --config-settings=cmake.define.QR_DEPS_PREFIX="$DEPS_PREFIX" -w "$ROOT/dist" "$ROOT" || return 1
  ls "$ROOT"/dist/quillrun_sdk-*-abi3-*.whl
}

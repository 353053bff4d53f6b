# HDF5 and libdeflate for the core and the extension, built from Debian 13's
# (trixie's) source packages into one static prefix, build/deps/prefix, so
# that every machine reads files with the same library and the same error
# texts. Sourced by common.sh (ensure_deps sets DEPS_PREFIX); run on its own,
# `bash scripts/deps.sh` installs the build's missing system packages with apt
# (through sudo when not run as root), builds the prefix and prints its path.
#
# The tests and the fuzzer also ask for a second prefix of the same sources
# and patches built by clang under the sanitizers, build/deps/prefix-san
# (ensure_san_deps sets DEPS_SAN_PREFIX; `bash scripts/deps.sh --san`), so
# that they see faults inside HDF5 and libdeflate too.
#
# Each prefix is built once and kept while the trixie versions of both
# packages and its recipe stay the same; without a network the last prefix
# built is reused.

DEPS_SUITE=trixie
DEPS_PACKAGES=(hdf5 libdeflate)

# The Debian mirror that the machine's own apt sources name: deb822 files on
# Debian 13, "deb" lines in sources.list on Debian 12 and on debootstrapped
# systems. Security and snapshot archives do not carry the suite itself.
deps_mirror() {
  local mirror
  mirror="$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
    tr -s ' \t' '\n\n' | grep -E '^[a-z+]+://.*/debian/?$' | head -n 1 || true)"
  if [ -z "$mirror" ]; then
    mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($i ~ /^[a-z+]+:\/\/.*\/debian\/?$/) { print $i; exit }
      }')"
  fi
  [ -n "$mirror" ] || {
    echo "error: no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d/*.sources" >&2
    return 1
  }
  printf '%s\n' "${mirror%/}"
}

# apt-get on a private source list and private index: the machine's own apt
# state is neither read for sources nor written.
deps_apt() {
  local apt_dir="$DEPS_DIR/apt"
  apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/empty" \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
    -o APT::Sandbox::User=root -o APT::Get::Only-Source=true "$@"
}

# The version of a source package the private index offers, e.g. 1.14.5+repack-3.
deps_candidate() {
  deps_apt source --print-uris "$1" 2>/dev/null |
    sed -n "s/^'[^']*' $1_\(.*\)\.dsc .*/\1/p" | head -n 1
}

# Downloads a source package into build/deps/src, dropping other versions.
# apt checks every file against the signed index and keeps only those that
# match. Some mirrors carry a package's upstream tarball but not Debian's
# packaging files; the upstream source is then built as it is.
deps_fetch() {
  local package="$1" version="$2" upstream="${2%-*}"
  find "$DEPS_DIR/src" -maxdepth 1 -name "${package}_*" ! -name "${package}_${upstream}.orig.tar.*" \
    ! -name "${package}_${version}.*" -delete
  if ! ls "$DEPS_DIR/src/${package}_${upstream}.orig.tar."* "$DEPS_DIR/src/${package}_${version}.debian.tar."* \
    >/dev/null 2>&1; then
    (cd "$DEPS_DIR/src" && deps_apt source --download-only "$package=$version" </dev/null >/dev/null 2>&1) || true
  fi
  if ! ls "$DEPS_DIR/src/${package}_${upstream}.orig.tar."* >/dev/null 2>&1; then
    echo "error: could not download the $package $version source from the $DEPS_SUITE mirror" >&2
    return 1
  fi
}

# How a fetched package is built, for the log: "hdf5 1.14.5+repack-3 (Debian's
# source with its patches)", or its upstream source where the mirror carries
# no Debian packaging for it.
deps_describe() {
  local package="$1" version="$2" how="Debian's source with its patches"
  ls "$DEPS_DIR/src/${package}_${version}.debian.tar."* >/dev/null 2>&1 || how="upstream source"
  ! ls "$ROOT/scripts/$package-patches/"*.patch >/dev/null 2>&1 || how+=" and ours"
  printf '%s %s (%s)' "$package" "$version" "$how"
}

# The patches of scripts/<package>-patches, one path a line, in the order of
# the folder's series file (a patch's name a line; blank lines and lines
# starting with # are skipped). Fails, saying why, when a listed patch is
# missing or listed twice, or a .patch file is not listed, so that the series
# and the folder cannot drift apart.
deps_series() {
  local dir="$ROOT/scripts/$1-patches" name rest own listed=()
  if [ ! -f "$dir/series" ]; then
    ! ls "$dir/"*.patch >/dev/null 2>&1 || {
      echo "error: $dir holds patches but no series file that orders them" >&2
      return 1
    }
    return 0
  fi
  while read -r name rest; do
    case "$name" in '' | '#'*) continue ;; esac
    local why=""
    if [ -n "$rest" ]; then
      why="one patch's name a line, nothing after it"
    elif [ ! -f "$dir/$name" ]; then
      why="there is no such patch"
    elif [[ " ${listed[*]} " == *" $name "* ]]; then
      why="listed twice"
    fi
    [ -z "$why" ] || {
      echo "error: $dir/series, \"$name${rest:+ $rest}\": $why" >&2
      return 1
    }
    listed+=("$name")
  done <"$dir/series"
  for own in "$dir/"*.patch; do
    [ -f "$own" ] || continue
    [[ " ${listed[*]} " == *" ${own##*/} "* ]] || {
      echo "error: $own is not listed in $dir/series" >&2
      return 1
    }
  done
  [ "${#listed[@]}" -eq 0 ] || printf '%s\n' "${listed[@]/#/$dir/}"
}

# Unpacks a downloaded 3.0 (quilt) source package and applies Debian's patch
# series, as dpkg-source -x would, without needing dpkg-dev; then our own
# fixes from scripts/<package>-patches in their series' order, each tested by
# the reproducer beside it. Ours must apply exactly where they were made (no
# fuzz): a patch whose context moved is made again, not guessed at.
deps_unpack() {
  local package="$1" version="$2" into="$3"
  local upstream="${version%-*}" origs
  rm -rf "$into" && mkdir -p "$into"
  origs=("$DEPS_DIR/src/${package}_${upstream}.orig.tar."*)
  tar xf "${origs[0]}" -C "$into" --strip-components=1 || return 1
  local debian=("$DEPS_DIR/src/${package}_${version}.debian.tar."*)
  if [ -f "${debian[0]}" ]; then
    tar xf "${debian[0]}" -C "$into" || return 1
    local series="$into/debian/patches/series" name level
    if [ -f "$series" ]; then
      while read -r name level; do
        case "$name" in '' | '#'*) continue ;; esac
        patch -d "$into" -s -N "${level:--p1}" <"$into/debian/patches/$name" || return 1
      done <"$series"
    fi
  fi
  local own ours
  ours="$(deps_series "$package")" || return 1
  while read -r own; do
    [ -n "$own" ] || continue
    patch -d "$into" -s -N -p1 --fuzz=0 --no-backup-if-mismatch <"$own" || {
      echo "error: ${own#"$ROOT"/} does not apply to $package $version after the patches listed before it" >&2
      return 1
    }
  done <<<"$ours"
}

# deps_build PREFIX C_FLAGS [HDF5 CMAKE ARGS...]: the unpacked sources in
# work/ into PREFIX, with the compiler CMake finds (CC).
deps_build() {
  local prefix="$1" cflags="$2" work="$DEPS_DIR/work"
  shift 2
  local common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix"
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON "-DCMAKE_C_FLAGS=-fvisibility=hidden${cflags:+ $cflags}"
    -DBUILD_SHARED_LIBS=OFF)
  # The extension serialises its HDF5 calls, so no thread-safety layer.
  cmake -S "$work/hdf5" -B "$work/hdf5-build" "${common[@]}" -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF \
    -DHDF5_BUILD_HL_LIB=OFF -DHDF5_BUILD_CPP_LIB=OFF -DHDF5_BUILD_FORTRAN=OFF -DHDF5_BUILD_JAVA=OFF \
    -DHDF5_BUILD_TOOLS=OFF -DHDF5_BUILD_UTILS=OFF -DHDF5_BUILD_EXAMPLES=OFF -DHDF5_ENABLE_THREADSAFE=OFF \
    -DHDF5_ENABLE_Z_LIB_SUPPORT=ON -DHDF5_ENABLE_SZIP_SUPPORT=OFF "$@" &&
    cmake --build "$work/hdf5-build" -j "$JOBS" &&
    cmake --install "$work/hdf5-build" &&
    cmake -S "$work/libdeflate" -B "$work/libdeflate-build" "${common[@]}" -DCMAKE_INSTALL_LIBDIR=lib \
      -DLIBDEFLATE_BUILD_STATIC_LIB=ON -DLIBDEFLATE_BUILD_SHARED_LIB=OFF -DLIBDEFLATE_BUILD_GZIP=OFF \
      -DLIBDEFLATE_BUILD_TESTS=OFF &&
    cmake --build "$work/libdeflate-build" -j "$JOBS" &&
    cmake --install "$work/libdeflate-build"
}

# Sets DEPS_WANTED to what a release prefix's stamp must say: the trixie
# versions of both packages and a hash of the recipe. Fails when the mirror
# cannot be read.
deps_wanted() {
  [ -z "${DEPS_WANTED:-}" ] || return 0
  local mirror package version wanted=""
  mkdir -p "$DEPS_DIR/apt/lists/partial" "$DEPS_DIR/apt/empty" "$DEPS_DIR/src"
  mirror="$(deps_mirror)" || return 2
  # The index is checked against Debian's archive keys, as the machine's own
  # sources are.
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg options=""
  [ ! -f "$keyring" ] || options="[signed-by=$keyring] "
  echo "deb-src $options$mirror $DEPS_SUITE main" >"$DEPS_DIR/apt/sources.list"
  if ! deps_apt update -qq >/dev/null 2>&1; then
    DEPS_OFFLINE="$mirror"
    return 1
  fi
  for package in "${DEPS_PACKAGES[@]}"; do
    version="$(deps_candidate "$package")"
    [ -n "$version" ] || { echo "error: $mirror offers no $package source for $DEPS_SUITE" >&2; return 2; }
    wanted+="$package $version"$'\n'
  done
  # How they are unpacked, patched and built counts as well (bash prints
  # the functions without their comments).
  wanted+="recipe $({ declare -f deps_unpack deps_series deps_build
    cat "$ROOT/scripts/"*-patches/series "$ROOT/scripts/"*-patches/*.patch 2>/dev/null; } |
    sha256sum | cut -d' ' -f1)"
  DEPS_WANTED="$wanted"
}

# deps_prefix PREFIX STAMP_TEXT C_FLAGS [HDF5 CMAKE ARGS...]: builds both
# packages into PREFIX unless its stamp already says STAMP_TEXT.
deps_prefix() {
  local prefix="$1" wanted="$2" cflags="$3" package version
  shift 3
  # build.log for build/deps/prefix, build-san.log for build/deps/prefix-san
  local stamp="$prefix/share/quillrun-deps" build_log="$DEPS_DIR/build${prefix##*/prefix}.log"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    return 0
  fi
  local start=$SECONDS built=()
  for package in "${DEPS_PACKAGES[@]}"; do
    version="$(sed -n "s/^$package //p" <<<"$wanted")"
    deps_fetch "$package" "$version" || return 1
    deps_unpack "$package" "$version" "$DEPS_DIR/work/$package" || return 1
    built+=("$(deps_describe "$package" "$version")")
  done
  log "deps: building ${built[0]} and ${built[1]}, static, into $prefix (once; a few minutes)"
  # The stamp is written last, so an interrupted build never leaves a prefix
  # that looks complete.
  rm -rf "$prefix" "$DEPS_DIR/work/"*-build
  if ! deps_build "$prefix" "$cflags" "$@" >"$build_log" 2>&1; then
    tail -n 30 "$build_log" >&2
    echo "error: building HDF5 or libdeflate into $prefix failed; the whole log is in $build_log" >&2
    return 1
  fi
  mkdir -p "$prefix/share" && printf '%s' "$wanted" >"$stamp"
  rm -rf "$DEPS_DIR/work"
  log "deps: built in $((SECONDS - start)) s"
}

# deps_reuse PREFIX: without the mirror, a prefix built before serves.
deps_reuse() {
  if [ -f "$1/share/quillrun-deps" ]; then
    log "deps: $DEPS_OFFLINE unreachable; reusing $1"
    return 0
  fi
  echo "error: cannot read the $DEPS_SUITE sources from $DEPS_OFFLINE (apt-get update failed)" >&2
  return 1
}

# Sets DEPS_PREFIX to a prefix holding the current trixie HDF5 and libdeflate.
ensure_deps() {
  DEPS_DIR="$ROOT/build/deps"
  DEPS_PREFIX="$DEPS_DIR/prefix"
  local rc=0
  deps_wanted || rc=$?
  [ "$rc" -ne 1 ] || { deps_reuse "$DEPS_PREFIX"; return; }
  [ "$rc" -eq 0 ] || return 1
  deps_prefix "$DEPS_PREFIX" "$DEPS_WANTED" ""
}

# The flags of the sanitized prefix. AddressSanitizer and UBSan as the
# project's own sanitizer build has them, no recovery: any report ends the
# process. Clang's coverage instrumentation (fuzzer-no-link) lets the fuzzer
# steer by the branches inside HDF5 and libdeflate; a program that is not a
# fuzzer gets its callbacks from the sanitizer runtime and ignores them.
# Locals read before they are set hold a pattern (0xAA...) rather than what
# the stack had, so that freeing or following one fails alike on every
# compiler: the hostile free-invalid-pointer files free such a pointer, which
# clang 19 happened to leave null.
# Left out, each for a reason:
# - function: HDF5 calls its callbacks through pointers cast to another
#   prototype (every ID class's free callback, H5A__close_cb(H5VL_object_t *,
#   void **) as herr_t (*)(void *, void **), among them); clang 17 and later
#   check such calls in C too, and the casts only change pointer types.
# Kept though damaged files trip it inside HDF5: pointer-overflow, whose
# reports there (an offset that wraps below a local heap's data block, an
# offset into a heap whose block is missing) came before a bad read or a
# crash every time.
deps_san_cflags() {
  echo "-g -fno-omit-frame-pointer -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function" \
    "-fno-sanitize-recover=all -ftrivial-auto-var-init=pattern"
}

# Sets DEPS_SAN_PREFIX to a prefix of the same sources and patches built by
# clang with AddressSanitizer, UBSan and coverage for the fuzzer. HDF5's
# memory-checker setting makes it take each block from malloc instead of
# its own free lists, so that the sanitizer sees the bounds and the lifetime
# of every one.
ensure_san_deps() {
  DEPS_DIR="$ROOT/build/deps"
  DEPS_SAN_PREFIX="$DEPS_DIR/prefix-san"
  local rc=0 compiler
  deps_wanted || rc=$?
  [ "$rc" -ne 1 ] || { deps_reuse "$DEPS_SAN_PREFIX"; return; }
  [ "$rc" -eq 0 ] || return 1
  compiler="$(clang --version | head -n 1)"
  # HDF5's configure runs test programs, which must not fail on a leak.
  CC=clang ASAN_OPTIONS=detect_leaks=0 deps_prefix "$DEPS_SAN_PREFIX" \
    "$DEPS_WANTED"$'\n'"sanitizers $compiler; $(declare -f ensure_san_deps deps_san_cflags | sha256sum | cut -d' ' -f1)" \
    "$(deps_san_cflags)" -DHDF5_ENABLE_USING_MEMCHECKER=ON
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
  if [ "${1:-}" = "--san" ]; then
    ensure_system build clang
    ensure_san_deps
    printf '%s\n' "$DEPS_SAN_PREFIX"
  else
    ensure_system build
    ensure_deps
    printf '%s\n' "$DEPS_PREFIX"
  fi
fi

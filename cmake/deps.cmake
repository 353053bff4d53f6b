# HDF5 and libdeflate, as the targets quillrun::hdf5 and quillrun::libdeflate.
#
# scripts/deps.sh builds both, static and position-independent, into one
# prefix (build/deps/prefix) and the scripts pass it as QR_DEPS_PREFIX; all
# of HDF5 then comes from there, so every machine reads files with the same
# library. A build given no prefix uses the one in the tree when the scripts
# have made it (a plain `pip install .`), otherwise a system HDF5 that is
# recent enough.
set(QR_DEPS_PREFIX "" CACHE PATH "Prefix holding the static HDF5 and libdeflate that scripts/deps.sh builds")
# Older releases crash on some damaged files, before any check of ours runs.
set(QR_HDF5_MIN_VERSION 1.14.5)
string(CONCAT QR_DEPS_HINT "run `bash scripts/deps.sh` first: it builds HDF5 and libdeflate into "
  "build/deps/prefix, where this build finds them. Another prefix holding both, static, is named with "
  "-DQR_DEPS_PREFIX=<prefix> (through pip: --config-settings=cmake.define.QR_DEPS_PREFIX=<prefix>); "
  "without one, the system's HDF5 ${QR_HDF5_MIN_VERSION} or newer and libdeflate are used (on Debian 13, "
  "libhdf5-dev and libdeflate-dev)")

find_package(ZLIB REQUIRED)

set(qr_deps_prefix "${QR_DEPS_PREFIX}")
if(NOT qr_deps_prefix AND EXISTS "${PROJECT_SOURCE_DIR}/build/deps/prefix/share/quillrun-deps")
  set(qr_deps_prefix "${PROJECT_SOURCE_DIR}/build/deps/prefix")
endif()

if(qr_deps_prefix)
  find_path(qr_hdf5_include H5public.h PATHS "${qr_deps_prefix}/include" NO_DEFAULT_PATH NO_CACHE)
  find_library(qr_hdf5_library NAMES libhdf5.a PATHS "${qr_deps_prefix}/lib" NO_DEFAULT_PATH NO_CACHE)
  find_path(qr_libdeflate_include libdeflate.h PATHS "${qr_deps_prefix}/include" NO_DEFAULT_PATH NO_CACHE)
  find_library(qr_libdeflate_library NAMES libdeflate.a PATHS "${qr_deps_prefix}/lib" NO_DEFAULT_PATH NO_CACHE)
  if(NOT qr_hdf5_include OR NOT qr_hdf5_library OR NOT qr_libdeflate_include OR NOT qr_libdeflate_library)
    message(FATAL_ERROR "${qr_deps_prefix} lacks the static HDF5 or libdeflate "
      "(include/H5public.h, lib/libhdf5.a, include/libdeflate.h, lib/libdeflate.a): ${QR_DEPS_HINT}")
  endif()
  # scripts/deps.sh --san builds the prefix with clang under the sanitizers:
  # its objects link only into a clang sanitizer build.
  set(qr_check_link_options "")
  if(EXISTS "${qr_deps_prefix}/share/quillrun-deps")
    file(STRINGS "${qr_deps_prefix}/share/quillrun-deps" qr_deps_sanitizers REGEX "^sanitizers ")
    if(qr_deps_sanitizers)
      set(qr_check_link_options ${qr_sanitize_link_options})
      if(NOT QR_SANITIZE OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "${qr_deps_prefix} is built by clang under the sanitizers: it serves a clang build "
          "with -DQR_SANITIZE=ON only")
      endif()
    endif()
  endif()
  file(STRINGS "${qr_hdf5_include}/H5public.h" qr_hdf5_defines REGEX "^#define H5_VERS_(MAJOR|MINOR|RELEASE) ")
  string(REGEX REPLACE ".*H5_VERS_MAJOR ([0-9]+).*H5_VERS_MINOR ([0-9]+).*H5_VERS_RELEASE ([0-9]+).*"
    "\\1.\\2.\\3" qr_hdf5_version "${qr_hdf5_defines}")
  add_library(quillrun::hdf5 STATIC IMPORTED)
  set_target_properties(quillrun::hdf5 PROPERTIES
    IMPORTED_LOCATION "${qr_hdf5_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${qr_hdf5_include}"
    INTERFACE_LINK_LIBRARIES "ZLIB::ZLIB;m;${CMAKE_DL_LIBS}")
  add_library(quillrun::libdeflate STATIC IMPORTED)
  set_target_properties(quillrun::libdeflate PROPERTIES
    IMPORTED_LOCATION "${qr_libdeflate_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${qr_libdeflate_include}")
  set(qr_hdf5_from "${qr_deps_prefix}")
else()
  find_package(HDF5 COMPONENTS C)
  if(NOT HDF5_FOUND)
    message(FATAL_ERROR "HDF5 ${QR_HDF5_MIN_VERSION} or newer is needed and none was found: ${QR_DEPS_HINT}")
  endif()
  set(qr_hdf5_version "${HDF5_VERSION}")
  add_library(quillrun::hdf5 INTERFACE IMPORTED)
  set_target_properties(quillrun::hdf5 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${HDF5_C_INCLUDE_DIRS};${HDF5_INCLUDE_DIRS}"
    INTERFACE_COMPILE_DEFINITIONS "${HDF5_C_DEFINITIONS};${HDF5_DEFINITIONS}"
    INTERFACE_LINK_LIBRARIES "${HDF5_C_LIBRARIES}")
  find_path(qr_libdeflate_include libdeflate.h NO_CACHE)
  find_library(qr_libdeflate_library NAMES deflate NO_CACHE)
  if(qr_libdeflate_include AND qr_libdeflate_library)
    add_library(quillrun::libdeflate UNKNOWN IMPORTED)
    set_target_properties(quillrun::libdeflate PROPERTIES
      IMPORTED_LOCATION "${qr_libdeflate_library}"
      INTERFACE_INCLUDE_DIRECTORIES "${qr_libdeflate_include}")
  endif()
  set(qr_hdf5_from "the system")
endif()

if(qr_hdf5_version VERSION_LESS QR_HDF5_MIN_VERSION)
  message(FATAL_ERROR "HDF5 ${QR_HDF5_MIN_VERSION} or newer is needed; ${qr_hdf5_from} has ${qr_hdf5_version}: "
    "${QR_DEPS_HINT}")
endif()

# Headers of one release over a library of another would misread every
# struct they share; run a program that compares the two.
if(NOT CMAKE_CROSSCOMPILING)
  try_run(qr_hdf5_run qr_hdf5_compiled "${CMAKE_BINARY_DIR}/hdf5_version_check"
    "${CMAKE_CURRENT_LIST_DIR}/hdf5_version_check.c"
    LINK_LIBRARIES quillrun::hdf5
    LINK_OPTIONS ${qr_check_link_options}
    COMPILE_OUTPUT_VARIABLE qr_hdf5_compile_output
    RUN_OUTPUT_VARIABLE qr_hdf5_library_version)
  if(NOT qr_hdf5_compiled)
    message(FATAL_ERROR "cannot build a program against the HDF5 of ${qr_hdf5_from}:\n${qr_hdf5_compile_output}")
  endif()
  if(NOT qr_hdf5_run EQUAL 0)
    message(FATAL_ERROR "the HDF5 headers of ${qr_hdf5_from} are version ${qr_hdf5_version} but its library is "
      "'${qr_hdf5_library_version}': ${QR_DEPS_HINT}")
  endif()
endif()
message(STATUS "HDF5 ${qr_hdf5_version} from ${qr_hdf5_from}")

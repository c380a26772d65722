# CRoaring: finds the library, reads its version and decides which bitmap kernels the build uses.
#
# Sets the imported target roaring::roaring, VOSTREL_ROARING_VERSION ("" when unknown) and
# VOSTREL_CONTAINER_KERNELS (ON: the x86-64 chunk kernels that read CRoaring's containers directly;
# OFF: the kernels written on CRoaring's public API only).

# The CRoaring versions whose container layout the chunk kernels read (structs, type codes, shared
# wrappers, ra_append). A version not listed here builds the portable kernels until the layout has
# been checked against it and added.
set(VOSTREL_CONTAINER_LAYOUT_VERSIONS 0.2.66)
# Oldest CRoaring the project is built and tested with.
set(VOSTREL_ROARING_MIN_VERSION 0.2.66)

set(VOSTREL_ROARING_HINT
  "  Debian / Ubuntu:  apt-get install libroaring-dev\n"
  "  elsewhere: install CRoaring, the RoaringBitmap C library (version ${VOSTREL_ROARING_MIN_VERSION} or newer)"
  " and point CMake at it, e.g. CMAKE_ARGS=\"-DCMAKE_PREFIX_PATH=/opt/croaring\" pip install .")

find_package(roaring CONFIG QUIET)
if(NOT TARGET roaring::roaring)
  # Installs without CMake package files (built by hand, some distributions): header and library.
  find_path(VOSTREL_ROARING_INCLUDE_DIR roaring/roaring.h)
  find_library(VOSTREL_ROARING_LIBRARY roaring)
  if(NOT VOSTREL_ROARING_INCLUDE_DIR OR NOT VOSTREL_ROARING_LIBRARY)
    message(FATAL_ERROR
      "CRoaring (the Roaring bitmap C library, headers included) was not found; Vostrel stores every id set in it.\n"
      ${VOSTREL_ROARING_HINT})
  endif()
  add_library(roaring::roaring UNKNOWN IMPORTED)
  set_target_properties(roaring::roaring PROPERTIES
    IMPORTED_LOCATION "${VOSTREL_ROARING_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${VOSTREL_ROARING_INCLUDE_DIR}")
endif()

# The version, from the headers the build will compile against (the package files of older
# releases carry none). roaring_version.h in split installs, roaring.h in single-header ones.
get_target_property(_vostrel_roaring_dirs roaring::roaring INTERFACE_INCLUDE_DIRECTORIES)
if(NOT _vostrel_roaring_dirs)
  set(_vostrel_roaring_dirs "")
endif()
find_path(_vostrel_roaring_header_dir roaring/roaring.h HINTS ${_vostrel_roaring_dirs} NO_CACHE)
if(NOT _vostrel_roaring_header_dir)
  message(FATAL_ERROR "CRoaring's library was found but not its headers (roaring/roaring.h).\n" ${VOSTREL_ROARING_HINT})
endif()
set(VOSTREL_ROARING_VERSION "")
foreach(_vostrel_header roaring/roaring_version.h roaring/roaring.h)
  set(_vostrel_path "${_vostrel_roaring_header_dir}/${_vostrel_header}")
  if(VOSTREL_ROARING_VERSION OR NOT EXISTS "${_vostrel_path}")
    continue()
  endif()
  file(STRINGS "${_vostrel_path}" _vostrel_lines REGEX "ROARING_VERSION_(MAJOR|MINOR|REVISION) *=")
  string(REGEX MATCH "MAJOR *= *([0-9]+)" _m "${_vostrel_lines}")
  set(_vostrel_major "${CMAKE_MATCH_1}")
  string(REGEX MATCH "MINOR *= *([0-9]+)" _m "${_vostrel_lines}")
  set(_vostrel_minor "${CMAKE_MATCH_1}")
  string(REGEX MATCH "REVISION *= *([0-9]+)" _m "${_vostrel_lines}")
  set(_vostrel_revision "${CMAKE_MATCH_1}")
  if(NOT _vostrel_major STREQUAL "" AND NOT _vostrel_minor STREQUAL "" AND NOT _vostrel_revision STREQUAL "")
    set(VOSTREL_ROARING_VERSION "${_vostrel_major}.${_vostrel_minor}.${_vostrel_revision}")
  endif()
endforeach()

if(VOSTREL_ROARING_VERSION AND VOSTREL_ROARING_VERSION VERSION_LESS VOSTREL_ROARING_MIN_VERSION)
  message(FATAL_ERROR "CRoaring ${VOSTREL_ROARING_VERSION} found in ${_vostrel_roaring_header_dir}; Vostrel needs "
    "${VOSTREL_ROARING_MIN_VERSION} or newer.\n" ${VOSTREL_ROARING_HINT})
endif()

# The chunk kernels need both the layout they were written for and an x86-64 target (their
# builds use SSE2, AVX2 and AVX-512 and pick one from the processor's features at run time).
set(VOSTREL_TARGET_X86_64 OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$")
  set(VOSTREL_TARGET_X86_64 ON)
endif()
set(VOSTREL_CONTAINER_KERNELS ON)
if(VOSTREL_PORTABLE_KERNELS)
  set(VOSTREL_CONTAINER_KERNELS OFF)
  set(_vostrel_why "VOSTREL_PORTABLE_KERNELS=ON")
elseif(NOT VOSTREL_TARGET_X86_64)
  set(VOSTREL_CONTAINER_KERNELS OFF)
  set(_vostrel_why "target processor ${CMAKE_SYSTEM_PROCESSOR} is not x86-64")
elseif(NOT VOSTREL_ROARING_VERSION)
  set(VOSTREL_CONTAINER_KERNELS OFF)
  set(_vostrel_why "CRoaring's version could not be read from ${_vostrel_roaring_header_dir}")
elseif(NOT VOSTREL_ROARING_VERSION IN_LIST VOSTREL_CONTAINER_LAYOUT_VERSIONS)
  set(VOSTREL_CONTAINER_KERNELS OFF)
  set(_vostrel_why "their container layout is that of CRoaring ${VOSTREL_CONTAINER_LAYOUT_VERSIONS}, "
                   "not ${VOSTREL_ROARING_VERSION}")
endif()

if(VOSTREL_ROARING_VERSION)
  set(_vostrel_found "CRoaring ${VOSTREL_ROARING_VERSION}")
else()
  set(_vostrel_found "CRoaring of unknown version")
endif()
if(VOSTREL_CONTAINER_KERNELS)
  message(STATUS "Vostrel: ${_vostrel_found}; bitmap kernels: chunk kernels (SSE2, AVX2, AVX-512)")
else()
  string(CONCAT _vostrel_why ${_vostrel_why})
  message(STATUS "Vostrel: ${_vostrel_found}; bitmap kernels: portable (CRoaring's public API), because ${_vostrel_why}")
endif()

# CRoaring, as the target roaring::roaring, from one of two places
# (LORVANE_ROARING):
#   system   the installed library (find_package: Debian 12's libroaring-dev,
#            0.2.66). src/base/roaring_chunks.cpp works on its chunks directly
#            where 0.2.x is slow.
#   bundled  the 4.x amalgamated source (roaring.c), fetched at configure time
#            by scripts/fetch_roaring.sh (or taken from LORVANE_ROARING_SOURCE_DIR)
#            and compiled into the module: what the wheel ships. It is built
#            for baseline x86-64 and picks its AVX2 / AVX-512 code at run time.
# Measured against each other (both builds in one process, alternated), 4.x
# is up to 5x faster on large unions and complements but about 2x slower on
# narrow ranges, whose bitmaps 0.2.x's chunk paths build in one copy; so the
# normal build stays on system until those paths have a 4.x counterpart.
# LORVANE_ROARING_MODERN is set when the 4.x names compile; the adapter header
# src/base/roaring_compat.hpp is what turns it into calls.
set(LORVANE_ROARING system CACHE STRING "Where CRoaring comes from: system (find_package) or bundled (4.x source from PyPI)")
set_property(CACHE LORVANE_ROARING PROPERTY STRINGS system bundled)
set(LORVANE_ROARING_SOURCE_DIR "" CACHE PATH
    "A folder holding roaring.c and include/roaring/roaring.h (bundled); empty: fetch them")

if(LORVANE_ROARING STREQUAL "bundled")
  set(roaring_dir ${LORVANE_ROARING_SOURCE_DIR})
  if(NOT roaring_dir)
    set(roaring_dir ${CMAKE_BINARY_DIR}/_deps/croaring)
    set(fetch_python ${Python_EXECUTABLE})
    if(NOT fetch_python)
      find_program(fetch_python NAMES python3 REQUIRED)
    endif()
    execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/fetch_roaring.sh ${roaring_dir} ${fetch_python}
                    RESULT_VARIABLE fetch_status)
    if(NOT fetch_status EQUAL 0)
      message(FATAL_ERROR "Could not fetch CRoaring's source (scripts/fetch_roaring.sh); "
                          "set LORVANE_ROARING_SOURCE_DIR, or LORVANE_ROARING=system to use an installed CRoaring")
    endif()
  endif()
  add_library(lorvane_roaring STATIC ${roaring_dir}/roaring.c)
  target_include_directories(lorvane_roaring SYSTEM PUBLIC ${roaring_dir}/include)
  target_include_directories(lorvane_roaring PRIVATE ${roaring_dir}/include/roaring)
  set_target_properties(lorvane_roaring PROPERTIES C_STANDARD 11 C_VISIBILITY_PRESET hidden)
  # Third-party code: its warnings are not ours to fix.
  target_compile_options(lorvane_roaring PRIVATE -w)
  add_library(roaring::roaring ALIAS lorvane_roaring)
  # A wheel carries the module, and CRoaring's licence with it.
  if(DEFINED SKBUILD_METADATA_DIR)
    install(FILES ${roaring_dir}/LICENSE DESTINATION ${SKBUILD_METADATA_DIR}/licenses RENAME CRoaring-LICENSE)
  endif()
  set(roaring_includes ${roaring_dir}/include)
elseif(LORVANE_ROARING STREQUAL "system")
  find_package(roaring REQUIRED)
  get_target_property(roaring_includes roaring::roaring INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT roaring_includes)
    set(roaring_includes "")
  endif()
else()
  message(FATAL_ERROR "LORVANE_ROARING must be bundled or system, not '${LORVANE_ROARING}'")
endif()

# CRoaring 0.2.x and 4.x differ in a few names (iterators, bulk add). The probe
# only compiles (a bundled library is not built yet), and its result is kept
# per source so that switching LORVANE_ROARING in a build folder probes again.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES ${roaring_includes})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
check_cxx_source_compiles([=[
#include <roaring/roaring.h>
void probe() {
  roaring_bitmap_t *r = roaring_bitmap_create();
  roaring_bulk_context_t ctx = {};
  roaring_bitmap_add_bulk(r, &ctx, 1);
  roaring_uint32_iterator_t it;
  roaring_iterator_init(r, &it);
  roaring_bitmap_free(r);
}]=] LORVANE_ROARING_MODERN_${LORVANE_ROARING})
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_TRY_COMPILE_TARGET_TYPE)
set(LORVANE_ROARING_MODERN ${LORVANE_ROARING_MODERN_${LORVANE_ROARING}})

# LORVANE_SELF_CONTAINED (the wheel's build): libstdc++ is linked into the
# module (its symbols hidden by --exclude-libs,ALL), so that the module asks
# for no GLIBCXX symbol version and loads where the system's libstdc++ is
# older than the compiler's. Then only glibc's symbol versions, and those of
# the abseil libraries auditwheel copies into the wheel, decide the platform
# tag. libgcc stays shared (libgcc_s is on every manylinux platform): its
# static unwinder would ask for glibc 2.35's _dl_find_object.
# Debian's static abseil archives cannot go into a shared object (their
# thread-locals use the executable-only TLS model), so abseil stays the shared
# libraries the wheel carries.
option(LORVANE_SELF_CONTAINED "Link libstdc++ statically into the module (for wheels)" OFF)

function(lorvane_self_contained target)
  set(absl_copyright /usr/share/doc/libabsl-dev/copyright)
  if(LORVANE_SELF_CONTAINED AND DEFINED SKBUILD_METADATA_DIR AND EXISTS ${absl_copyright})
    # The abseil libraries auditwheel copies into the wheel come with their licence.
    install(FILES ${absl_copyright} DESTINATION ${SKBUILD_METADATA_DIR}/licenses RENAME abseil-copyright)
  endif()
  if(LORVANE_SELF_CONTAINED)
    target_link_options(${target} PRIVATE -static-libstdc++)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/arc4random_shim.c)
  endif()
endfunction()

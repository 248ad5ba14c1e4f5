# The Ghostscript tree below the tool folder, in the build tree and in the
# installation: gs/bin/gs, a link to the system's Ghostscript, and
# gs/lib/single_copy.ps, which Ghostscript runs before every job.
#
# The engine finds this tree through the preference store (QuilletInstallDir),
# so a fresh build renders with no set-up by hand.

find_program(GS_EXECUTABLE gs REQUIRED DOC "Ghostscript's console program")

set(QUILLET_BUILD_GSDIR "${QUILLET_BUILD_TOOLDIR}/gs")
set(QUILLET_SINGLE_COPY_SOURCE "${CMAKE_SOURCE_DIR}/gs/lib/single_copy.ps")

# Made at configure time as well, so that a build of a single target (the
# tests, say) finds a complete tree; the rules below keep it current.
file(MAKE_DIRECTORY "${QUILLET_BUILD_GSDIR}/bin" "${QUILLET_BUILD_GSDIR}/lib")
if(NOT EXISTS "${QUILLET_BUILD_GSDIR}/bin/gs")
  file(CREATE_LINK "${GS_EXECUTABLE}" "${QUILLET_BUILD_GSDIR}/bin/gs" SYMBOLIC)
endif()
configure_file("${QUILLET_SINGLE_COPY_SOURCE}" "${QUILLET_BUILD_GSDIR}/lib/single_copy.ps" COPYONLY)

add_custom_command(
  OUTPUT "${QUILLET_BUILD_GSDIR}/bin/gs"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${QUILLET_BUILD_GSDIR}/bin"
  COMMAND ${CMAKE_COMMAND} -E create_symlink "${GS_EXECUTABLE}" "${QUILLET_BUILD_GSDIR}/bin/gs"
  COMMENT "Linking gs/bin/gs to ${GS_EXECUTABLE}")
add_custom_command(
  OUTPUT "${QUILLET_BUILD_GSDIR}/lib/single_copy.ps"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${QUILLET_SINGLE_COPY_SOURCE}"
          "${QUILLET_BUILD_GSDIR}/lib/single_copy.ps"
  DEPENDS "${QUILLET_SINGLE_COPY_SOURCE}"
  COMMENT "Copying gs/lib/single_copy.ps")
add_custom_target(quillet_gs_tree ALL
  DEPENDS "${QUILLET_BUILD_GSDIR}/bin/gs" "${QUILLET_BUILD_GSDIR}/lib/single_copy.ps")
# Every build of the library refreshes the tree it renders with.
add_dependencies(quillet_objects quillet_gs_tree)

install(FILES "${QUILLET_SINGLE_COPY_SOURCE}" DESTINATION "${QUILLET_TOOLDIR}/gs/lib")
install(CODE "
  set(tooldir \"${QUILLET_TOOLDIR}\")
  if(IS_ABSOLUTE \"\${tooldir}\")
    set(bindir \"\$ENV{DESTDIR}\${tooldir}/gs/bin\")
  else()
    set(bindir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${tooldir}/gs/bin\")
  endif()
  file(MAKE_DIRECTORY \"\${bindir}\")
  file(REMOVE \"\${bindir}/gs\")
  file(CREATE_LINK \"${GS_EXECUTABLE}\" \"\${bindir}/gs\" SYMBOLIC)
  message(STATUS \"Installing: \${bindir}/gs -> ${GS_EXECUTABLE}\")
")

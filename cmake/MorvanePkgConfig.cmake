# morvane_install_pkgconfig(NAME TEMPLATE): installs NAME.pc made from
# TEMPLATE when the installation runs, so it names the prefix actually
# installed into as an absolute path (cmake --install --prefix included; a
# DESTDIR staging is not part of it). pkgconf recognises the system's own
# library and include directories only in that form and leaves them out of
# --libs and --cflags, so a package's .pc never puts /usr/lib/<triplet>
# ahead of a library elsewhere.
include_guard(GLOBAL)
function(morvane_install_pkgconfig name template)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc)
  install(CODE "
    set(MORVANE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(MORVANE_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(MORVANE_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(pc_destination \"\${MORVANE_PC_LIBDIR}/pkgconfig\")
    if(NOT IS_ABSOLUTE \"\${MORVANE_PC_LIBDIR}\")
      set(pc_destination \"\${CMAKE_INSTALL_PREFIX}/\${MORVANE_PC_LIBDIR}/pkgconfig\")
      set(MORVANE_PC_LIBDIR \"\\\${prefix}/\${MORVANE_PC_LIBDIR}\")
    endif()
    if(NOT IS_ABSOLUTE \"\${MORVANE_PC_INCLUDEDIR}\")
      set(MORVANE_PC_INCLUDEDIR \"\\\${prefix}/\${MORVANE_PC_INCLUDEDIR}\")
    endif()
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${template}\" \"${out}\" @ONLY)
    file(INSTALL DESTINATION \"\${pc_destination}\" TYPE FILE FILES \"${out}\")
  " COMPONENT development)
endfunction()

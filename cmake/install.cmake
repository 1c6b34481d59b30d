# Install rules beyond the programs themselves (each folder installs its own programs with
# install(TARGETS NAME)): the agent's client-named aliases, the client library's CMake package
# and pkg-config file, the manual pages and the documentation. DESTDIR and CMAKE_INSTALL_PREFIX
# are honoured throughout; the package files hold no absolute path, so an installed tree can be
# moved.
include(CMakePackageConfigHelpers)

# The agent stands for the client named after its own name: xt.NAME is a link to hostagent.
set(HOSTAGENT_ALIASES "termclient;hostsh;hostfs;hostrun" CACHE STRING
    "Clients the agent stands for: each NAME is installed as xt.NAME, a link to hostagent")
foreach(alias IN LISTS HOSTAGENT_ALIASES)
  if(alias MATCHES "/" OR alias STREQUAL "")
    message(FATAL_ERROR "HOSTAGENT_ALIASES: '${alias}' is not a program name")
  endif()
endforeach()
install(CODE "set(HOSTAGENT_INSTALL_ALIASES \"${HOSTAGENT_ALIASES}\")
set(HOSTAGENT_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(CODE [[
  if(IS_ABSOLUTE "${HOSTAGENT_INSTALL_BINDIR}")
    set(bindir "$ENV{DESTDIR}${HOSTAGENT_INSTALL_BINDIR}")
  else()
    set(bindir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${HOSTAGENT_INSTALL_BINDIR}")
  endif()
  foreach(alias IN LISTS HOSTAGENT_INSTALL_ALIASES)
    message(STATUS "Installing: ${bindir}/xt.${alias} -> hostagent")
    file(MAKE_DIRECTORY "${bindir}")
    file(CREATE_LINK hostagent "${bindir}/xt.${alias}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${bindir}/xt.${alias}")
  endforeach()
]])

# find_package(hostlink) gives hostlink::hostlink (shared) and hostlink::hostlink_static.
set(HOSTLINK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hostlink)
install(EXPORT hostlinkTargets NAMESPACE hostlink:: DESTINATION ${HOSTLINK_CMAKE_DIR})
configure_package_config_file(cmake/hostlinkConfig.cmake.in ${PROJECT_BINARY_DIR}/hostlinkConfig.cmake
  INSTALL_DESTINATION ${HOSTLINK_CMAKE_DIR})
# Before 1.0 a minor release may change the library's interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/hostlinkConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/hostlinkConfig.cmake ${PROJECT_BINARY_DIR}/hostlinkConfigVersion.cmake
  DESTINATION ${HOSTLINK_CMAKE_DIR})

# hostlink.pc, its paths relative to where it lies (pkg-config's ${pcfiledir}).
set(pcdir ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH HOSTLINK_PC_PREFIX ${pcdir} ${CMAKE_INSTALL_PREFIX})
file(RELATIVE_PATH HOSTLINK_PC_LIBDIR ${pcdir} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH HOSTLINK_PC_INCLUDEDIR ${pcdir} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
# The static library's authentication needs libsodium beside it.
set(HOSTLINK_PC_LIBS_PRIVATE "")
if(HOSTAGENT_HAVE_SODIUM)
  set(HOSTLINK_PC_LIBS_PRIVATE "-lsodium")
endif()
configure_file(cmake/hostlink.pc.in ${PROJECT_BINARY_DIR}/hostlink.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/hostlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages: every docs/man/NAME.1 and NAME.3, each carrying the project's version where it
# says @PROJECT_VERSION@ (nothing else is replaced). The pages as installed are kept in the build
# tree's man/ folder, where the manual-page test reads them.
file(GLOB HOSTAGENT_MAN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1 ${PROJECT_SOURCE_DIR}/docs/man/*.3)
set(HOSTAGENT_MAN_PAGES "")
foreach(source IN LISTS HOSTAGENT_MAN_SOURCES)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  get_filename_component(page ${source} NAME)
  string(REGEX MATCH "[0-9]$" section ${page})
  file(READ ${source} text)
  string(REPLACE "@PROJECT_VERSION@" "${PROJECT_VERSION}" text "${text}")
  set(old "")
  if(EXISTS ${PROJECT_BINARY_DIR}/man/${page})
    file(READ ${PROJECT_BINARY_DIR}/man/${page} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${PROJECT_BINARY_DIR}/man/${page} "${text}")
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND HOSTAGENT_MAN_PAGES ${PROJECT_BINARY_DIR}/man/${page})
endforeach()

# Documentation: README, release notes and contrib/ (examples of use, service files).
install(FILES README.md CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The security options and threat model, and the authentication exchange for client authors.
install(FILES docs/security.md docs/auth.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/contrib)
  install(DIRECTORY contrib/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/contrib USE_SOURCE_PERMISSIONS)
endif()

# The Debian package: cpack -G DEB in the build tree builds hostagent_VERSION_ARCH.deb with
# everything that cmake --install installs, under /usr. Its dependencies come from
# dpkg-shlibdeps (package dpkg-dev); the shared client library gets a shlibs entry of its own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hostagent)
set(CPACK_PACKAGE_VENDOR "hostagent developers")
set(CPACK_PACKAGE_CONTACT "hostagent developers <hostagent@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host agent serving a terminal client's remote calls")
set(CPACK_PACKAGE_DESCRIPTION
  "A small agent that runs on a Unix host on behalf of a client program running\n"
  "on a display station. The client's remote calls (files, directories,\n"
  "environment, identity, clock, name service, processes) are carried out on the\n"
  "host and answered over one TCP connection. Includes the terminal-side tools,\n"
  "the hostlink client library (static and shared, with its headers, CMake\n"
  "package and pkg-config file) and the manual pages.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# A remote shell reaches the terminal; ssh is the usual one.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "openssh-client")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

# Install rules and the Debian package (velnor-helper): `cpack -G DEB` in a build configured with
# -DVELNOR_PACKAGE=ON. scripts/check-package.sh builds it and checks it with lintian.

# Off, the programs read the Bluetooth numbers from the source tree, so that a build directory
# runs as it is; on, from where the package installs them.
option(VELNOR_PACKAGE "Build the programs to read their data from /usr/share/velnor-helper" OFF)

set(VELNOR_PKG velnor-helper)
set(VELNOR_PKG_DOC share/doc/${VELNOR_PKG})
set(VELNOR_PKG_NUMBERS share/${VELNOR_PKG}/bluetooth-numbers)

if(VELNOR_PACKAGE)
  # Replaces the source-tree path that CMakeLists.txt gives the library (and, through it, both
  # programs); failing loudly if that definition is ever renamed.
  set(source_tree "VELNOR_BLUETOOTH_NUMBERS_DIR=\"${CMAKE_SOURCE_DIR}/data/bluetooth-numbers\"")
  set(installed "VELNOR_BLUETOOTH_NUMBERS_DIR=\"/usr/${VELNOR_PKG_NUMBERS}\"")
  foreach(property COMPILE_DEFINITIONS INTERFACE_COMPILE_DEFINITIONS)
    get_target_property(definitions velnor ${property})
    list(FIND definitions "${source_tree}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "velnor has no VELNOR_BLUETOOTH_NUMBERS_DIR definition to replace")
    endif()
    list(REMOVE_AT definitions ${found})
    list(INSERT definitions ${found} "${installed}")
    set_target_properties(velnor PROPERTIES ${property} "${definitions}")
  endforeach()
  # Debian's hardening flags for a service: checked buffer functions, stack canaries, and
  # relocations made read-only before main.
  string(APPEND CMAKE_CXX_FLAGS " -D_FORTIFY_SOURCE=2 -fstack-protector-strong")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -Wl,-z,relro -Wl,-z,now")
endif()

install(TARGETS Velnor_HelperApp velnor-sim RUNTIME DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/bluetooth-numbers/ DESTINATION ${VELNOR_PKG_NUMBERS})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/resources/copyright
        DESTINATION ${VELNOR_PKG_DOC})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${VELNOR_PKG_DOC} FILES_MATCHING
        PATTERN "*.md" PATTERN man EXCLUDE)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${VELNOR_PKG_DOC}/examples)
# The configuration that the helper reads when started without --config; a conffile, so that
# an upgrade keeps the port an administrator chose.
install(FILES ${CMAKE_SOURCE_DIR}/resources/config.json DESTINATION /etc/${VELNOR_PKG})
file(WRITE ${CMAKE_BINARY_DIR}/conffiles "/etc/${VELNOR_PKG}/config.json\n")
# Debian 12 keeps units of packages in /lib, outside the /usr prefix.
install(FILES ${CMAKE_SOURCE_DIR}/resources/velnor-helper.service
        DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/resources/velnor-helper.sysusers
        DESTINATION /usr/lib/sysusers.d RENAME velnor-helper.conf)

# Installs `file` into `destination` compressed as Debian wants it: at the highest level,
# without the file's name and time, so that two builds give the same bytes.
function(velnor_install_gzipped file destination)
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND gzip -9 -n -c ${file} OUTPUT_FILE ${CMAKE_BINARY_DIR}/${name}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/${name}.gz DESTINATION ${destination})
endfunction()

# A native package's changelog.
configure_file(${CMAKE_SOURCE_DIR}/resources/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
velnor_install_gzipped(${CMAKE_BINARY_DIR}/changelog ${VELNOR_PKG_DOC})
# The manual pages of both programs; an edit of one configures the build again.
foreach(page Velnor_HelperApp.1 velnor-sim.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_SOURCE_DIR}/docs/man/${page})
  velnor_install_gzipped(${CMAKE_SOURCE_DIR}/docs/man/${page} share/man/man1)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELNOR_PKG})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velnor Helper Team <helper@velnor.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bluetooth LE helper for the Velnor database plug-in")
set(CPACK_PACKAGE_DESCRIPTION
    "Velnor_HelperApp is a background service that gives the Velnor database
plug-in access to Bluetooth Low Energy through BlueZ. The plug-in sends
commands as HTTP requests to 127.0.0.1; the helper carries them out as a
central or a peripheral and queues the events for the plug-in to collect.
.
velnor-sim emulates Bluetooth LE devices on the helper's simulated radio,
for development and tests without a Bluetooth adapter.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bluez)
# The maintainer scripts enable the service at install and start it where systemd runs.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/conffiles ${CMAKE_SOURCE_DIR}/resources/debian/postinst
    ${CMAKE_SOURCE_DIR}/resources/debian/prerm ${CMAKE_SOURCE_DIR}/resources/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# cpack refuses a build whose programs would look for their data in this source tree.
set(CPACK_VELNOR_PACKAGE ${VELNOR_PACKAGE})
file(WRITE ${CMAKE_BINARY_DIR}/CPackRequirePackageBuild.cmake
     "if(NOT CPACK_VELNOR_PACKAGE)\n"
     "  message(FATAL_ERROR \"Configure with -DVELNOR_PACKAGE=ON to build the package\")\n"
     "endif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackRequirePackageBuild.cmake)
include(CPack)

# Install rules and the Debian packages.
#
# Two components: "updater" is what a user installs (the programs, the udev rules, man
# pages, bash completions and module-server's systemd unit); "lab" holds the simulated
# hardware and the lab tools (virtual modules, boot-ROM simulators, the emulated USB bench
# usbrun, the local update server, birdtool).
#
# Every executable made in app/, agent/, firmware/, sim/ or sim/usb/ is installed into
# bin/ without a rule of its own: programs in app/ and agent/ belong to "updater", the
# others to "lab".
# A program chooses otherwise with the target property UPDATER_COMPONENT
# ("updater", "lab", or "none" to stay out of every package), e.g.
#   set_target_properties(my-tool PROPERTIES UPDATER_COMPONENT lab)
include(GNUInstallDirs)

set(UPDATER_COMPONENTS updater lab)

function(_updater_default_component folder out)
  if(folder STREQUAL "app" OR folder STREQUAL "agent")
    set(${out} updater PARENT_SCOPE)
  else()
    set(${out} lab PARENT_SCOPE)
  endif()
endfunction()

# Installs the executables of the program folders; called once every folder is known.
function(updater_install_programs)
  foreach(folder app agent firmware sim sim/usb)
    get_property(targets DIRECTORY ${PROJECT_SOURCE_DIR}/${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type STREQUAL "EXECUTABLE")
        continue()
      endif()
      get_target_property(component ${target} UPDATER_COMPONENT)
      if(NOT component)
        _updater_default_component(${folder} component)
      endif()
      if(component STREQUAL "none")
        continue()
      endif()
      if(NOT component IN_LIST UPDATER_COMPONENTS)
        message(FATAL_ERROR "${target}: UPDATER_COMPONENT must be one of ${UPDATER_COMPONENTS} or none")
      endif()
      install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
    endforeach()
  endforeach()
endfunction()

# udev reads lib/udev/rules.d below the prefix; the multiarch library directory
# would hide the rules from it.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/udev/70-updater.rules DESTINATION lib/udev/rules.d COMPONENT updater)
install(FILES ${PROJECT_SOURCE_DIR}/doc/updater.1 ${PROJECT_SOURCE_DIR}/doc/module-server.1
              ${PROJECT_SOURCE_DIR}/doc/updater-agent.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT updater)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/bash-completion/updater
              ${PROJECT_SOURCE_DIR}/contrib/bash-completion/module-server
              ${PROJECT_SOURCE_DIR}/contrib/bash-completion/updater-agent
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT updater)
# module-server as a service, one instance per module (module-server@SERIAL); systemd
# reads units below lib/systemd/system of /usr and of /usr/local alike.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/module-server@.service
        DESTINATION lib/systemd/system COMPONENT updater)
# The station (updater -U --watch) as a service; its options file is an example
# to copy to /etc/default/updater-station (the tree below the prefix has no etc/).
install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/updater-station.service
        DESTINATION lib/systemd/system COMPONENT updater)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/updater-station.default
        DESTINATION ${CMAKE_INSTALL_DATADIR}/updater COMPONENT updater)
# updater-agent as a service: the hawkBit gateway for the host's modules.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/updater-agent.service
        DESTINATION lib/systemd/system COMPONENT updater)

# Debian packages: "updater" and "updater-lab", versioned as the program's
# version line says (the device library's version in common/aVersion.cpp).
file(READ ${PROJECT_SOURCE_DIR}/common/aVersion.cpp _version_source)
foreach(part MAJOR MINOR PATCH)
  if(NOT _version_source MATCHES "LIBRARY_${part} = ([0-9]+);")
    message(FATAL_ERROR "No LIBRARY_${part} found in common/aVersion.cpp")
  endif()
  set(UPDATER_VERSION_${part} ${CMAKE_MATCH_1})
endforeach()
set(CPACK_PACKAGE_VERSION "${UPDATER_VERSION_MAJOR}.${UPDATER_VERSION_MINOR}.${UPDATER_VERSION_PATCH}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR "Kestrune")
set(CPACK_PACKAGE_CONTACT "Kestrune updater developers <updater@kestrune.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update and maintenance tool for Tessarine modules")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${UPDATER_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME updater)
set(CPACK_DEBIAN_LAB_PACKAGE_NAME updater-lab)
set(CPACK_DEBIAN_LAB_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_UPDATER_DESCRIPTION
    "Discovers modules on USB and TCP/IP, lists and downloads firmware builds and updates modules.")
set(CPACK_COMPONENT_LAB_DESCRIPTION
    "Virtual modules, simulated boot ROMs, modules on emulated USB (usbrun), a local update server and birdtool, for tests and labs.")
# usbrun's commands load libumockdev-preload, which the umockdev package holds; the
# libraries the programs link are found by shlibdeps and added to this with their versions.
set(CPACK_DEBIAN_LAB_PACKAGE_DEPENDS umockdev)
# The maintainer scripts make udev read the rules as soon as they are installed or removed.
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/contrib/debian/postinst ${PROJECT_SOURCE_DIR}/contrib/debian/postrm)
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

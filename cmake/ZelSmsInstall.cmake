# What "make install" (and so the Debian package) puts where. Included at the
# end of the top-level CMakeLists.txt, when every folder has declared its
# targets; a program missing from the tree stops the configuration rather
# than leave the package without it.
#
#   <prefix>/lib/zelsms/<program>        programs
#   <prefix>/lib/zelsms/providers/       provider plug-ins (see add_provider_plugin)
#   <prefix>/bin/<program>               relative links to the programs
#   <prefix>/share/man/man{1,5,7,8}/     manual pages from man/
#   <prefix>/lib/modules-load.d/         USB serial drivers loaded at boot
#   <prefix>/share/applications/         desktop entry of the configuration program
#   <prefix>/share/polkit-1/actions/     polkit policy that lets pkexec start it
include(GNUInstallDirs)

# program -> manual section
set(zelsms_programs
  ZelSMSService 8
  ZelSMSSetup 1
  ZelSMSQueue 1
  ZelStationSim 1
)

list(LENGTH zelsms_programs n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  list(GET zelsms_programs ${i} program)
  math(EXPR j "${i} + 1")
  list(GET zelsms_programs ${j} section)
  if(NOT TARGET ${program})
    message(FATAL_ERROR "${program} is to be installed but no target declares it")
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION ${ZELSMS_INSTALL_PKGDIR})
  # The link is relative so a staged install (DESTDIR) stays correct once
  # moved into place; the program still finds providers/ because Qt resolves
  # its own path through /proc/self/exe, not through the link.
  file(RELATIVE_PATH link_target /${CMAKE_INSTALL_BINDIR} /${ZELSMS_INSTALL_PKGDIR}/${program})
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK \"${link_target}\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Installing: \${link} -> ${link_target}\")
  ")
  set(page ${PROJECT_SOURCE_DIR}/man/${program}.${section})
  if(EXISTS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  else()
    message(WARNING "${program} has no manual page ${page}")
  endif()
endforeach()

# The package's overview page and the settings reference.
install(FILES ${PROJECT_SOURCE_DIR}/man/zelsms.7 DESTINATION ${CMAKE_INSTALL_MANDIR}/man7)
install(FILES ${PROJECT_SOURCE_DIR}/man/zelsms.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# systemd resolves the unit's DeviceAllow=char-ttyUSB and char-ttyACM against
# /proc/devices when the unit starts; loaded at boot, before any unit, the two
# drivers that own those majors make a modem plugged in later usable without
# a restart (the chip drivers such as pl2303 or ch341 share usbserial's major).
install(FILES ${PROJECT_SOURCE_DIR}/platform/servicehost/zelsms-serial.conf
  DESTINATION lib/modules-load.d RENAME zelsms.conf)

# pkexec runs only the program the policy names, so both carry its full path.
set(ZELSMS_SETUP_PROGRAM ${CMAKE_INSTALL_PREFIX}/${ZELSMS_INSTALL_PKGDIR}/ZelSMSSetup)
foreach(f zelsms-setup.desktop org.zel.sms.setup.policy)
  configure_file(${PROJECT_SOURCE_DIR}/setup/${f}.in ${CMAKE_BINARY_DIR}/generated/${f} @ONLY)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/generated/zelsms-setup.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/generated/org.zel.sms.setup.policy
  DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# The unit the package ships: what "ZelSMSService -install" would write for
# the account zelsms with the packaged layout (a test keeps the two equal).
set(ZELSMS_SYSTEMD_UNITDIR /lib/systemd/system CACHE STRING "Where the package's systemd unit goes (absolute)")
set(ZELSMS_SERVICE_PROGRAM ${CMAKE_INSTALL_PREFIX}/${ZELSMS_INSTALL_PKGDIR}/ZelSMSService)
configure_file(${PROJECT_SOURCE_DIR}/platform/servicehost/zel-sms-service.service.in
  ${CMAKE_BINARY_DIR}/generated/zel-sms-service.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/generated/zel-sms-service.service
  DESTINATION ${ZELSMS_SYSTEMD_UNITDIR})

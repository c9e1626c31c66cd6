# The Windows release archive (cpack -G ZIP in a windows-i686 build): the
# program, the Setup API wirelet.dll beside it, the sample package and a
# short README, all in one folder, since the program takes the library and
# the package from the current directory.
install(TARGETS Q7730upgrade RUNTIME DESTINATION .)
if(TARGET q7730-probe)
  install(TARGETS q7730-probe RUNTIME DESTINATION .)
endif()
install(FILES $<TARGET_FILE:wirelet> DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/package/ DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Q7730upgrade)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Q7730 firmware tools")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for ZEM-Q7730-5A printers")
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

# The Windows installer (CPack's NSIS generator; makensis runs on Linux as
# well) and the portable zip, both made by scripts/package-windows.sh:
#   cmake --build build-windows-package && (cd build-windows-package && cpack -G "NSIS;ZIP")
#
# Installed, the program lies in bin\ with the Qt and MinGW DLLs it loads,
# and the sample panel and bindings in share\vanterel\, where the program
# looks for them (VANTEREL_BIN_TO_DATADIR) and, finding them there, knows it
# is installed: it then keeps the user's files in %APPDATA%\Vanterel. The zip
# holds the same files in one folder, so a copy unpacked anywhere keeps its
# files beside itself.

set(bin ${CMAKE_INSTALL_BINDIR})
install(TARGETS vanterel vanterel-keys RUNTIME DESTINATION ${bin})

# The Qt the program links, and the plug-ins Qt loads at run time from the
# program's folder: the window system, and the native look when the Qt build
# has it.
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
              $<TARGET_FILE:Qt6::Network> DESTINATION ${bin})
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION ${bin}/platforms)
if(TARGET Qt6::QWindowsVistaStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION ${bin}/styles)
endif()
# Our executables carry the MinGW runtime (linked statically), but the Qt DLLs
# load it as DLLs.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
  endif()
  install(FILES ${path} DESTINATION ${bin})
endforeach()
# A stripped install (the packages') strips the DLLs too: Qt's keep their
# symbol tables, which double their size and which no user needs.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  file(GLOB_RECURSE dlls \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${bin}/*.dll\")
  foreach(dll IN LISTS dlls)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${dll}\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()")

install(DIRECTORY ${PROJECT_SOURCE_DIR}/htdocs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vanterel/htdocs)
install(FILES ${PROJECT_SOURCE_DIR}/keys.sample.dat DESTINATION ${CMAKE_INSTALL_DATADIR}/vanterel)

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME Vanterel)
set(CPACK_PACKAGE_VENDOR Vanterel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "press an application's keys from a web page on a tablet")
set(CPACK_PACKAGE_FILE_NAME Vanterel-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Vanterel)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Vanterel)
set(CPACK_STRIP_FILES ON)

# CPack writes the values below into CPackConfig.cmake as they are, so a
# quote or backslash that must reach makensis is escaped twice here.
#
# A 64-bit installer with Unicode strings: it sees the 64-bit Program Files
# and registry, as the program does. CPack splits makensis's command line at
# every space that no backslash escapes.
set(CPACK_NSIS_EXECUTABLE_PRE_ARGUMENTS "-XTarget\\\\ amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME Vanterel)
set(CPACK_NSIS_DISPLAY_NAME "Vanterel ${PROJECT_VERSION}")
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/DEF.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/DEF.ico)
# Apps & Features shows the program's own icon (its resource "DEF").
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\vanterel.exe")
# The Start-menu entry.
set(CPACK_PACKAGE_EXECUTABLES vanterel Vanterel)
# A new version replaces the old one (its uninstaller runs first, silently
# when the installer is silent); the user's files are not the program's.
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# Tablets reach the server over the local network: an inbound rule for the
# program on private networks (never public ones). The rule is deleted first
# so that installing again does not add a second one. The system folder and
# the rule's name hold no space, so only the program's path is quoted.
set(netsh "nsExec::ExecToLog '$SYSDIR\\\\netsh.exe advfirewall firewall")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  ${netsh} delete rule name=Vanterel'
  Pop $0
  ${netsh} add rule name=Vanterel dir=in action=allow program=\\\"$INSTDIR\\\\bin\\\\vanterel.exe\\\" enable=yes profile=private'
  Pop $0")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "
  ${netsh} delete rule name=Vanterel'
  Pop $0")

# The zip is flat: the contents of bin\ and share\vanterel\ side by side.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/windows-zip-flat.cmake)
include(CPack)

# The install folder runs as it is: the programs, and on Windows the Qt
# libraries and plugins beside them (windeployqt through Qt's deploy script).
# Qt's German texts go into translations/ beside the programs, where the
# programs look for them. No settings file is installed: the window makes
# quilloraGlobal.xml beside itself on its first save, and an update must
# never overwrite one an administrator has filled in.
if(WIN32)
    # One flat folder: Windows loads a program's DLLs from beside it, and
    # windeployqt puts plugins/ and translations/ beside the programs too.
    set(CMAKE_INSTALL_BINDIR .)
endif()
include(GNUInstallDirs)

set(vellumix_installed_programs)
foreach(program qv_VellumixConf qv_VellumixCheck qv_VellumixSettings)
    if(TARGET ${program})
        list(APPEND vellumix_installed_programs ${program})
    endif()
endforeach()
install(TARGETS ${vellumix_installed_programs}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Qt 6.5 renamed the argument that names the generated script.
if(Qt6_VERSION VERSION_GREATER_EQUAL 6.5)
    set(vellumix_deploy_script_argument OUTPUT_SCRIPT)
else()
    set(vellumix_deploy_script_argument FILENAME_VARIABLE)
endif()
foreach(program IN LISTS vellumix_installed_programs)
    # On platforms Qt does not deploy to (Linux with Qt 6.4) the script
    # only says so; the system's Qt serves there.
    qt_generate_deploy_app_script(TARGET ${program}
        ${vellumix_deploy_script_argument} deploy_script
        NO_UNSUPPORTED_PLATFORM_ERROR)
    install(SCRIPT ${deploy_script})
endforeach()

find_file(VELLUMIX_QTBASE_DE qtbase_de.qm
    PATHS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}"
    NO_DEFAULT_PATH)
if(VELLUMIX_QTBASE_DE)
    install(FILES ${VELLUMIX_QTBASE_DE} DESTINATION ${CMAKE_INSTALL_BINDIR}/translations)
else()
    # Configuring still works for development; only an install would lack them.
    install(CODE "message(FATAL_ERROR \"qtbase_de.qm is missing in ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}: install Qt's translations (Debian: qt6-translations-l10n)\")")
endif()

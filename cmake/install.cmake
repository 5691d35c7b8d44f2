# The install folder runs as it is: the programs, and on Windows the Qt
# libraries and plugins beside them (windeployqt through Qt's deploy script;
# for a build made on Linux, where Qt has no windeployqt, the rules below).
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

if(MSVC)
    # The Visual C++ runtime (msvcp140.dll, vcruntime140.dll, ...) beside the
    # programs, so the folder also runs where Microsoft's vc_redist was never
    # installed. The Universal C runtime is part of Windows 10 and later.
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(CMAKE_INSTALL_UCRT_LIBRARIES FALSE)
    include(InstallRequiredSystemLibraries)
endif()

if(WIN32 AND CMAKE_CROSSCOMPILING)
    # Built on Linux: Qt has no windeployqt there, so these rules deploy.
    # The plugins the programs load: the platform, the native look, and TLS
    # through Windows' own Schannel (the certificate-only backend adds
    # nothing where Schannel is present).
    set(vellumix_qt_plugins platforms/qwindows.dll styles/qwindowsvistastyle.dll tls/qschannelbackend.dll)
    set(vellumix_qt_plugin_dir "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
    foreach(plugin IN LISTS vellumix_qt_plugins)
        get_filename_component(plugin_folder ${plugin} DIRECTORY)
        install(FILES "${vellumix_qt_plugin_dir}/${plugin}" DESTINATION ${CMAKE_INSTALL_BINDIR}/${plugin_folder})
    endforeach()
    # Plugins and translations beside the programs, whatever Qt's own paths.
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/qt.conf DESTINATION ${CMAKE_INSTALL_BINDIR})

    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-libgcc-file-name
        OUTPUT_VARIABLE vellumix_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(vellumix_gcc_runtime "${vellumix_libgcc}" DIRECTORY)
    if(NOT CMAKE_OBJDUMP OR NOT CMAKE_STRIP)
        message(FATAL_ERROR "the Windows install needs the toolchain's objdump and strip (mingw-w64)")
    endif()
    # The folder of Windows' import libraries, which also holds libwinpthread-1.dll.
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libkernel32.a
        OUTPUT_VARIABLE vellumix_kernel32 OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(vellumix_import_libs "${vellumix_kernel32}" DIRECTORY)
    get_filename_component(vellumix_import_libs "${vellumix_import_libs}" REALPATH)
    set(vellumix_installed_files)
    foreach(program IN LISTS vellumix_installed_programs)
        list(APPEND vellumix_installed_files ${program}${CMAKE_EXECUTABLE_SUFFIX})
    endforeach()
    install(CODE "
        set(VELLUMIX_DEPLOY_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        set(VELLUMIX_DEPLOY_PROGRAMS \"${vellumix_installed_files}\")
        set(VELLUMIX_DEPLOY_PLUGINS \"${vellumix_qt_plugins}\")
        set(VELLUMIX_DEPLOY_SEARCH \"${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS};${vellumix_gcc_runtime};${vellumix_import_libs}\")
        set(VELLUMIX_DEPLOY_OBJDUMP \"${CMAKE_OBJDUMP}\")
        set(VELLUMIX_DEPLOY_STRIP \"${CMAKE_STRIP}\")
        set(VELLUMIX_DEPLOY_IMPORT_LIBS \"${vellumix_import_libs}\")")
    install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/deploy-windows-cross.cmake)
else()
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
endif()

# Qt's German texts. A cross build takes them from the host's Qt: a .qm file
# is the same on every platform.
set(vellumix_translation_folders "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}")
if(CMAKE_CROSSCOMPILING AND QT_HOST_PATH)
    find_program(VELLUMIX_HOST_QTPATHS NAMES qtpaths6 qtpaths
        PATHS "${QT_HOST_PATH}/lib/qt6/bin" "${QT_HOST_PATH}/bin" NO_DEFAULT_PATH)
    if(VELLUMIX_HOST_QTPATHS)
        execute_process(COMMAND "${VELLUMIX_HOST_QTPATHS}" --query QT_INSTALL_TRANSLATIONS
            OUTPUT_VARIABLE vellumix_host_translations OUTPUT_STRIP_TRAILING_WHITESPACE)
        list(APPEND vellumix_translation_folders "${vellumix_host_translations}")
    endif()
endif()
find_file(VELLUMIX_QTBASE_DE qtbase_de.qm
    PATHS ${vellumix_translation_folders}
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(VELLUMIX_QTBASE_DE)
    install(FILES ${VELLUMIX_QTBASE_DE} DESTINATION ${CMAKE_INSTALL_BINDIR}/translations)
else()
    # Configuring still works for development; only an install would lack them.
    install(CODE "message(FATAL_ERROR \"qtbase_de.qm is missing in ${vellumix_translation_folders}: install Qt's translations (Debian: qt6-translations-l10n)\")")
endif()

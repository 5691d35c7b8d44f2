# Installs the build into a fresh folder and checks what an administrator
# gets there: the programs and Qt's German texts beside them, and never a
# settings file, which would overwrite a filled-in one on an update.
#   BUILD_DIR  the build tree     PREFIX  the folder to install into
#   BINDIR     the programs' folder inside PREFIX     SUFFIX  ".exe" or empty
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the install failed (${result}):\n${output}")
endif()
foreach(file qv_VellumixConf${SUFFIX} qv_VellumixCheck${SUFFIX} qv_VellumixSettings${SUFFIX}
        translations/qtbase_de.qm)
    if(NOT EXISTS "${PREFIX}/${BINDIR}/${file}")
        message(FATAL_ERROR "${BINDIR}/${file} is missing in the install folder")
    endif()
endforeach()
file(GLOB_RECURSE settings_files "${PREFIX}/*quilloraGlobal*")
if(settings_files)
    message(FATAL_ERROR "the install folder holds a settings file: ${settings_files}")
endif()
file(REMOVE_RECURSE "${PREFIX}")

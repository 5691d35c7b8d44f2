# Install-time step of a Windows build made on Linux, where Qt has no
# windeployqt: puts beside the installed programs every DLL that they and the
# deployed Qt plugins load from Qt or from the mingw runtime, found by
# reading their import tables with objdump, so the list follows the build.
# A DLL found in none of those folders must be part of Windows itself (the
# mingw-w64 import libraries include one for each such DLL); any other
# missing DLL stops the install, since the folder would not start.
# Everything in the folder is stripped: Debian's mingw runtime alone carries
# 20 MB of debugging information that no administrator needs.
#
# Set before this script runs (cmake/install.cmake does so):
#   VELLUMIX_DEPLOY_DIR        the programs' folder inside the install prefix
#   VELLUMIX_DEPLOY_PROGRAMS   the installed programs' file names
#   VELLUMIX_DEPLOY_PLUGINS    the installed plugins, relative to that folder
#   VELLUMIX_DEPLOY_SEARCH     the folders holding Qt's and the runtime's DLLs
#   VELLUMIX_DEPLOY_OBJDUMP    the objdump that reads Windows programs
#   VELLUMIX_DEPLOY_STRIP      the strip for them
#   VELLUMIX_DEPLOY_IMPORT_LIBS  the folder of mingw-w64's import libraries of Windows

# Run from cmake_install.cmake, which sets no policies.
cmake_policy(VERSION 3.25)

set(deploy_dir "$ENV{DESTDIR}${VELLUMIX_DEPLOY_DIR}")
set(executables)
foreach(program IN LISTS VELLUMIX_DEPLOY_PROGRAMS)
    list(APPEND executables "${deploy_dir}/${program}")
endforeach()
set(modules)
foreach(plugin IN LISTS VELLUMIX_DEPLOY_PLUGINS)
    list(APPEND modules "${deploy_dir}/${plugin}")
endforeach()

# Every DLL of the search folders by its name in lower case: Windows matches
# DLL names without regard to case, and the import tables spell them freely.
foreach(folder IN LISTS VELLUMIX_DEPLOY_SEARCH)
    file(GLOB dlls "${folder}/*.dll")
    foreach(dll IN LISTS dlls)
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" lower)
        if(NOT DEFINED "candidate_${lower}")
            set("candidate_${lower}" "${dll}")
        endif()
    endforeach()
endforeach()

set(queue ${executables} ${modules})
set(seen)
set(deployed)
set(missing)
while(queue)
    list(POP_FRONT queue file)
    execute_process(COMMAND "${VELLUMIX_DEPLOY_OBJDUMP}" -p "${file}"
        OUTPUT_VARIABLE dump ERROR_VARIABLE error RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot read the imports of ${file}: ${error}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(line IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: *" "" name "${line}")
        string(STRIP "${name}" name)
        string(TOLOWER "${name}" lower)
        if(lower IN_LIST seen)
            continue()
        endif()
        list(APPEND seen "${lower}")
        string(REGEX REPLACE "\\.dll$" "" stem "${lower}")
        if(DEFINED "candidate_${lower}")
            list(APPEND deployed "${candidate_${lower}}")
            list(APPEND queue "${candidate_${lower}}")
        elseif(lower MATCHES "^api-ms-win-" OR EXISTS "${VELLUMIX_DEPLOY_IMPORT_LIBS}/lib${stem}.a")
            # Part of Windows. API sets are names Windows resolves itself;
            # they have no import library.
        else()
            get_filename_component(needer "${file}" NAME)
            list(APPEND missing "${name} (needed by ${needer})")
        endif()
    endforeach()
endwhile()
if(missing)
    message(FATAL_ERROR "neither part of Windows nor in ${VELLUMIX_DEPLOY_SEARCH}: ${missing}")
endif()
file(INSTALL DESTINATION "${deploy_dir}" TYPE SHARED_LIBRARY FILES ${deployed})

set(stripped ${executables} ${modules})
foreach(file IN LISTS deployed)
    get_filename_component(name "${file}" NAME)
    list(APPEND stripped "${deploy_dir}/${name}")
endforeach()
# strip writes the time into each file's header; a fixed one keeps the
# same build giving the same folder.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} 315532800)
endif()
foreach(file IN LISTS stripped)
    execute_process(COMMAND "${VELLUMIX_DEPLOY_STRIP}" --strip-unneeded "${file}"
        RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot strip ${file}: ${result} ${error}")
    endif()
endforeach()

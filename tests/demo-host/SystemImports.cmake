# cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> -DOWN=<dll> -P SystemImports.cmake
# Fails when PROGRAM imports a DLL that Windows does not ship, other than OWN
# (the library it is delivered with); prints every import it finds.
cmake_minimum_required(VERSION 3.13)
set(system_dlls advapi32.dll d3d9.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll psapi.dll
    shell32.dll user32.dll windowscodecs.dll winmm.dll)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${result}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
    message(FATAL_ERROR "no import table found in ${PROGRAM}")
endif()
set(foreign)
foreach(line IN LISTS lines)
    string(REPLACE "DLL Name: " "" name "${line}")
    string(STRIP "${name}" name)
    string(TOLOWER "${name}" name)
    message(STATUS "imports ${name}")
    # The universal C runtime's API sets are part of Windows 10 and later.
    if(NOT name IN_LIST system_dlls AND NOT name STREQUAL OWN AND NOT name MATCHES "^api-ms-win-crt-")
        list(APPEND foreign ${name})
    endif()
endforeach()
if(foreign)
    message(FATAL_ERROR "imports DLLs that Windows does not ship: ${foreign}")
endif()

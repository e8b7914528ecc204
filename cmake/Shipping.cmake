# What a Java application ships, side by side at the top of the install tree:
# the library, its video server and the Java classes as a jar. The server is
# found by the system's search for programs, never by the library's folder, so
# the two travel together. The demonstration host, the tests and tools/ stay out.

# The jar is compiled for Java 11, whatever JDK builds it.
find_program(QV_JAR jar REQUIRED)
file(GLOB_RECURSE qv_jar_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/java/*.java)
set(qv_jar_classes ${CMAKE_BINARY_DIR}/jar-classes)
set(qv_jar ${CMAKE_BINARY_DIR}/qvfx.jar)
add_custom_command(
    OUTPUT ${qv_jar}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${qv_jar_classes}
    COMMAND ${QV_JAVAC} --release 11 -d ${qv_jar_classes} ${qv_jar_sources}
    COMMAND ${QV_JAR} --create --file ${qv_jar} -C ${qv_jar_classes} .
    DEPENDS ${qv_jar_sources}
    COMMENT "Compiling the Java classes for Java 11 into qvfx.jar"
    VERBATIM)
add_custom_target(qvfx-jar ALL DEPENDS ${qv_jar})

install(TARGETS qvfx qvfx-vsrv RUNTIME DESTINATION .)
install(FILES ${qv_jar} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Debug information stays in the build folder.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

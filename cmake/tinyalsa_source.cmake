# Builds tinyalsa from TINYALSA_SOURCE, a source tree or a tarball of one (as in the project's
# third-party folder), into the static library tinyalsa_lib for the target being built. Both
# layouts are known: the 2012 one (pcm.c and mixer.c at the top, as in Android 4.2's tree) and the
# 2.x one (src/*.c, with its PCM and mixer plugins, which need libdl).

set(tinyalsa_tree "${TINYALSA_SOURCE}")
if(NOT EXISTS "${tinyalsa_tree}")
    message(FATAL_ERROR "TINYALSA_SOURCE '${TINYALSA_SOURCE}' does not exist")
endif()
if(NOT IS_DIRECTORY "${tinyalsa_tree}")
    set(unpacked "${CMAKE_BINARY_DIR}/tinyalsa-source")
    file(REMOVE_RECURSE "${unpacked}")
    file(ARCHIVE_EXTRACT INPUT "${tinyalsa_tree}" DESTINATION "${unpacked}")
    # A tarball of a tree holds that tree's folder.
    file(GLOB top LIST_DIRECTORIES true "${unpacked}/*")
    list(LENGTH top count)
    if(count EQUAL 1 AND IS_DIRECTORY "${top}")
        set(tinyalsa_tree "${top}")
    else()
        set(tinyalsa_tree "${unpacked}")
    endif()
    # A new tarball is unpacked again at the next configure.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TINYALSA_SOURCE}")
endif()

if(EXISTS "${tinyalsa_tree}/src/pcm.c")
    file(GLOB tinyalsa_sources "${tinyalsa_tree}/src/*.c")
elseif(EXISTS "${tinyalsa_tree}/pcm.c")
    set(tinyalsa_sources "${tinyalsa_tree}/pcm.c" "${tinyalsa_tree}/mixer.c")
else()
    message(FATAL_ERROR "TINYALSA_SOURCE '${TINYALSA_SOURCE}' holds neither src/pcm.c nor pcm.c")
endif()
# Its own code, built with its own warnings: none of ours apply.
add_library(tinyalsa_lib STATIC ${tinyalsa_sources})
target_include_directories(tinyalsa_lib PUBLIC "${tinyalsa_tree}/include")
target_link_libraries(tinyalsa_lib PUBLIC ${CMAKE_DL_LIBS})
message(STATUS "tinyalsa built from ${TINYALSA_SOURCE}")

# Checks that android/Android.bp and android/Android.mk build the service from the same sources as
# CMake, and that both leave out the same file for a tinyalsa variant with its own pcm_open_req.
#   cmake -DROOT=<source tree> -DSOURCES=a.cpp|b.cpp -DEXCLUDED=<file> -P android_sources.cmake
# Fails with one line per difference, naming the file and the list it is missing from.

string(REPLACE "|" ";" expected "${SOURCES}")
list(SORT expected)
set(faults "")

foreach(source IN LISTS expected)
    if(NOT EXISTS "${ROOT}/${source}")
        list(APPEND faults "${source}: listed by the CMake build but not in the source tree")
    endif()
endforeach()

# Reports every file that one list has and the other lacks.
function(compare what actual)
    list(SORT actual)
    set(missing ${expected})
    set(extra ${actual})
    if(actual)
        list(REMOVE_ITEM missing ${actual})
    endif()
    list(REMOVE_ITEM extra ${expected})
    foreach(source IN LISTS missing)
        list(APPEND faults "${what} lacks ${source}, which the CMake build compiles")
    endforeach()
    foreach(source IN LISTS extra)
        list(APPEND faults "${what} lists ${source}, which the CMake build does not compile")
    endforeach()
    set(faults "${faults}" PARENT_SCOPE)
endfunction()

# --- Android.bp: srcs and exclude_srcs, without comments --------------------------------------
file(READ "${ROOT}/android/Android.bp" bp)
string(REGEX REPLACE "//[^\n]*" "" bp "${bp}")
if(bp MATCHES "\n[ \t]*srcs:[ \t]*\\[([^]]*)\\]")
    string(REGEX MATCHALL "\"[^\"]*\"" bp_sources "${CMAKE_MATCH_1}")
    string(REPLACE "\"" "" bp_sources "${bp_sources}")
    compare("android/Android.bp srcs" "${bp_sources}")
else()
    list(APPEND faults "android/Android.bp: no srcs list found")
endif()
if(NOT bp MATCHES "exclude_srcs:[ \t]*\\[[ \t\n]*\"${EXCLUDED}\"[ \t\n,]*\\]")
    list(APPEND faults "android/Android.bp: exclude_srcs does not leave out ${EXCLUDED} alone")
endif()

# --- Android.mk: LOCAL_SRC_FILES and its filter-out, without comments or line continuations ---
file(READ "${ROOT}/android/Android.mk" mk)
string(REGEX REPLACE "#[^\n]*" "" mk "${mk}")
string(REPLACE "\\\n" " " mk "${mk}")
if(mk MATCHES "LOCAL_SRC_FILES[ \t]*:=([^\n]*)")
    separate_arguments(mk_sources UNIX_COMMAND "${CMAKE_MATCH_1}")
    compare("android/Android.mk LOCAL_SRC_FILES" "${mk_sources}")
else()
    list(APPEND faults "android/Android.mk: no LOCAL_SRC_FILES := line found")
endif()
if(NOT mk MATCHES "\\$\\(filter-out[ \t]+${EXCLUDED}[ \t]*,[ \t]*\\$\\(LOCAL_SRC_FILES\\)\\)")
    list(APPEND faults "android/Android.mk: the variant's filter-out does not leave out ${EXCLUDED}")
endif()

if(faults)
    list(JOIN faults "\n" text)
    message(FATAL_ERROR "${text}")
endif()
list(LENGTH expected count)
message(STATUS "Android.bp, Android.mk and CMake build the service from the same ${count} sources")

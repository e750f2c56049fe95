# Checks the service names in android/*.rc against the rule of Android 4.2's to 7.x's init: at most
# 16 characters, each a letter, a digit, '_' or '-'. init refuses any other name and the service
# never starts, which nothing here could show otherwise.
#   cmake -DROOT=<source tree> -P android_init_names.cmake

file(GLOB rc_files "${ROOT}/android/*.rc")
set(faults "")
set(count 0)
foreach(rc IN LISTS rc_files)
    file(STRINGS "${rc}" services REGEX "^service[ \t]")
    if(NOT services)
        list(APPEND faults "${rc}: no service stanza")
    endif()
    foreach(line IN LISTS services)
        string(REGEX REPLACE "^service[ \t]+([^ \t]*).*" "\\1" name "${line}")
        string(LENGTH "${name}" length)
        if(length GREATER 16 OR NOT name MATCHES "^[A-Za-z0-9_-]+$")
            list(APPEND faults "${rc}: service name '${name}' is not 1 to 16 letters, digits, '_' or '-'")
        endif()
        math(EXPR count "${count} + 1")
    endforeach()
endforeach()
if(faults)
    list(JOIN faults "\n" text)
    message(FATAL_ERROR "${text}")
endif()
message(STATUS "${count} service names valid for init from 4.2 on")

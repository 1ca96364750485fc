# Writes the files INPUTS (a ;-list) one after another into OUTPUT, rewriting OUTPUT only when its
# text changes. Run with cmake -P.
set(text "")
foreach(input IN LISTS INPUTS)
    file(READ "${input}" part)
    string(APPEND text "${part}")
endforeach()
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
    if(old STREQUAL text)
        return()
    endif()
endif()
file(WRITE "${OUTPUT}" "${text}")

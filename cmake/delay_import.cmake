# Makes a delay-import library: the functions of IMPORT_LIBRARY, with their
# DLL loaded at the first call of one of them instead of when the program
# starts. The library's other objects (the GUIDs libshell32.a carries, ...)
# are kept as they are. Run with cmake -P and these variables:
#   TOOLS             the toolchain's prefix (x86_64-w64-mingw32-)
#   IMPORT_LIBRARY    the toolchain's import library (.../libuser32.a)
#   OUTPUT            the library to write (64-bit: names carry no underscore)
execute_process(COMMAND ${TOOLS}dlltool --identify ${IMPORT_LIBRARY}
    OUTPUT_VARIABLE dll OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${TOOLS}nm -g -A ${IMPORT_LIBRARY}
    OUTPUT_VARIABLE symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" symbols "${symbols}")

# A function has its import slot (I __imp_Name) and its thunk (T Name); data
# has the slot alone and cannot be loaded late (nothing here uses any).
set(slots "")
set(thunks "")
set(members "")
foreach(line IN LISTS symbols)
    if(line MATCHES " I __imp_(.+)$")
        string(APPEND slots "|${CMAKE_MATCH_1}|")
    elseif(line MATCHES " T (.+)$")
        list(APPEND thunks "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^[^:]+:([^:]+):[0-9a-f]* [DRB] ")
        list(APPEND members "${CMAKE_MATCH_1}")
    endif()
endforeach()
set(exports "")
foreach(name IN LISTS thunks)
    string(FIND "${slots}" "|${name}|" found)
    if(found EQUAL -1)
        continue()
    endif()
    string(APPEND exports "    ${name}\n")
endforeach()

set(def ${OUTPUT}.def)
file(WRITE ${def} "LIBRARY \"${dll}\"\nEXPORTS\n${exports}")
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${TOOLS}dlltool --input-def ${def} --dllname ${dll}
    --output-delaylib ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)

if(members)
    list(REMOVE_DUPLICATES members)
    set(scratch ${OUTPUT}.objects)
    file(REMOVE_RECURSE ${scratch})
    file(MAKE_DIRECTORY ${scratch})
    execute_process(COMMAND ${TOOLS}ar x ${IMPORT_LIBRARY} ${members}
        WORKING_DIRECTORY ${scratch} COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${TOOLS}ar rs ${OUTPUT} ${members}
        WORKING_DIRECTORY ${scratch} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${scratch})
endif()

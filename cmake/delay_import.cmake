# Makes a delay-import library: the functions of IMPORT_LIBRARY, with their
# DLL loaded at the first call of one of them instead of when the program
# starts. The library's other objects (the GUIDs libshell32.a carries, ...)
# are kept as they are. Run with cmake -P and these variables:
#   TOOLS             the toolchain's prefix (x86_64-w64-mingw32-)
#   IMPORT_LIBRARY    the toolchain's import library (.../libuser32.a)
#   OUTPUT            the library to write
#   UNDERSCORE        ON where C names carry a leading underscore (i686)
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
    if(UNDERSCORE)
        string(REGEX REPLACE "^_" "" name "${name}")
    endif()
    string(APPEND exports "    ${name}\n")
endforeach()

set(def ${OUTPUT}.def)
file(WRITE ${def} "LIBRARY \"${dll}\"\nEXPORTS\n${exports}")
# --kill-at: the DLL's names are undecorated (MessageBoxW for MessageBoxW@16).
set(kill_at "")
if(UNDERSCORE)
    set(kill_at --kill-at)
endif()
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${TOOLS}dlltool ${kill_at} --input-def ${def} --dllname ${dll}
    --output-delaylib ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
# Each function's code section holds both its jump through the import slot
# and the stub the slot points at until the first call. The 32-bit linker
# drops an import member's code section when nothing calls the function by
# its thunk name (callers declared dllimport go through __imp_ alone), which
# leaves the slot 0: the first call jumps to address 0. It only drops code
# sections, so these are marked as data under a name the .text output
# section still gathers.
if(UNDERSCORE)
    execute_process(COMMAND ${TOOLS}objcopy
        "--rename-section=.text=.text$delay,contents,alloc,load,readonly,data"
        ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
endif()

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

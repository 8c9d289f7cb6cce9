# The configure check of a site list: every entry must be one the site rules
# take, or the build stops. A left-out entry would silently allow nothing,
# which a release must never find out from its users. The list is read by
# the extension's build script, whose reading the control's lock, the
# host and the extension's rules share.
#
#   include(cmake/allowed_sites.cmake)
#   zarn_check_allowed_sites("https://www.example;https://*.example:8443")
#
# Also run by itself (cmake -DSITES=LIST -P cmake/allowed_sites.cmake).
set(_zarn_sites_script ${CMAKE_CURRENT_LIST_DIR}/../browser/build_extension.py)

function(zarn_check_allowed_sites list)
    string(JOIN ";" _text ${list})
    execute_process(COMMAND python3 ${_zarn_sites_script} sites --sites "${_text}"
        RESULT_VARIABLE _status OUTPUT_QUIET ERROR_VARIABLE _why)
    if(NOT _status EQUAL 0)
        string(STRIP "${_why}" _why)
        message(FATAL_ERROR "ZARN_ALLOWED_SITES: not scheme://host[:port] or "
            "scheme://*.host[:port] with scheme http or https:\n${_why}")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    zarn_check_allowed_sites("${SITES}")
endif()

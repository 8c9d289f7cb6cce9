# The suites, one zarn_suite() each (see tests/CMakeLists.txt), and the extra
# modules some of them load. The locks a suite lists are all it takes.

# The bridge host driven from Linux through its pipes, as a browser drives it
# (tests/bridge_host_test.py). It runs on the Korean system, talks to the
# update server stand-in and rewrites its product files, and changes the
# settings, the install folder and the desktop.
if(ZARN_UPDATESERVER_HOST)
    string(REGEX REPLACE "/+$" "" _bridge_origin "${ZARN_UPDATE_SERVER}")
    zarn_suite(bridge_host
        COMMAND bash -c ". '${CMAKE_SOURCE_DIR}/scripts/lib.sh' && zarn_wine_env '${CMAKE_BINARY_DIR}' && exec python3 '${CMAKE_CURRENT_SOURCE_DIR}/bridge_host_test.py'"
        FIXTURES updateserver korean_locale
        LOCKS zarn_state updateserver_files
        ENV ${ZARN_KOREAN_ENV} "ZARN_BRIDGE_BUILD=${CMAKE_BINARY_DIR}"
            "ZARN_BRIDGE_SOURCE=${CMAKE_SOURCE_DIR}" "ZARN_BRIDGE_ORIGIN=${_bridge_origin}"
            "ZARN_RELEASE_KEY=${ZARN_RELEASE_TEST_KEY}" PYTHONDONTWRITEBYTECODE=1
        TIMEOUT 600)
endif()

# The messages the bridge host reads and writes (the request parser, the UTF
# conversions, the origin check and the framing), linked in: no process and no
# shared state.
zarn_suite(test_bridge_messages LINK zarn_bridge LOCKS)

# The bridge host's --diagnose, linked in. It writes the user's registration
# for Chrome, which the bridge host's suite diagnoses too (under zarn_state).
zarn_suite(test_bridge_diagnose LINK zarn_bridge)

# The install folder resolver is linked in directly; the rest is read from
# the registration and through script hosts. It reads shared state only.
zarn_suite(test_bitness LINK zarn_control LOCKS)

# Real wait limits against the update server stand-in's fault modes, through
# the page host: it rewrites the product files and makes the desktop shortcut.
zarn_suite(test_bounded_waits LINK zarn_control DEPENDS Zarn_setup
    FIXTURES updateserver LOCKS updateserver_files zarn_desktop zarn_state TIMEOUT 900)

# The control through COM only: no settings, programs or dialogs.
zarn_suite(test_control_com LOCKS)

# The demo page end to end. The suite runs inside scripts/demo-setup, which
# prepares the test prefix just as scripts/demo prepares the demo prefix (the
# update server's product files, a Korean machine without the transfer
# programs, the remembered upload folder, the transfer record) and starts the
# watcher that presses OK in the folder browser (tools/dialogpress). It
# rewrites the update server's product files and makes the desktop shortcut.
zarn_suite(test_demo DEPENDS dialogpress Zarn_setup
    EMULATOR ${CMAKE_SOURCE_DIR}/scripts/demo-setup ${CMAKE_BINARY_DIR} wineprefix
             ${ZARN_UPDATESERVER_DIR}/webroot ${ZARN_WINE_RUN}
    ENV ${ZARN_KOREAN_ENV} FIXTURES updateserver korean_locale
    LOCKS updateserver_files zarn_desktop zarn_state)

# The control's dispatch table is linked in; the type library is read from
# the built module's resources. No shared state.
zarn_suite(test_dispatch_table LINK zarn_control LOCKS)

# The pickers' suites create the control through its registration and talk
# to it by its interface IDs; the dialog helpers are linked in as seams for
# the cases a person cannot reach through the window (a small result area).
zarn_suite(test_file_picker LINK zarn_select zarn_interface_ids)
zarn_suite(test_folder_picker LINK zarn_interface_ids)

# The framework's handle owners, failure macros and thread names, linked in:
# no process and no shared state.
zarn_suite(test_framework LINK zarn_framework LOCKS)

# The control in an ATL container of its own: no shared state.
zarn_suite(test_hosting LOCKS)

# Viewer windows are found desktop-wide, and one test here makes the server
# refuse every connection for a moment: it takes both locks.
zarn_suite(test_http LINK zarn_update FIXTURES updateserver LOCKS log_viewer updateserver_files)

# The update road over https: Debian's nginx with certificates from a
# throwaway test CA (tests/https_road.py makes them under the build folder and
# switches the server's set-up as the suite asks), passing requests on to the
# update server stand-in, and a second module built for https://localhost:<port>.
if(ZARN_UPDATESERVER_HOST)
    math(EXPR _https_default_port "${ZARN_UPDATESERVER_PORT} + 2")
    set(ZARN_TEST_HTTPS_PORT ${_https_default_port} CACHE STRING
        "Loopback port of the https update server the tests start")
    set(_https_dir ${CMAKE_BINARY_DIR}/https)
    zarn_build_settings(${CMAKE_BINARY_DIR}/generated/https
        "https://localhost:${ZARN_TEST_HTTPS_PORT}" ${ZARN_UPDATE_KEYS})
    zarn_module(ZarnCtrl2_https ZarnCtrl2-https ${CMAKE_BINARY_DIR}/generated/https)
    add_dependencies(ZarnCtrl2_https ZarnCtrl2)
    string(REPLACE "/" "\\" _https_dir_win "Z:${_https_dir}")
    zarn_suite(test_https LINK zarn_control crypt32
        DEPENDS ZarnCtrl2_https Zarn_setup Zarn_download Zarn_upload
        EMULATOR python3 ${CMAKE_CURRENT_SOURCE_DIR}/https_road.py --dir ${_https_dir}
                 --port ${ZARN_TEST_HTTPS_PORT} --backend ${ZARN_UPDATESERVER_PORT} -- ${ZARN_WINE_RUN}
        ENV "ZARN_HTTPS_DIR=${_https_dir_win}" "ZARN_HTTPS_PORT=${ZARN_TEST_HTTPS_PORT}"
        FIXTURES updateserver LOCKS updateserver_files log_viewer zarn_state TIMEOUT 600)
else()
    zarn_suite(test_https DISABLED)
endif()

# The type library's help texts are read back as a Korean system reads them
# (see tests/fixtures/korean_locale.cmake). The type library and resources
# only: no shared state.
zarn_suite(test_identity LINK version ENV ${ZARN_KOREAN_ENV} FIXTURES korean_locale LOCKS)

# The install folder and version routines are linked in directly as well as
# being exercised through the module. Per-program Wine settings of its own
# executable only.
zarn_suite(test_install_folder LINK zarn_control LOCKS)

zarn_suite(test_install_report LINK zarn_control FIXTURES updateserver
    LOCKS updateserver_files zarn_state)
# It names an update server that cannot be reached itself.
zarn_suite(test_install_report_offline LINK zarn_launch OWN_SERVER_ADDRESS)

# Viewer windows are found desktop-wide: suites that open one take turns.
zarn_suite(test_log LINK zarn_support DEPENDS xlogwnd LOCKS log_viewer)

# Starts from inside a job, as the bridge host makes them: the suite puts its
# own process into a job and answers the copy's start in its own wmain. The
# upload stand-in it starts opens no window.
zarn_suite(test_outliving_start LINK zarn_launch DEPENDS Zarn_upload LOCKS)
target_link_options(test_outliving_start PRIVATE -municode)

# Pages that only raise events and refuse bad calls: no shared state.
zarn_suite(test_page_script LOCKS)
# The page host itself, with pages of its own: no shared state.
zarn_suite(test_pagehost LOCKS)
zarn_suite(test_popup)

# Serves the update dialog's files and rewrites them; the pickers' trees live
# at the root of drive C: (see rig::selection::DriveCScratch). It reads the
# control's log lines, and viewer windows are found desktop-wide. The update
# lock's name is linked in, to leave one abandoned.
zarn_suite(test_reentry LINK zarn_update FIXTURES updateserver
    LOCKS updateserver_files zarn_state log_viewer)

# The type library's help text is stored in code page 949 and written to the
# registry as the system reads it, so the table comparison needs a Korean
# system. It unregisters and registers the module that every other suite
# creates.
zarn_suite(test_registration ENV ${ZARN_KOREAN_ENV} FIXTURES korean_locale SERIAL)

# Its keys are its own (one per process).
zarn_suite(test_registry LINK zarn_support LOCKS)

# Signed releases through the registered module: it rewrites the update
# server's product files and watches the log viewer window. A second module
# trusts two keys, the build's and a "next" one (made here, a throwaway pair
# under the build folder): the same libraries linked with another key list.
set(_next ${CMAKE_BINARY_DIR}/keys-next)
if(NOT EXISTS ${_next}/release-public.pem)
    file(MAKE_DIRECTORY ${_next})
    execute_process(COMMAND openssl ecparam -name prime256v1 -genkey -noout
                            -out ${_next}/release-private.pem RESULT_VARIABLE _failed)
    if(NOT _failed)
        execute_process(COMMAND openssl ec -in ${_next}/release-private.pem -pubout
                                -out ${_next}/release-public.pem ERROR_QUIET)
    endif()
endif()
file(READ ${ZARN_UPDATE_KEYS} _current_key)
file(READ ${_next}/release-public.pem _next_key)
file(WRITE ${_next}/both-public.pem "${_current_key}${_next_key}")
zarn_build_settings(${CMAKE_BINARY_DIR}/generated/twokeys ${ZARN_UPDATE_SERVER}
    ${_next}/both-public.pem)
zarn_module(ZarnCtrl2_twokeys ZarnCtrl2-twokeys ${CMAKE_BINARY_DIR}/generated/twokeys)
add_dependencies(ZarnCtrl2_twokeys ZarnCtrl2)
zarn_suite(test_release LINK zarn_control DEPENDS Zarn_setup ZarnCtrl2_twokeys
    ENV "ZARN_NEXT_RELEASE_KEY=${_next}/release-private.pem"
    FIXTURES updateserver LOCKS updateserver_files log_viewer zarn_state TIMEOUT 900)
# The publishing tool itself, on Linux.
add_test(NAME publish_tool COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/publish_tool_test.py)
set_tests_properties(publish_tool PROPERTIES TIMEOUT 120)
# The protocol's table: what the build makes of it, and the hand-written
# files of the host, the extension and zarn.js restating none of it.
add_test(NAME protocol_table COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/protocol_table_test.py
    ${CMAKE_SOURCE_DIR})
set_tests_properties(protocol_table PROPERTIES TIMEOUT 120)
# What the built module, host, extension and page carry, as the package step
# reads them, and its refusal of parts that disagree, on Linux.
add_test(NAME package_agreement COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/package_agreement_test.py
    ${CMAKE_BINARY_DIR})
set_tests_properties(package_agreement PROPERTIES TIMEOUT 120)
# The site table through the configure check and the package script, on Linux.
add_test(NAME site_table COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/site_table_test.py)
set_tests_properties(site_table PROPERTIES TIMEOUT 120)

# The manifest and signature parsers are linked in as product code.
zarn_suite(test_release_format LINK zarn_update)

# The fresh-install road against Debian's nginx serving a tree made by
# tools/publish. tests/nginx_road.py runs this suite while nginx holds the
# update server's port (the stand-in steps aside meanwhile; the stand-in's
# resource lock keeps every other suite off the port).
if(ZARN_UPDATESERVER_HOST)
    zarn_suite(test_release_nginx LINK zarn_control
        DEPENDS Zarn_setup Zarn_download Zarn_upload
        EMULATOR python3 ${CMAKE_CURRENT_SOURCE_DIR}/nginx_road.py --dir ${CMAKE_BINARY_DIR}/nginx
                 --host ${ZARN_UPDATESERVER_HOST} --port ${ZARN_UPDATESERVER_PORT}
                 --standin-root ${ZARN_UPDATESERVER_DIR}/webroot -- ${ZARN_WINE_RUN}
        ENV "ZARN_PUBLISH_TOOL=${CMAKE_SOURCE_DIR}/tools/publish"
        FIXTURES updateserver LOCKS updateserver_files zarn_state)
else()
    zarn_suite(test_release_nginx DISABLED)
endif()

# The update runs' folders, linked in: a folder of its own at the root of
# drive C:, with links made from Linux.
zarn_suite(test_setup_folder LINK zarn_update LOCKS)

# The icon comes from the update server stand-in; the desktop shortcut and
# zarn1.ico in its web root are shared with the other shortcut suite.
zarn_suite(test_shortcut FIXTURES updateserver LOCKS updateserver_files zarn_desktop zarn_state)
# A Korean system (see tests/fixtures/korean_locale.cmake).
zarn_suite(test_shortcut_korean ENV ${ZARN_KOREAN_ENV} FIXTURES updateserver korean_locale
    LOCKS updateserver_files zarn_desktop zarn_state)

# The address matching is linked in directly as well as exercised through the
# module; so is the bridge host's origin check, judged by the same table.
zarn_suite(test_site_lock LINK zarn_control zarn_bridge)
# Counts the update server's requests and starts the transfer stand-ins.
zarn_suite(test_site_lock_page FIXTURES updateserver LOCKS updateserver_files zarn_state)

# Reads the control's log lines: viewer windows are found desktop-wide.
zarn_suite(test_transfer LOCKS log_viewer zarn_state)
# The hand-off classes are tested directly, without the module, with
# windows of their own only.
zarn_suite(test_transfer_handoff LINK zarn_launch LOCKS)
# The setting of the send limit is read by the hand-off's own code as well.
# It writes the limit into the settings key the other transfer suites read.
zarn_suite(test_transfer_hang LINK zarn_launch LOCKS zarn_settings zarn_state)
# A Korean system: Wine takes code page 949 from the locale. Reads the
# control's log lines: viewer windows are found desktop-wide.
zarn_suite(test_transfer_korean ENV LC_ALL=ko_KR.UTF-8 LOCKS log_viewer zarn_state)
# Talks to the update server stand-in and rewrites its product files.
zarn_suite(test_transfer_road FIXTURES updateserver LOCKS updateserver_files zarn_state)

# The update dialog and the gate are linked in as product code; the dialog's
# template comes from the built module. The fixed product files on the
# server and the log viewer window are shared.
zarn_suite(test_update LINK zarn_control DEPENDS Zarn_setup
    FIXTURES updateserver LOCKS updateserver_files log_viewer zarn_state TIMEOUT 900)

# The walk on its own (a seam, with a recording sink) and through the page
# host on a hostile tree that a fixture builds on the host side, in the
# prefix's drive C: where the folder browser can select it.
add_test(NAME walk_hostile_tree COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/test_walk_tree.sh
    ${CMAKE_BINARY_DIR}/wineprefix/drive_c/zarn-hostile)
set_tests_properties(walk_hostile_tree PROPERTIES FIXTURES_SETUP walk_hostile_tree
    FIXTURES_REQUIRED module_registered)
zarn_suite(test_walk LINK zarn_select zarn_interface_ids FIXTURES walk_hostile_tree)

zarn_suite(test_zarn_js LOCKS)

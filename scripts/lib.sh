# Shared set-up of the scripts: sourced (never run) by scripts/test,
# scripts/demo, scripts/demo-setup, scripts/bench, scripts/package and
# scripts/wine-run (the wrapper CTest starts every Windows test program with).
# It installs what they need, builds a tree, and sets up Wine and the display.

ZARN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Wine's two loaders. Once wine32 is installed, /usr/bin/wine is the 32-bit
# one and starts built-in programs named bare (reg, regsvr32, cscript) as
# 32-bit programs, in the 32-bit registry view. zarn_wine_env sets ZARN_WINE
# to the loader of the build's architecture; prefixes are made by the 64-bit
# one, so that every prefix is a win64 one with a syswow64 folder.
ZARN_WINE64=/usr/lib/wine/wine64
ZARN_WINE32=/usr/lib/wine/wine
ZARN_WINE=$ZARN_WINE64
ZARN_WINESERVER=/usr/lib/wine/wineserver
# The architectures scripts/test, scripts/bench and scripts/demo --arch know.
ZARN_ARCHES="x86_64 i686"

# Debian packages the build, the Wine rig and the demo need. wine32 comes
# from the i386 architecture, which zarn_install_deps adds. openbox is the
# window manager on the virtual display (see zarn_need_display); x11-utils
# gives xprop to see that it runs.
ZARN_PACKAGES="cmake ninja-build python3 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools binutils-mingw-w64 libwine-dev wine64 wine wine32:i386 xvfb xauth
  googletest fonts-nanum locales openbox x11-utils openssl nginx-light
  rapidjson-dev"
# The browser suites: the system's browsers, driven by Node.js (see
# ZARN_NPM below).
ZARN_PACKAGES="$ZARN_PACKAGES chromium firefox-esr nodejs"
# Firefox in Korean (its language pack; Chromium carries the extension's
# languages itself).
ZARN_PACKAGES="$ZARN_PACKAGES firefox-esr-l10n-ko"
# Debian's npm package, installed only when no npm command is there: a
# Node.js that carries its own npm conflicts with it.
ZARN_NPM=npm

zarn_install_deps() {
    local missing=()
    command -v npm >/dev/null 2>&1 || missing+=("$ZARN_NPM")
    local browser_version
    browser_version=$(dpkg-query -W -f='${Version}' firefox-esr 2>/dev/null || true)
    for p in $ZARN_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
        # A language pack is made for one version of its browser: one of a
        # newer version would upgrade the browser under running suites.
        case "$p" in
        firefox-esr-l10n-*) [ -n "$browser_version" ] && p="$p=$browser_version" ;;
        esac
        missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    case " ${missing[*]} " in
    *:i386*)
        dpkg --print-foreign-architectures | grep -qx i386 ||
            $sudo dpkg --add-architecture i386 ;;
    esac
    # A package index that fails to download (a mirror in the middle of a
    # sync says "File has unexpected size") leaves apt with the lists it
    # has: every package may still install, so only the install decides.
    local update_log
    update_log=$(mktemp)
    local update_failed=""
    $sudo apt-get update -q </dev/null >"$update_log" 2>&1 || update_failed=1
    cat "$update_log"
    grep -q -E '^(E: |Err:)' "$update_log" && update_failed=1
    if [ -n "$update_failed" ]; then
        echo "== warning: apt-get update could not read every package index; going on with the" \
            "lists apt has:" >&2
        grep -E '^(Err:|E: Failed to fetch)' "$update_log" | sed 's/^/     /' >&2 || true
    fi
    if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null; then
        rm -f "$update_log"
        zarn_explain_install_failure
        return 1
    fi
    rm -f "$update_log"
}

# What to do when the install failed after an index could not be read. Where
# one architecture's index of an archive is missing (often the security
# archive's i386 one), its i386 packages can no longer match the versions of
# their amd64 twins, which a multi-architecture package such as wine32:i386
# needs exactly.
zarn_explain_install_failure() {
    cat >&2 <<'EOT'
== the packages above could not be installed.
   If apt-get update reported an index it could not fetch, apt went on with
   the lists it had. Where that index is one architecture's (i386) of an
   archive, the i386 packages no longer match the versions of their amd64
   twins, and wine32:i386 cannot install ("unmet dependencies"). Either run
   this again once the mirror has finished its sync, or install from the
   older versions of that archive for this once: an apt preferences entry
   such as /etc/apt/preferences.d/zarn-pin holding
       Package: *
       Pin: release l=Debian-Security
       Pin-Priority: 100
   (for the security archive; name the archive whose index failed), then run
   this command again, and remove the entry afterwards so that security
   updates install as before.
EOT
}

# The throwaway release signing pair of the tests, the demo and the
# benchmarks. A real deployment makes its own (tools/publish keygen) and keeps
# the private key off the update server.
ZARN_KEYS="$ZARN_ROOT/build/keys"
zarn_release_keys() {
    [ -f "$ZARN_KEYS/release-private.pem" ] && [ -f "$ZARN_KEYS/release-public.pem" ] && return 0
    mkdir -p "$ZARN_KEYS"
    ( umask 077 && openssl ecparam -name prime256v1 -genkey -noout \
        -out "$ZARN_KEYS/release-private.pem" )
    openssl ec -in "$ZARN_KEYS/release-private.pem" -pubout \
        -out "$ZARN_KEYS/release-public.pem" 2>/dev/null
}

# The throwaway key of the browser extension (it fixes the extension's ID).
# The build finds it beside the release keys.
zarn_extension_key() {
    [ -f "$ZARN_KEYS/extension-private.pem" ] && return 0
    mkdir -p "$ZARN_KEYS"
    ( umask 077 && openssl genrsa -out "$ZARN_KEYS/extension-private.pem" 2048 2>/dev/null )
}

# zarn_arch_option ARGS...: reads "--arch ARCH" (or --arch=ARCH) from the
# arguments. Sets ZARN_SELECTED_ARCHES (default: DEFAULT, or all of
# ZARN_ARCHES when DEFAULT is empty) and ZARN_REST_ARGS (the other arguments).
zarn_arch_option() {
    local default=$1; shift
    ZARN_SELECTED_ARCHES=${default:-$ZARN_ARCHES}
    ZARN_REST_ARGS=()
    while [ $# -gt 0 ]; do
        case "$1" in
        --arch) ZARN_SELECTED_ARCHES=$2; shift 2 ;;
        --arch=*) ZARN_SELECTED_ARCHES=${1#--arch=}; shift ;;
        *) ZARN_REST_ARGS+=("$1"); shift ;;
        esac
    done
    ZARN_SELECTED_ARCHES=${ZARN_SELECTED_ARCHES//,/ }
    local a
    for a in $ZARN_SELECTED_ARCHES; do
        case " $ZARN_ARCHES " in
        *" $a "*) ;;
        *) echo "unknown architecture '$a' (known: $ZARN_ARCHES)" >&2; return 2 ;;
        esac
    done
}

# zarn_build ARCH [extra cmake args...]: configure and build build/ARCH (or
# the tree ZARN_BUILD_TREE names: scripts/package builds trees of its own).
# ZARN_BUILD_NICE runs the compilers at that lower priority (scripts/test
# builds the second architecture while the first one's suites run).
# ZARN_BUILD_TARGETS, when set, builds only those targets (scripts/demo
# needs the module, the page host and the stand-ins, not the suites;
# scripts/package the module and the bridge host).
zarn_build() {
    local arch=$1; shift
    local dir="${ZARN_BUILD_TREE:-$ZARN_ROOT/build/$arch}"
    zarn_release_keys
    zarn_extension_key
    cmake -S "$ZARN_ROOT" -B "$dir" -G Ninja \
        -DZARN_EXTENSION_KEY="$ZARN_KEYS/extension-private.pem" \
        -DCMAKE_TOOLCHAIN_FILE="$ZARN_ROOT/cmake/toolchain-$arch.cmake" \
        -DZARN_UPDATE_KEYS="$ZARN_KEYS/release-public.pem" \
        -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    local targets=()
    [ -z "${ZARN_BUILD_TARGETS:-}" ] || targets=(--target $ZARN_BUILD_TARGETS)
    nice -n "${ZARN_BUILD_NICE:-0}" cmake --build "$dir" "${targets[@]}"
}

# zarn_wine_env BUILD_DIR [PREFIX_NAME]: export the Wine environment of the rig.
# The user's home is redirected under the build folder: Wine links the
# prefix user's shell folders into $HOME, and shortcuts made by tests must
# not leak into the real home folder. The Desktop gets a folder of its own
# there (Wine links it to $HOME/Desktop when that exists, else to $HOME
# itself): what Linux programs keep in the home (npm's cache, the browsers'
# profiles) must not show up on the desktop the control puts its shortcut on,
# where a suite compares the desktop before and after.
#
# ZARN_ARCH is the build's architecture (from its CMake cache, else the
# folder's name); ZARN_WINE its loader; ZARN_SYSTEM_DIR the Windows folder
# of its system programs (system32, or syswow64 for 32-bit programs).
zarn_wine_env() {
    local dir=$1 name=${2:-wineprefix}
    ZARN_ARCH=$(sed -n 's/^ZARN_ARCH:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
    [ -n "$ZARN_ARCH" ] || ZARN_ARCH=$(basename "$dir")
    if [ "$ZARN_ARCH" = i686 ]; then
        ZARN_WINE=$ZARN_WINE32
        ZARN_SYSTEM_DIR='C:\windows\syswow64'
    else
        ZARN_WINE=$ZARN_WINE64
        ZARN_SYSTEM_DIR='C:\windows\system32'
    fi
    export ZARN_ARCH ZARN_WINE ZARN_SYSTEM_DIR
    export WINEPREFIX="$dir/$name"
    export WINEARCH=win64
    export WINEDEBUG=${ZARN_WINEDEBUG:--all}
    export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
    export HOME="$dir/home"
    mkdir -p "$HOME/Desktop"
}

# zarn_fresh_prefix: create the prefix named by WINEPREFIX from scratch.
zarn_fresh_prefix() {
    "$ZARN_WINESERVER" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    "$ZARN_WINE64" wineboot -i >/dev/null 2>&1
    "$ZARN_WINESERVER" -w
    [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] ||
        { echo "Wine made $WINEPREFIX without syswow64: is wine32:i386 installed?" >&2; return 1; }
}

# zarn_prefix_up: keeps the prefix's Wine server and its system processes
# (services, explorer, rpcss, ...) running until `wineserver -k`. Otherwise
# the first program of a test starts them, they inherit its output, and CTest
# waits for that output to close until the prefix goes idle: with suites run
# in parallel, never before the end of the run.
zarn_prefix_up() {
    "$ZARN_WINESERVER" -p </dev/null >/dev/null 2>&1
    "$ZARN_WINE64" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

# zarn_need_prefix: create the prefix named by WINEPREFIX unless it exists.
# A prefix made before 32-bit Wine was installed has no syswow64 folder and
# stops working once it is (every program fails to load kernel32.dll): it is
# made again.
zarn_need_prefix() {
    [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] || zarn_fresh_prefix
}

# Run the caller again under a virtual X display when there is none:
# Wine cannot create windows without one. The display gets a window manager
# when it has none: without one, Wine waits two seconds for it each time it
# hides a window it manages (every dialog that ends), and Wine on a desktop
# always has one. ZARN_WINDOW_MANAGER=none leaves a bare display bare.
zarn_need_display() {
    if [ -z "${DISPLAY:-}" ]; then
        exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
    fi
    zarn_need_window_manager
}

zarn_window_manager_running() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"
}

zarn_need_window_manager() {
    [ "${ZARN_WINDOW_MANAGER:-}" = none ] && return 0
    zarn_window_manager_running && return 0
    # It ends with the display (xvfb-run's server).
    openbox --sm-disable >/dev/null 2>&1 </dev/null &
    local i
    for i in $(seq 100); do
        zarn_window_manager_running && return 0
        sleep 0.1
    done
    echo "(no window manager on $DISPLAY: Wine will wait for one on every hidden window)" >&2
}

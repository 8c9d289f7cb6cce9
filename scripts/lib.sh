# Shared set-up for scripts/test and scripts/demo. Source it; do not run it.

ZARN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZARN_WINE=/usr/lib/wine/wine64
ZARN_WINESERVER=/usr/lib/wine/wineserver

# Debian packages the build, the Wine rig and the demo need.
ZARN_PACKAGES="cmake ninja-build python3 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools binutils-mingw-w64 libwine-dev wine64 wine xvfb xauth googletest
  fonts-nanum locales openssl nginx-light"

zarn_install_deps() {
    local missing=()
    for p in $ZARN_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q </dev/null
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
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

# zarn_build ARCH [extra cmake args...]: configure and build build/ARCH.
zarn_build() {
    local arch=$1; shift
    local dir="$ZARN_ROOT/build/$arch"
    zarn_release_keys
    cmake -S "$ZARN_ROOT" -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ZARN_ROOT/cmake/toolchain-$arch.cmake" \
        -DZARN_UPDATE_KEYS="$ZARN_KEYS/release-public.pem" \
        -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$dir"
}

# zarn_wine_env BUILD_DIR [PREFIX_NAME]: export the Wine environment of the rig.
# The user's home is redirected under the build folder: Wine links the
# prefix user's Desktop and Documents to $HOME, and shortcuts made by tests
# must not leak into the real home folder.
zarn_wine_env() {
    local dir=$1 name=${2:-wineprefix}
    export WINEPREFIX="$dir/$name"
    export WINEARCH=win64
    export WINEDEBUG=${ZARN_WINEDEBUG:--all}
    export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
    export HOME="$dir/home"
    mkdir -p "$HOME"
}

# zarn_fresh_prefix: create the prefix named by WINEPREFIX from scratch.
zarn_fresh_prefix() {
    "$ZARN_WINESERVER" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    "$ZARN_WINE" wineboot -i >/dev/null 2>&1
    "$ZARN_WINESERVER" -w
}

# Run the caller again under a virtual X display when there is none:
# Wine cannot create windows without one.
zarn_need_display() {
    if [ -z "${DISPLAY:-}" ]; then
        exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
    fi
}

# shellcheck shell=bash
# The core cross-built for 64-bit Windows with MinGW-w64 and tested under Wine;
# sourced by ./dev, which provides ROOT, VENV and setup.
#
#   windows_tests [DOCTEST ARGS]   build the core and its test program for Windows,
#                                  write the reference images with the Linux module,
#                                  and run the program under Wine

WIN_BUILD=$ROOT/build/windows
WIN_PREFIX=$WIN_BUILD/wineprefix   # kept between runs: the first start of Wine is slow

need_windows_tools() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64-posix)
    command -v wine >/dev/null 2>&1 || missing+=(wine)
    [[ -x /usr/lib/wine/wine64 ]] || missing+=(wine64)
    [[ -f /usr/include/doctest/doctest.h ]] || missing+=(doctest-dev)
    ((${#missing[@]})) || return 0
    echo "installing ${missing[*]}" >&2
    local sudo=()
    [[ $(id -u) -ne 0 ]] && sudo=(sudo)
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -q \
        --no-install-recommends "${missing[@]}"
}

# cmake: the one on PATH, else from the venv (pip).
win_cmake() {
    if command -v cmake >/dev/null 2>&1; then
        cmake "$@"
    else
        [[ -x $VENV/bin/cmake ]] || "$VENV/bin/python" -m pip install -q "cmake>=3.15"
        "$VENV/bin/cmake" "$@"
    fi
}

# The Windows name of a Linux path, through Wine's drive Z: (the root).
windows_name() {
    local p
    p=$(realpath -m "$1")
    echo "Z:${p//\//\\}"
}

# Runs a Windows program in this build's own Wine prefix. Mono and Gecko are
# never offered for download; drive D: is a folder of the build.
in_wine() {
    WINEPREFIX=$WIN_PREFIX WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all "$@"
}

windows_tests() {
    need_windows_tools
    setup
    echo "== core for Windows, under Wine ==" >&2
    "$VENV/bin/python" "$ROOT/scripts/write_render_refs.py" "$WIN_BUILD/ref"

    PATH=$VENV/bin:$PATH win_cmake -S "$ROOT" -B "$WIN_BUILD/cmake" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_MODULE=OFF -DORV_BUILD_WINDOWS_TESTS=ON >/dev/null
    PATH=$VENV/bin:$PATH win_cmake --build "$WIN_BUILD/cmake" --target orv_windows_tests

    if [[ ! -f $WIN_PREFIX/system.reg ]]; then
        echo "creating the Wine prefix $WIN_PREFIX (once)" >&2
        mkdir -p "$WIN_PREFIX"
        # Its log (a 64-bit prefix lacks the 32-bit helpers, which Wine mentions) is kept.
        if ! in_wine wine wineboot --init >"$WIN_BUILD/wineboot.log" 2>&1; then
            cat "$WIN_BUILD/wineboot.log" >&2
            rm -rf "$WIN_PREFIX"
            return 1
        fi
        in_wine wineserver -w
    fi
    mkdir -p "$WIN_BUILD/drive_d"
    ln -sfn "$WIN_BUILD/drive_d" "$WIN_PREFIX/dosdevices/d:"
    local scratch=$WIN_PREFIX/drive_c/orvtest other=$WIN_BUILD/drive_d/orvtest
    rm -rf "$scratch" "$other"
    mkdir -p "$scratch" "$other"

    local rc=0
    ORV_EXAMPLES=$(windows_name "$ROOT/examples") ORV_REFS=$(windows_name "$WIN_BUILD/ref") \
        ORV_SCRATCH='C:\orvtest' ORV_OTHER='D:\orvtest' \
        in_wine wine "$WIN_BUILD/cmake/orv_windows_tests.exe" "$@" || rc=$?
    in_wine wineserver -w
    return $rc
}

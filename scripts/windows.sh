# shellcheck shell=bash
# The core cross-built for 64-bit Windows with MinGW-w64 and tested under Wine;
# sourced by ./dev, which provides ROOT, VENV and setup.
#
#   windows_tests [DOCTEST ARGS]   build the core and its test program for Windows,
#                                  write the reference images with the Linux module,
#                                  and run the program under Wine
#   boot_wine_prefix PREFIX LOG    a new 64-bit Wine prefix at PREFIX, Wine's output in LOG;
#                                  a failed boot is shown and tried once more

WIN_BUILD=$ROOT/build/windows
WIN_PREFIX=$WIN_BUILD/wineprefix   # kept between runs: the first start of Wine is slow
# The loader of a 64-bit prefix, named: Debian's `wine` runs the 32-bit loader
# instead whenever wine32 is installed, and this one only otherwise.
WIN_LOADER=/usr/lib/wine/wine64
# Written into a prefix once its boot is complete: a prefix without it (a boot
# that failed or was interrupted) is booted anew.
WIN_BOOTED=.orv-booted

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

# wine_env PREFIX COMMAND...: runs COMMAND with Wine set to the 64-bit prefix
# PREFIX. Mono and Gecko are never offered for download.
wine_env() {
    local prefix=$1
    shift
    WINEPREFIX=$prefix WINEARCH=win64 WINELOADER=$WIN_LOADER WINEDLLOVERRIDES="mscoree,mshtml=" \
        WINEDEBUG=-all "$@"
}

# Runs a command in this build's own Wine prefix; drive D: is a folder of the build.
in_wine() {
    wine_env "$WIN_PREFIX" "$@"
}

# stop_wineserver PREFIX: waits for the wineserver of PREFIX to end, which saves
# the prefix's registry, and kills it (and every Wine process of the prefix)
# when it has not ended within two minutes. A prefix must not be removed or
# booted again while its wineserver runs: a wineserver whose prefix is removed
# under it fails to save its registry, and the processes still starting or
# stopping in it race the new boot.
stop_wineserver() {
    local prefix=$1
    [[ -d $prefix ]] || return 0
    wine_env "$prefix" timeout 120 wineserver -w && return 0
    kill_wineserver "$prefix"
}

# kill_wineserver PREFIX: ends the wineserver of PREFIX and its processes now,
# and waits until it has.
kill_wineserver() {
    local prefix=$1
    [[ -d $prefix ]] || return 0
    wine_env "$prefix" wineserver -k 2>/dev/null || true
    wine_env "$prefix" wineserver -w
}

# boot_wine_prefix_once PREFIX LOG: removes what is at PREFIX (once its
# wineserver has ended) and boots a new prefix there, Wine's output (and its
# wineserver's, up to its end) in LOG. It succeeded when wineboot did, its
# wineserver ended by itself and the prefix holds its registry and its system
# DLLs; a failed boot's wineserver is killed, its prefix left for a look.
boot_wine_prefix_once() {
    local prefix=$1 log=$2 rc=0
    stop_wineserver "$prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix"
    wine_env "$prefix" "$WIN_LOADER" wineboot --init >"$log" 2>&1 || rc=$?
    if ((rc != 0)); then
        echo "wineboot --init exited with $rc" >>"$log"
    elif ! wine_env "$prefix" timeout 120 wineserver -w; then
        echo "the wineserver did not end within two minutes of wineboot" >>"$log"
    elif [[ ! -f $prefix/system.reg || ! -f $prefix/drive_c/windows/system32/kernel32.dll ]]; then
        echo "the prefix lacks its registry or its system DLLs after wineboot" >>"$log"
    else
        touch "$prefix/$WIN_BOOTED"
        return 0
    fi
    kill_wineserver "$prefix"
    return 1
}

# boot_wine_prefix PREFIX LOG: boot_wine_prefix_once, tried a second time after
# a failure. Each failed boot's log is shown on stderr and kept (the first
# failure's as LOG.first); LOG says when it is the second boot's.
# WINE_BOOT_ATTEMPTS tells the caller how many boots it took (1 or 2).
# shellcheck disable=SC2034  # read by scripts/wine_boots.sh
boot_wine_prefix() {
    local prefix=$1 log=$2
    WINE_BOOT_ATTEMPTS=1
    boot_wine_prefix_once "$prefix" "$log" && return 0
    echo "booting the Wine prefix $prefix failed; its log ($log.first):" >&2
    sed 's/^/    /' "$log" >&2
    mv "$log" "$log.first"
    echo "booting it once more, in a new prefix" >&2
    WINE_BOOT_ATTEMPTS=2
    if boot_wine_prefix_once "$prefix" "$log"; then
        { echo "(second boot: the first failed, its log is $log.first)" && cat "$log"; } >"$log.new"
        mv "$log.new" "$log"
        echo "the second boot of the Wine prefix succeeded" >&2
        return 0
    fi
    echo "the second boot failed too; its log ($log):" >&2
    sed 's/^/    /' "$log" >&2
    return 1
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

    if [[ ! -f $WIN_PREFIX/$WIN_BOOTED ]]; then
        echo "creating the Wine prefix $WIN_PREFIX (once)" >&2
        # Its log (a 64-bit prefix lacks the 32-bit helpers, which Wine mentions) is kept.
        boot_wine_prefix "$WIN_PREFIX" "$WIN_BUILD/wineboot.log" || return 1
    fi
    mkdir -p "$WIN_BUILD/drive_d"
    ln -sfn "$WIN_BUILD/drive_d" "$WIN_PREFIX/dosdevices/d:"
    local scratch=$WIN_PREFIX/drive_c/orvtest other=$WIN_BUILD/drive_d/orvtest
    rm -rf "$scratch" "$other"
    mkdir -p "$scratch" "$other"

    local rc=0
    ORV_EXAMPLES=$(windows_name "$ROOT/examples") ORV_REFS=$(windows_name "$WIN_BUILD/ref") \
        ORV_SCRATCH='C:\orvtest' ORV_OTHER='D:\orvtest' \
        in_wine "$WIN_LOADER" "$WIN_BUILD/cmake/orv_windows_tests.exe" "$@" || rc=$?
    in_wine wineserver -w
    return $rc
}

#!/bin/bash
# The lab: the Windows programs under Wine on a private LAN with the
# simulated device, in namespaces that this script creates.  It runs one
# command inside and ends everything it started.
#
#   tools/lab/lab.sh [--own-display] COMMAND [ARGS...]
#
#   tests/e2e/run.sh runs pytest on tests/e2e here; scripts/run runs the
#   main job (tools/lab/jobs.py); the Wine benchmarks run here too.
#
# Outside the namespaces it checks the prerequisites, builds the UI driver if
# the Windows build did not, takes the lab lock and re-executes itself under
# `unshare` (network, UTS, mount and PID namespaces). Inside, it builds the
# isolated network (netns.py), starts Xvfb on a private display (or, with
# --own-display, uses the person's $DISPLAY), prepares the Wine prefix kept
# in the build tree and runs the command with tools/lab and tools on
# PYTHONPATH.
# Whatever happens, the Wine server and Xvfb are stopped and the device
# namespace removed; and since everything runs in a PID namespace whose
# first process is this script, nothing outlives the run even if the script
# itself is killed.
#
# Environment (all optional):
#   QVR_BUILD_DIR     build tree (default: <repo>/build)
#   QVR_E2E_BIN       folder of the programs (default: <build>/win64/bin)
#   QVR_E2E_DRIVER    uidriver.exe to use (default: <bin>/uidriver.exe, else built here)
#   QVR_LAB_TIMEOUT   bound of the command in seconds (default: 3600)
#
# Exit code: the command's; 2 when a prerequisite is missing.

set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
OWN_DISPLAY=0
if [ "${1:-}" = "--own-display" ]; then
    OWN_DISPLAY=1
    shift
fi
[ $# -gt 0 ] || { echo "usage: tools/lab/lab.sh [--own-display] COMMAND [ARGS...]" >&2; exit 2; }
BUILD=${QVR_BUILD_DIR:-$ROOT/build}
BIN=${QVR_E2E_BIN:-$BUILD/win64/bin}
SCREEN_SIZE=1024x768
DISPLAY_NUMBER=77

fail() {
    echo "lab: $*" >&2
    exit 2
}

outside() {
    [ "$(id -u)" = 0 ] || fail "needs root (it creates network namespaces)"
    local cmd
    for cmd in unshare ip mount hostname timeout flock wine wineboot wineserver Xvfb; do
        command -v "$cmd" >/dev/null 2>&1 || fail "missing command: $cmd"
    done
    if ((OWN_DISPLAY)); then
        [ -n "${DISPLAY:-}" ] || fail "--own-display: no display (\$DISPLAY is not set)"
    fi

    local exe
    for exe in recovery-upgrader.exe staged-upgrader.exe; do
        [ -f "$BIN/$exe" ] || fail "$BIN/$exe not found: build the Windows programs first"
    done

    # The UI driver: the one the Windows build made, unless it is missing or
    # older than its source; then a build of its own next to the build tree.
    local driver=${QVR_E2E_DRIVER:-}
    local source=$ROOT/tools/uidriver/uidriver.cpp
    if [ -z "$driver" ]; then
        if [ -f "$BIN/uidriver.exe" ] && [ ! "$BIN/uidriver.exe" -ot "$source" ]; then
            driver=$BIN/uidriver.exe
        else
            command -v cmake >/dev/null 2>&1 || fail "missing command: cmake (to build the UI driver)"
            cmake -S "$ROOT/tools/uidriver" -B "$BUILD/uidriver" \
                -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
                -DCMAKE_BUILD_TYPE=Release >"$BUILD/uidriver-build.log" 2>&1 &&
                cmake --build "$BUILD/uidriver" >>"$BUILD/uidriver-build.log" 2>&1 ||
                fail "could not build the UI driver (see $BUILD/uidriver-build.log)"
            driver=$BUILD/uidriver/uidriver.exe
        fi
    fi
    [ -f "$driver" ] || fail "UI driver $driver not found"

    # One lab at a time on the machine: the device namespace has a fixed
    # name, and the Wine prefix and the screenshot folder are shared. The
    # lock is held by the inherited descriptor.
    mkdir -p "$BUILD"
    exec 9>"${TMPDIR:-/tmp}/qvr-lab.lock"
    flock -w 1800 9 || fail "another lab run holds ${TMPDIR:-/tmp}/qvr-lab.lock"

    export QVR_E2E_INSIDE=1 QVR_E2E_DRIVER=$driver QVR_BUILD_DIR=$BUILD QVR_E2E_BIN=$BIN
    local own=()
    ((OWN_DISPLAY)) && own=(--own-display)
    exec unshare --net --uts --mount --pid --fork --kill-child --mount-proc \
        -- /bin/bash "$ROOT/tools/lab/lab.sh" "${own[@]}" "$@"
}

XVFB_PID=
RUN_DIR=$BUILD/e2e-run

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -n "${WINEPREFIX:-}" ]; then
        timeout 20 wineserver -k >/dev/null 2>&1
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    /usr/bin/python3 "$ROOT/tools/lab/netns.py" teardown >/dev/null 2>&1
    exit "$rc"
}

private_wine_server_folder() {
    # A private copy of Wine's server folder: this run's wineserver can
    # neither meet nor disturb others.
    mkdir -p "/tmp/.wine-$(id -u)"
    mount -t tmpfs -o mode=0700 qvr-e2e-wine "/tmp/.wine-$(id -u)" || fail "cannot mount /tmp/.wine-$(id -u)"
}

start_xvfb() {
    # A private copy of the X socket folder too: this run's Xvfb and others
    # cannot meet.
    mkdir -p /tmp/.X11-unix
    mount -t tmpfs -o mode=1777 qvr-e2e-x11 /tmp/.X11-unix || fail "cannot mount /tmp/.X11-unix"

    Xvfb ":$DISPLAY_NUMBER" -screen 0 "${SCREEN_SIZE}x24" -nolisten tcp -nolock \
        >"$RUN_DIR/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
        [ -S "/tmp/.X11-unix/X$DISPLAY_NUMBER" ] && return 0
        kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb did not start (see $RUN_DIR/xvfb.log)"
        sleep 0.1
    done
    fail "Xvfb did not open its socket"
}

prepare_prefix() {
    # Created once and kept in the build tree. The stamp marks our settings
    # as applied; a prefix without it (new, or set up by something else, or
    # interrupted) gets them again.
    # The stamp's number goes up whenever the settings below change.
    local stamp=$WINEPREFIX/.qvr-e2e-ready-2
    [ -f "$stamp" ] && return 0
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "e2e: creating Wine prefix $WINEPREFIX" >&2
        timeout 300 wineboot -i >"$RUN_DIR/wineboot.log" 2>&1 ||
            fail "wineboot failed (see $RUN_DIR/wineboot.log)"
    fi
    # Wine draws the window frames itself (there is no window manager), so
    # titles show in screenshots and window rectangles match what is drawn;
    # a crashing program ends instead of waiting in a crash dialog.  The
    # windows are not left to a window manager either: for a managed window
    # Wine waits up to 2 s for the manager to confirm each hide, which here
    # never comes, so every closed dialog held its thread (and any thread
    # that sent it a message, such as the TFTP listener opening its dialog)
    # for 2 s.
    cat >"$RUN_DIR/prefix.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
EOF
    timeout 120 wine regedit /S "$RUN_DIR/prefix.reg" >>"$RUN_DIR/wineboot.log" 2>&1 ||
        fail "could not set up the Wine prefix (see $RUN_DIR/wineboot.log)"
    timeout 60 wineserver -w
    touch "$stamp"
}

inside() {
    trap cleanup EXIT
    trap 'exit 130' INT TERM

    rm -rf "$RUN_DIR"
    mkdir -p "$RUN_DIR"
    export QVR_E2E_RUN_DIR=$RUN_DIR
    /usr/bin/python3 "$ROOT/tools/lab/netns.py" setup "$RUN_DIR" || fail "network set-up failed"

    private_wine_server_folder
    # With the person's own display, X's socket folder stays as it is.
    if ((! OWN_DISPLAY)); then
        start_xvfb
        export DISPLAY=":$DISPLAY_NUMBER"
    fi
    export WINEPREFIX=$BUILD/wineprefix
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree=;mshtml="
    export WINEARCH=win64
    prepare_prefix

    export QVR_E2E_ROOT=$ROOT
    export QVR_E2E_SCREEN=$SCREEN_SIZE
    export QVR_E2E_SCREENSHOTS=$BUILD/e2e-screenshots
    export PYTHONDONTWRITEBYTECODE=1
    export PYTHONPATH=$ROOT/tools/lab:$ROOT/tools${PYTHONPATH:+:$PYTHONPATH}
    rm -rf "$QVR_E2E_SCREENSHOTS"
    mkdir -p "$QVR_E2E_SCREENSHOTS"

    cd "$ROOT" || exit 2
    timeout -k 10 "${QVR_LAB_TIMEOUT:-3600}" "$@"
    local rc=$?
    [ "$rc" = 124 ] && echo "lab: the command took longer than ${QVR_LAB_TIMEOUT:-3600} s and was stopped" >&2
    exit "$rc"
}

if [ "${QVR_E2E_INSIDE:-}" = 1 ] && [ "$$" = 1 ]; then
    inside "$@"
else
    outside "$@"
fi

# Sourced by the run and test scripts: a 32-bit Wine prefix inside a build
# tree, a persistent wineserver, and an X display (Xvfb unless the caller asks
# for the user's own display and one is there).
#   . tools/wine-session.sh BUILD_DIR [user-display]
# Everything started here is stopped again when the calling script exits; a
# caller with more to stop defines wine_session_before_stop.

wine_session_build=$(cd "$1" && pwd)
export WINEPREFIX="$wine_session_build/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all

wine_session_xvfb=""
wine_session_stop() {
    if declare -F wine_session_before_stop >/dev/null; then wine_session_before_stop; fi
    wineserver -k 2>/dev/null || true
    [ -n "$wine_session_xvfb" ] && kill "$wine_session_xvfb" 2>/dev/null || true
}
trap wine_session_stop EXIT
trap 'exit 130' INT TERM

if [ "${2:-}" != "user-display" ] || [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    number=90
    while [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ]; do number=$((number + 1)); done
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    wine_session_xvfb=$!
    export DISPLAY=":$number"
    for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi

# A persistent server saves about two seconds per Wine process. The server
# needs the prefix folder; wineboot fills it on the first run.
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
wineboot </dev/null >/dev/null 2>&1
if [ ! -e "$WINEPREFIX/webprint-desktop" ]; then
    # One virtual desktop, so the window and the tray icon share it and other
    # Win32 programs can find them; Wine then draws the window frames too.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
    # Windows-like fonts: Debian's Wine does not take them from its data folder.
    cp /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    touch "$WINEPREFIX/webprint-desktop"
    # The desktop settings take effect with a new server.
    wineserver -k 2>/dev/null || true
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wineboot </dev/null >/dev/null 2>&1
fi

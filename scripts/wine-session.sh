# Sourced by the scripts that run Windows programs under Wine. A session is a
# throw-away Wine prefix and a private Xvfb, both in a folder of the caller's:
#   wine_session_start FOLDER  exports WINEPREFIX, DISPLAY and the rest, boots
#                              the prefix; on failure returns 1 with the reason
#                              in $wine_session_problem
#   wine_session_stop FOLDER   ends the prefix's processes and the Xvfb; safe
#                              to call from a trap, started or not
# It sets $wine and $wineserver; $wine is empty where Wine is not installed.
wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null || true)
wineserver="$(dirname "${wine:-/usr/bin/wine}")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver
wine_session_xvfb=
wine_session_problem=

wine_session_start() { # FOLDER
    local folder=$1 number
    [ -n "$wine" ] || { wine_session_problem="Wine is not installed (Debian package wine64)"; return 1; }
    command -v Xvfb >/dev/null || { wine_session_problem="Xvfb is not installed (Debian package xvfb)"; return 1; }
    # No Mono or Gecko installers: nothing here needs them, and they would be fetched.
    export WINEPREFIX="$folder/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
    mkfifo "$folder/display" # Xvfb picks a free display and writes its number once it takes clients
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$folder/display" 2>"$folder/xvfb.log" &
    wine_session_xvfb=$!
    if ! read -r -t 30 number <"$folder/display"; then
        wine_session_problem="Xvfb did not start: $(tail -n 3 "$folder/xvfb.log")"
        return 1
    fi
    export DISPLAY=":$number"
    if ! timeout 300 "$wine" wineboot --init >"$folder/boot.log" 2>&1; then
        wine_session_problem="Wine cannot start here: $(tail -n 5 "$folder/boot.log")"
        return 1
    fi
}

wine_session_stop() { # FOLDER
    WINEPREFIX="$1/prefix" "$wineserver" -k 2>/dev/null || true
    [ -z "$wine_session_xvfb" ] || kill "$wine_session_xvfb" 2>/dev/null || true
}

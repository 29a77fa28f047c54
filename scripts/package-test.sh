#!/usr/bin/env bash
# The Debian package as a user meets it. Builds the package (scripts/package.sh)
# and checks it with lintian, desktop-file-validate and appstreamcli; installs it
# with apt-get; starts /usr/bin/vanterel as a new unprivileged user on a private
# Xvfb and checks that it listens on port 80, serves the sample panel from that
# user's data folder and writes the user's keys.dat on SIGTERM; then purges the
# package and checks that the user's files are still there.
#
# Needs root: it installs a package and adds a user. Whatever it starts, adds or
# installs is stopped, removed or purged again, also when a check fails or the
# run is interrupted; only the Debian packages it installs stay.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "package-test: SKIPPED: needs root to install the package and add a test user (sudo $0)"
    exit 0
fi

step() { echo "== $*"; }
fail() {
    echo "package-test: FAILED: $*" >&2
    exit 1
}

# Nothing of the machine's own is replaced or removed: stop before starting.
if dpkg-query -W -f='${Status}' vanterel 2>/dev/null | grep -q "installed"; then
    fail "a vanterel package is installed already, and this test would purge it; remove it first (apt-get purge vanterel)"
fi

. scripts/deps.sh
vanterel_install xvfb curl iproute2 libcap2-bin lintian desktop-file-utils appstream

port80_listeners() { ss -Hltnp 'sport = :80'; }
if [ -n "$(port80_listeners)" ]; then
    fail "port 80 is taken already: $(port80_listeners)"
fi

user="vanterel-test-$$"
home="/home/$user"
if id "$user" >/dev/null 2>&1 || [ -e "$home" ]; then
    fail "the user $user or the folder $home exists already"
fi

work=$(mktemp -d /tmp/vanterel-package-test.XXXXXX)
chmod 711 "$work"
applog="$work/vanterel.log"
xvfb_pid=""
app_pid=""
drain_pid=""
installed=0
added_user=0
uid=""
made_x11_dir=0
uinput_before=0
[ -e /sys/module/uinput ] && uinput_before=1

cleanup() {
    local status=$?
    set +e
    if [ $status -ne 0 ] && [ -s "$applog" ]; then
        echo "-- the program's event log:" >&2
        cat "$applog" >&2
    fi
    if [ $status -ne 0 ] && [ -s "$work/xvfb.log" ]; then
        echo "-- Xvfb's log:" >&2
        cat "$work/xvfb.log" >&2
    fi
    [ -n "$app_pid" ] && kill -KILL "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
    [ -n "$drain_pid" ] && kill "$drain_pid" 2>/dev/null && wait "$drain_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    if [ $installed -eq 1 ] && dpkg-query -W vanterel >/dev/null 2>&1; then
        apt-get purge -y -qq vanterel >/dev/null
    fi
    if [ $added_user -eq 1 ]; then
        # Anything the test user still runs was started by this test.
        for proc in /proc/[0-9]*; do
            [ "$(stat -c %u "$proc" 2>/dev/null)" = "$uid" ] && kill -KILL "${proc#/proc/}" 2>/dev/null
        done
        userdel --remove "$user" 2>/dev/null
    fi
    [ $made_x11_dir -eq 1 ] && rmdir /tmp/.X11-unix 2>/dev/null
    if [ $uinput_before -eq 0 ] && [ -e /sys/module/uinput ]; then
        modprobe -r uinput 2>/dev/null
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP PIPE

step "Building the package"
deb=$(scripts/package.sh | tail -n 1)
[ -f "$deb" ] || fail "scripts/package.sh did not end with the path of a package"
echo "$deb"

step "Checking it: lintian, desktop-file-validate, appstreamcli"
lintian_status=0
lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1) || lintian_status=$?
grep -v "running with root privileges" <<<"$lintian_out" || true
[ $lintian_status -eq 0 ] || fail "lintian reports errors or warnings"
echo "   lintian: no errors, no warnings"
mkdir "$work/contents"
dpkg-deb -x "$deb" "$work/contents"
desktop-file-validate "$work"/contents/usr/share/applications/*.desktop || fail "desktop-file-validate"
echo "   desktop-file-validate: passed"
appstreamcli validate --no-net "$work"/contents/usr/share/metainfo/*.xml || fail "appstreamcli validate"

step "Installing it with apt-get"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
[ -x /usr/bin/vanterel ] || fail "/usr/bin/vanterel is not there after installing"
getcap /usr/bin/vanterel | grep -q "cap_net_bind_service=ep" \
    || fail "/usr/bin/vanterel lacks the right to bind port 80: $(getcap /usr/bin/vanterel)"

step "Adding the unprivileged user $user"
useradd --create-home --home-dir "$home" --shell /usr/sbin/nologin --user-group "$user"
added_user=1
uid=$(id -u "$user")
data="$home/.local/share/vanterel"
mkdir -m 700 "$work/runtime"
chown "$user:" "$work/runtime"
# Runs a command as the user, in a clean environment; each program it starts
# replaces the one before it, so $! is the command's own process.
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups
    env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin LANG=C.UTF-8
    XDG_RUNTIME_DIR="$work/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus")

step "Starting a private Xvfb as $user"
if [ ! -d /tmp/.X11-unix ]; then
    mkdir -m 1777 /tmp/.X11-unix
    made_x11_dir=1
fi
# Xvfb picks a free display itself and writes its number to descriptor 3.
mkfifo "$work/display"
"${as_user[@]}" Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
display=""
IFS= read -r -t 30 display <"$work/display" || true
[ -n "$display" ] || fail "Xvfb did not start within 30 s"
echo "display :$display"

step "Starting /usr/bin/vanterel as $user"
# The program writes its event log to standard error; the test reads it as it
# comes, and a copy goes on being drained to a file so that it never blocks.
mkfifo "$work/events"
"${as_user[@]}" DISPLAY=":$display" /usr/bin/vanterel >/dev/null 2>"$work/events" &
app_pid=$!
exec 4<"$work/events"
# Reads event-log lines until one contains the text, within the seconds given.
wait_for_line() {
    local deadline=$((SECONDS + $2)) line
    while [ $SECONDS -lt $deadline ]; do
        IFS= read -r -t $((deadline - SECONDS)) line <&4 || return 1
        printf '%s\n' "$line" >>"$applog"
        case "$line" in *"$1"*)
            matched=$line
            return 0
            ;;
        esac
    done
    return 1
}
wait_for_line "Server listening on address " 30 || fail "the program did not start listening within 30 s"
case "$matched" in *:80) ;; *) fail "it listens elsewhere than port 80: $matched" ;; esac
wait_for_line "Files (keys.dat, Log.txt, htdocs) are in " 10 || fail "the event log does not say where the files are"
expected="Files (keys.dat, Log.txt, htdocs) are in $data, the user's data folder; this start put the sample htdocs and keys.dat there"
[ "${matched%"$expected"}" != "$matched" ] || fail "unexpected line about the files: $matched"
cat <&4 >>"$applog" &
drain_pid=$!
exec 4<&-
sed 's/^/   /' "$applog"

step "Checking the running program"
[ "$(awk '/^Uid:/ { print $2 }' /proc/$app_pid/status)" = "$uid" ] || fail "the program does not run as $user"
# The right to bind low ports and no other.
[ "$(awk '/^CapEff:/ { print $2 }' /proc/$app_pid/status)" = "0000000000000400" ] \
    || fail "unexpected capabilities: $(grep Cap /proc/$app_pid/status)"
port80_listeners | grep -q "pid=$app_pid," || fail "port 80 is not held by the program: $(port80_listeners)"
cmp -s /usr/share/vanterel/keys.sample.dat "$data/keys.dat" || fail "$data/keys.dat is not the sample bindings"
[ "$(stat -c %U "$data/keys.dat")" = "$user" ] || fail "$data/keys.dat does not belong to $user"
page=$(curl -sS --max-time 10 http://127.0.0.1:80/index.htm)
[ "$page" = "$(cat /usr/share/vanterel/htdocs/index.htm)" ] || fail "GET /index.htm did not answer the sample panel"
# A page only the user's folder has shows where the pages come from.
"${as_user[@]}" sh -c "printf 'in the data folder of %s' \"\$USER\" > '$data/htdocs/mine.htm'"
page=$(curl -sS --max-time 10 http://127.0.0.1:80/mine.htm)
[ "$page" = "in the data folder of $user" ] || fail "GET /mine.htm answered: $page"

step "Ending it with SIGTERM"
kill -TERM "$app_pid"
timeout 20 tail --pid="$app_pid" -s 0.1 -f /dev/null || fail "the program did not end within 20 s of SIGTERM"
status=0
wait "$app_pid" || status=$?
app_pid=""
wait "$drain_pid" 2>/dev/null || true
drain_pid=""
[ $status -eq 0 ] || fail "the program ended with status $status after SIGTERM"
[ -z "$(port80_listeners)" ] || fail "port 80 is still taken: $(port80_listeners)"
# Shown with "|" for the field separator and ";" for each CR LF.
saved=$(sed 's/\r$/;/' "$data/keys.dat" | tr -d '\n' | tr '\036' '|')
case "$saved" in "PORT|80;FOLDER|$data/htdocs;"*"key|FIRE|30|2|0|0;"*) ;; *)
    fail "keys.dat was not written on SIGTERM; it holds: $saved" ;;
esac
[ "$(stat -c %U "$data/keys.dat")" = "$user" ] || fail "the saved keys.dat does not belong to $user"
echo "   keys.dat saved: ${saved:0:100}…"

step "Purging the package"
before=$(cd "$data" && find . -type f -exec sha256sum {} + | sort)
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq vanterel >/dev/null
installed=0
[ ! -e /usr/bin/vanterel ] && [ ! -e /usr/share/vanterel ] || fail "purging left the package's files"
after=$(cd "$data" && find . -type f -exec sha256sum {} + | sort)
[ -n "$before" ] && [ "$before" = "$after" ] || fail "purging changed the user's files in $data"
echo "   the user's $(wc -l <<<"$after") files in $data are unchanged"

echo "package-test: passed"

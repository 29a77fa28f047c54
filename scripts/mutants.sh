#!/usr/bin/env bash
# Plants one small fault at a time in the program's code, builds it and runs
# the whole test suite against it. A fault the suite notices is "killed", one
# it lets through "survived": the share killed says how much the suite would
# catch, and a survivor names a gap. Run it before and after changing the
# tests and compare the two result files.
#
#   scripts/mutants.sh                 every mutant
#   scripts/mutants.sh --only http-03 keys-01
#   scripts/mutants.sh --list          the table, with mutants whose text is gone marked
#
# Options:
#   --only ID...     only these mutants (ids separated by blanks or commas)
#   --list           print the table and stop
#   --keep           keep the scratch folder (sources, build, logs) and say where
#   --scratch DIR    work in DIR (made if missing, never deleted if it existed);
#                    a kept folder is reused and builds incrementally
#   --jobs N         tests run at once by ctest (default 1)
#   --all-tests      run every test against each mutant instead of stopping at
#                    the first failure (slower; lists every failing test)
#   --no-baseline    skip the run of the unchanged suite (only with a scratch
#                    folder whose suite is known to pass)
#   --out FILE       result file (default ${TMPDIR:-/tmp}/vanterel-mutants-<commit>.txt)
#
# The working tree is never changed: its files (tracked and new ones, as they
# are on disk) are copied into a scratch folder, and every mutant is applied
# to and restored in that copy.
set -euo pipefail

# --- The mutants ------------------------------------------------------------
# One a line: id @@ file @@ original text @@ replacement @@ what a user would notice.
# The original text must occur exactly once in the file, within one line;
# otherwise the mutant is reported as stale and skipped. "{}" stands for a
# dropped statement.
MUTANTS=$(cat <<'EOF'
http-01 @@ http/Request.cpp @@ return at >= 0 && at + HttpVersion.size() < text.size(); @@ return at >= 0 && at + HttpVersion.size() <= text.size(); @@ A request line that ends right after " HTTP/1." is served instead of answered 501
http-02 @@ http/Request.cpp @@ return slashed.contains(u"/./") || slashed.contains(u"/../"); @@ return slashed.contains(u"/./"); @@ A path with "/../" is not refused: its command is pressed
http-03 @@ http/Request.cpp @@ request.command = request.requestPath.mid(query + 1); @@ request.command = request.requestPath.mid(query); @@ The command keeps its "?": "Recieved command ?GEARUP" and no binding matches
http-04 @@ http/Responses.cpp @@ rule.cacheLine = row.image && !requestPath.toUpper().contains(NoStaticMarker); @@ rule.cacheLine = row.image && requestPath.toUpper().contains(NoStaticMarker); @@ NO_STATIC inverted: pictures lose their cache line, gauges marked NO_STATIC get it
http-05 @@ http/Responses.cpp @@ .append(QString::number(length)) @@ .append(QString::number(length + 1)) @@ Content-Length one more than the file: the browser waits for a byte that never comes
http-06 @@ http/Responses.cpp @@ u"HTTP/1.1 303 See Other" @@ u"HTTP/1.1 302 Found" @@ A folder is redirected with 302 Found instead of 303 See Other
http-07 @@ http/SiteGuard.cpp @@ return !from || !to || from->name != to->name || from->port != to->port; @@ return !from || !to || from->name != to->name; @@ The site guard ignores the port: a page of another server on the same host presses keys
http-08 @@ http/SiteGuard.cpp @@ if (rules.allowOtherSites) @@ if (!rules.allowOtherSites) @@ The SITES flag inverted: other sites' pages press keys by default, and are refused with "SITES any"
http-09 @@ http/RequestHandler.cpp @@ QStringLiteral("Recieved command ") @@ QStringLiteral("Received command ") @@ The event log's command line reads "Received command " instead of "Recieved command "
http-10 @@ http/ConnectionSlots.h @@ std::priority_queue<int, std::vector<int>, std::greater<>> m_freeSlots; @@ std::priority_queue<int, std::vector<int>, std::less<>> m_freeSlots; @@ The highest closed slot is reused instead of the lowest: other slot numbers in Log.txt
http-11 @@ http/ConnectionSlots.cpp @@ if (s.BytesSent < s.BytesToSend) { @@ if (s.BytesSent <= s.BytesToSend) { @@ A response sent whole is never finished: no "Finished Transfer.", the connection stays open
http-12 @@ http/ConnectionSlots.cpp @@ if (!responding) @@ if (responding) @@ A peer that half-closes loses the rest of its response; an idle one that closes is kept open
http-13 @@ http/ConnectionSlots.cpp @@ if (s.generation != generation || s.state != ConnectionSlot::Connected || s.gotData) @@ if (s.generation != generation || s.state != ConnectionSlot::Connected) @@ The idle sweep also closes connections that sent their request: long downloads are cut
http-14 @@ http/ServedRootLinux.cpp @@ if (errno != ELOOP) @@ if (errno == ELOOP) @@ Links inside the document root are no longer followed: a linked page answers 404
http-15 @@ http/DocumentRoot.cpp @@ if (c == u'/' || c == u'\\') { @@ if (c == u'/') { @@ A backslash no longer starts a path component: "/x\.secret" serves a hidden file
keys-01 @@ keys/KeyBindings.cpp @@ for (qint32 i = 1; i <= upperBound(); ++i) { @@ for (qint32 i = 1; i < upperBound(); ++i) { @@ The last binding of the table is never found: its command presses nothing
keys-02 @@ keys/KeyBindings.cpp @@ if (mask < 0 || mask > (ShiftMask | CtrlMask | AltMask)) @@ if (mask < 0 || mask > (ShiftMask | CtrlMask)) @@ Masks with Alt (4 to 7) are ignored: such keys get the previous key's modifiers
keys-03 @@ keys/KeyCommands.cpp @@ pressKey(binding.FirstKey, binding.FirstModifiers, window, hold); @@ pressKey(binding.FirstKey, binding.SecondModifiers, window, hold); @@ A binding's first key is pressed with the second key's modifiers
keys-04 @@ keys/KeyCommands.cpp @@ holdOrRelease(*table, commandName.mid(1), sign == u'+', window); @@ holdOrRelease(*table, commandName.mid(1), sign == u'-', window); @@ "+NAME" lets go and "-NAME" holds: a held key is left down
keys-05 @@ keys/KeyCommands.cpp @@ const std::string id = name.toUpper().toStdString(); @@ const std::string id = name.toStdString(); @@ Holds differ by letter case: "-BRAKES" does not let go of "+brakes"
keys-06 @@ keys/KeyCommands.cpp @@ m_injector->ReleaseAll(); @@ (void)m_injector; @@ Replacing the bindings (an import) leaves held keys down
keys-07 @@ keys/KeyFileImport.cpp @@ || columns[2] != u"0" || columns[3] == u"0") @@ || columns[2] != u"0") @@ Key-file lines without a key (second key 0) are imported as bindings
keys-08 @@ keys/KeyFileImport.cpp @@ {&KeyBinding::FirstKey, 5, true}, @@ {&KeyBinding::FirstKey, 5, false}, @@ The key file's first key is read as decimal: "0x1E" becomes 0 and the key is lost
keys-09 @@ keys/TextLines.cpp @@ bytes.remove(0, 3); @@ bytes.remove(0, 2); @@ Part of a UTF-8 byte-order mark stays: the first line of keys.dat or a key file is misread
keys-10 @@ keys/KeyCommands.cpp @@ if (m_bindings.load().get() != &table) @@ if (false) @@ A "+NAME" looked up just before an import replaced the table stays down until the 10 s watchdog
config-01 @@ config/ConfigFile.cpp @@ if (fields.size() < 6) @@ if (fields.size() < 7) @@ Binding records of six fields are ignored: every binding of keys.dat is lost at start
config-02 @@ config/ConfigFile.cpp @@ settings.AllowOtherSites = fields[1].compare(AnySite, Qt::CaseInsensitive) == 0; @@ settings.AllowOtherSites = fields[1].compare(AnySite, Qt::CaseInsensitive) != 0; @@ "SITES any" keeps the guard on, any other value turns it off
config-03 @@ config/ConfigFile.cpp @@ QString::number(b.SecondKey), QString::number(b.SecondModifiers), @@ QString::number(b.SecondModifiers), QString::number(b.SecondKey), @@ keys.dat is saved with a binding's second key and its modifiers swapped
config-04 @@ config/ConfigFile.cpp @@ for (qint32 i = 1; i <= count; ++i) { @@ for (qint32 i = 1; i < count; ++i) { @@ Saving drops the last binding of keys.dat
config-05 @@ config/ConfigFile.cpp @@ out += "\r\n"; @@ out += "\n"; @@ keys.dat is written with LF line ends instead of CR LF
config-06 @@ config/LeadingNumber.cpp @@ (exactHalf && magnitude % 2 == 1) @@ (exactHalf && magnitude % 2 == 0) @@ Halves round away from the even number: "80.5" reads 81
config-07 @@ config/FrmOpts.cpp @@ port.value < 1 || port.value > 65535) { @@ port.value < 1 || port.value > 65536) { @@ The options window takes port 65536 instead of saying "Invalid port"
config-08 @@ config/FrmOpts.cpp @@ m_settings.ServerPort = port.value; @@ {} @@ A port set in the options window is not kept: keys.dat gets the old one at exit
config-09 @@ config/FrmOpts.cpp @@ m_keys.replaceBindings(std::move(table)); @@ {} @@ An imported key file is read but never put in use
config-10 @@ config/ReplaceFile_unix.cpp @@ const QString resolved = info.isSymLink() ? info.symLinkTarget() : path; @@ const QString resolved = path; @@ Saving over a keys.dat that is a link replaces the link with a file
config-11 @@ config/ConfigFile.cpp @@ settings.DocumentRoot = fields[1].toString(); @@ settings.DocumentRoot = fields[1].toString().toLower(); @@ A document root with capitals is read lower-cased from keys.dat: every page answers 404
inject-01 @@ inject/StrokePlayer.cpp @@ keys.push_back(modifier(KeyConstads::LinuxLeftShift)); @@ keys.push_back(modifier(KeyConstads::LinuxLeftCtrl)); @@ Shift is pressed as Ctrl
inject-02 @@ inject/StrokePlayer.cpp @@ for (auto it = keys.rbegin(); it != keys.rend(); ++it) @@ for (auto it = keys.begin(); it != keys.end(); ++it) @@ Keys go up in the order they went down: the modifiers before the key
inject-03 @@ inject/StrokePlayer.cpp @@ if (--m_users[indexOf(*it)] == 0) @@ if (--m_users[indexOf(*it)] >= 0) @@ A key that two strokes or holds share goes up while one of them still holds it
inject-04 @@ inject/StrokePlayer.cpp @@ held->deadline = op->deadline; @@ (void)held; @@ Repeating "+NAME" no longer renews the hold: the key goes up 10 s after the first
inject-05 @@ inject/StrokePlayer.cpp @@ && op->window == 0 && idle(); @@ && op->window != 0 && idle(); @@ Strokes for a given window leave before it is activated: they go to the focused one
inject-06 @@ inject/StrokePlayer.cpp @@ m_tap = PlayingTap{std::move(op.keys), Clock::now() + op.hold}; @@ m_tap = PlayingTap{std::move(op.keys), Clock::now()}; @@ A stroke's keys go up at once: a program that reads the keyboard once a frame misses it
inject-07 @@ inject/XTestInjector.cpp @@ if (folded(titleOf(window)) == wanted) { @@ if (titleOf(window) == wanted) { @@ The window look-up minds letter case: "Marlek ORS" is not found
inject-08 @@ inject/XTestInjector.cpp @@ XSetInputFocus(display, window, RevertToParent, CurrentTime); @@ {} @@ Activating a window does not focus it: without a window manager its keys go elsewhere
inject-09 @@ inject/UinputInjector.cpp @@ return m_write(EV_KEY, key.linuxCode, 0); @@ return m_write(EV_KEY, key.linuxCode, 2); @@ uinput: a key up is written as a repeat, so every key stays down
inject-10 @@ inject/KeyConstads.cpp @@ {157, "RCTRL", 97}, @@ {157, "RCTRL", 29}, @@ Right Ctrl is pressed as left Ctrl
inject-11 @@ inject/KeyConstads.cpp @@ {100, "F13", 183}, @@ {100, "F12", 183}, @@ F13 is named F12: the options window shows F13's bindings as F12, and vanterel-keys knows no F13
app-01 @@ app/FrmMain.cpp @@ if (!m_settings.AppFolder.endsWith(QLatin1Char('/'))) @@ if (m_settings.AppFolder.endsWith(QLatin1Char('/'))) @@ The data folder loses its closing "/": keys.dat, Log.txt and htdocs are looked for beside it
app-02 @@ app/FrmMain.cpp @@ m_settings, m_injector.get(), std::move(table)); @@ m_settings, m_injector.get()); @@ keys.dat's bindings are not put in use, and an empty table is saved over them at exit
app-03 @@ app/FrmMain.cpp @@ if (!m_keys || m_keys->bindings()->upperBound() == 0) @@ if (!m_keys || m_keys->bindings()->upperBound() != 0) @@ Send Key does nothing while there are bindings
app-04 @@ app/FrmMain.cpp @@ m_keys->PressCommandKeys(selected, true); @@ m_keys->PressCommandKeys(selected, false); @@ Send Key does not look the target window up: its keys go to the focused window
app-05 @@ app/LogFile.cpp @@ m_pending.append("\r\n", 2); @@ m_pending.append("\n", 1); @@ Log.txt lines end in LF instead of CR LF
app-06 @@ app/LogFile.cpp @@ QIODevice::WriteOnly | QIODevice::Truncate @@ QIODevice::WriteOnly | QIODevice::Append @@ Log.txt is not emptied at start
app-07 @@ app/SignalHandler.cpp @@ constexpr int HandledSignals[] = {SIGTERM, SIGINT, SIGHUP}; @@ constexpr int HandledSignals[] = {SIGINT, SIGHUP}; @@ SIGTERM ends the program without its shut-down: keys.dat is not saved
app-08 @@ app/DataFolder.cpp @@ program == canonical(paths.installedBinFolder); @@ program != canonical(paths.installedBinFolder); @@ A program run from its build folder counts as installed and the installed one as not
common-01 @@ common/mdlStringFunctions.cpp @@ const qsizetype end = text.indexOf(endMarker, from, cs); @@ const qsizetype end = text.lastIndexOf(endMarker, -1, cs); @@ The Host runs on to the request's last line end: a redirect's Location carries the headers after it
common-02 @@ common/mdlStringFunctions.cpp @@ const qsizetype at = text.indexOf(separator, 0, cs); @@ const qsizetype at = text.lastIndexOf(separator, -1, cs); @@ The extension starts at the last dot: "gauge.v2.png" gets an image type and a cache line
common-03 @@ common/Version.h @@ QStringLiteral("Vanterel Version ") @@ QStringLiteral("Vanterel v") @@ Every response's "Server:" line names the program wrongly
EOF
)

# --- Options ------------------------------------------------------------------
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

ONLY=()
LIST=0
KEEP=0
JOBS=1
SCRATCH=""
OUT=""
ALL_TESTS=0
BASELINE=1
while [ $# -gt 0 ]; do
    case "$1" in
        --only)
            shift
            while [ $# -gt 0 ] && [[ $1 != --* ]]; do
                IFS=', ' read -r -a ids <<<"$1"
                ONLY+=("${ids[@]}")
                shift
            done
            continue ;;
        --list) LIST=1 ;;
        --keep) KEEP=1 ;;
        --scratch) SCRATCH=${2:?--scratch needs a folder}; shift ;;
        --jobs) JOBS=${2:?--jobs needs a number}; shift ;;
        --all-tests) ALL_TESTS=1 ;;
        --no-baseline) BASELINE=0 ;;
        --out) OUT=${2:?--out needs a file}; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "mutants.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
[[ $JOBS =~ ^[1-9][0-9]*$ ]] || { echo "mutants.sh: --jobs needs a number" >&2; exit 2; }

REPO=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)

# --- The table ----------------------------------------------------------------
IDS=() FILES=() ORIGS=() REPLS=() DESCS=()
while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] && continue
    fields=()
    rest=$line
    while [[ $rest == *' @@ '* ]]; do
        fields+=("${rest%% @@ *}")
        rest=${rest#* @@ }
    done
    fields+=("$rest")
    if [ ${#fields[@]} -ne 5 ]; then
        echo "mutants.sh: a table line has ${#fields[@]} fields instead of 5: $line" >&2
        exit 2
    fi
    for id in "${IDS[@]}"; do
        [ "$id" != "${fields[0]}" ] || { echo "mutants.sh: id ${fields[0]} twice" >&2; exit 2; }
    done
    IDS+=("${fields[0]}") FILES+=("${fields[1]}") ORIGS+=("${fields[2]}")
    REPLS+=("${fields[3]}") DESCS+=("${fields[4]}")
done <<<"$MUTANTS"

# How often the text occurs in the file (0 when the file is missing).
occurrences() {
    [ -f "$1" ] || { echo 0; return; }
    NEEDLE=$2 perl -0777 -ne 'BEGIN { $n = 0 } $n += () = /\Q$ENV{NEEDLE}\E/g; END { print $n }' "$1"
}

# Replaces the one occurrence; the new text goes in literally.
mutate() {
    NEEDLE=$2 REPLACEMENT=$3 perl -0777 -pi -e 's/\Q$ENV{NEEDLE}\E/$ENV{REPLACEMENT}/' "$1"
}

if [ $LIST -eq 1 ]; then
    for i in "${!IDS[@]}"; do
        n=$(occurrences "$REPO/${FILES[$i]}" "${ORIGS[$i]}")
        mark=""
        [ "$n" -eq 1 ] || mark="  (stale: original text found $n times)"
        printf '%-10s %-28s %s%s\n' "${IDS[$i]}" "${FILES[$i]}" "${DESCS[$i]}" "$mark"
    done
    echo "${#IDS[@]} mutants"
    exit 0
fi

SELECTED=()
if [ ${#ONLY[@]} -eq 0 ]; then
    SELECTED=("${!IDS[@]}")
else
    for want in "${ONLY[@]}"; do
        found=""
        for i in "${!IDS[@]}"; do
            [ "${IDS[$i]}" = "$want" ] && found=$i
        done
        [ -n "$found" ] || { echo "mutants.sh: no mutant $want (see --list)" >&2; exit 2; }
        SELECTED+=("$found")
    done
fi

# --- The scratch copy -----------------------------------------------------------
COMMIT=$(git -C "$REPO" rev-parse --short HEAD)
[ -z "$(git -C "$REPO" status --porcelain)" ] || COMMIT="$COMMIT-dirty"
OUT=${OUT:-${TMPDIR:-/tmp}/vanterel-mutants-$COMMIT.txt}

MADE_SCRATCH=0
if [ -z "$SCRATCH" ]; then
    SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/vanterel-mutants.XXXXXX")
    MADE_SCRATCH=1
elif [ ! -d "$SCRATCH" ]; then
    mkdir -p "$SCRATCH"
    MADE_SCRATCH=1
fi
SCRATCH=$(cd "$SCRATCH" && pwd)
SRC=$SCRATCH/src
BUILD=$SCRATCH/build
LOGS=$SCRATCH/logs
mkdir -p "$SRC" "$LOGS"

# The file being mutated and its original content, while a mutant is applied.
MUTATED=""
restore() {
    if [ -n "$MUTATED" ]; then
        # Written anew rather than moved back, so that its time is newer than
        # the mutant's objects and the next build compiles it again.
        cat "$SCRATCH/original" >"$MUTATED"
        MUTATED=""
    fi
}
cleanup() {
    restore
    if [ $KEEP -eq 1 ] || [ $MADE_SCRATCH -eq 0 ]; then
        echo "Scratch folder kept: $SCRATCH (logs in $LOGS)"
    else
        rm -rf "$SCRATCH"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "Copying the working tree of $REPO into $SRC"
# Only files that differ are copied, so a reused build folder stays valid.
while IFS= read -r -d '' file; do
    [ -f "$REPO/$file" ] || continue
    if ! cmp -s "$REPO/$file" "$SRC/$file"; then
        mkdir -p "$(dirname "$SRC/$file")"
        cp --preserve=mode "$REPO/$file" "$SRC/$file"
    fi
done < <(git -C "$REPO" ls-files -z --cached --others --exclude-standard)

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    echo "Configuring $BUILD"
    cmake -S "$SRC" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
        -DVANTEREL_BUILD_TESTS=ON -DVANTEREL_WERROR=ON >"$LOGS/configure.log" 2>&1 \
        || { tail -20 "$LOGS/configure.log" >&2; exit 1; }
fi

# playwright-core for the browser test, as scripts/test.sh installs it.
CTEST_EXCLUDE=()
if [ -f "$SRC/tests/browser/package-lock.json" ]; then
    mkdir -p "$BUILD/browser"
    if [ -d "$BUILD/browser/node_modules/playwright-core" ] \
        && cmp -s "$SRC/tests/browser/package-lock.json" "$BUILD/browser/package-lock.json"; then
        :
    elif command -v npm >/dev/null \
        && cp "$SRC/tests/browser/package.json" "$SRC/tests/browser/package-lock.json" "$BUILD/browser/" \
        && (cd "$BUILD/browser" && npm ci --prefer-offline --no-audit --no-fund) >"$LOGS/npm.log" 2>&1; then
        :
    else
        echo "npm ci failed or npm is missing (see $LOGS/npm.log): running without the browser test"
        CTEST_EXCLUDE=(-E '^browser_panel$')
    fi
fi

build() { cmake --build "$BUILD" -j2 >"$1" 2>&1; }

# Runs the suite; prints the first failing test (name and how it failed).
run_suite() {
    local log=$1
    shift
    if ctest --test-dir "$BUILD" --output-on-failure --timeout 120 -j "$JOBS" "${CTEST_EXCLUDE[@]}" "$@" >"$log" 2>&1; then
        return 0
    fi
    local first
    first=$(sed -n '/The following tests FAILED:/,$p' "$log" | sed -n '2p' | sed -E 's/^[[:space:]]*[0-9]+ - //')
    echo "${first:-ctest failed, see $log}"
    return 1
}

START=$SECONDS
if [ $BASELINE -eq 1 ]; then
    echo "Building and running the unchanged suite"
    build "$LOGS/baseline.build.log" || { tail -20 "$LOGS/baseline.build.log" >&2; exit 1; }
    t=$SECONDS
    if ! failed=$(run_suite "$LOGS/baseline.test.log"); then
        echo "The unchanged suite fails ($failed): no mutant can be judged against it." >&2
        KEEP=1
        exit 1
    fi
    echo "The unchanged suite passes: $(grep -m1 'tests passed' "$LOGS/baseline.test.log") ($((SECONDS - t)) s)"
fi

STOP=(--stop-on-failure)
[ $ALL_TESTS -eq 1 ] && STOP=()

{
    echo "# Mutants of $REPO at $COMMIT, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "# ctest -j $JOBS${CTEST_EXCLUDE[*]:+ ${CTEST_EXCLUDE[*]}}${STOP[*]:+ ${STOP[*]}}"
} >"$OUT"

killed=0 survived=0 stale=0 uncompilable=0
for i in "${SELECTED[@]}"; do
    id=${IDS[$i]} file=$SRC/${FILES[$i]} desc=${DESCS[$i]}
    t=$SECONDS
    note=""
    n=$(occurrences "$file" "${ORIGS[$i]}")
    if [ "$n" -ne 1 ]; then
        status=stale
        note="  [original text found $n times in ${FILES[$i]}]"
        stale=$((stale + 1))
    else
        cp "$file" "$SCRATCH/original"
        MUTATED=$file
        mutate "$file" "${ORIGS[$i]}" "${REPLS[$i]}"
        if ! build "$LOGS/$id.build.log"; then
            status=uncompilable
            note="  [$(grep -m1 -E 'error' "$LOGS/$id.build.log" | cut -c1-160 || true)]"
            uncompilable=$((uncompilable + 1))
        elif failed=$(run_suite "$LOGS/$id.test.log" "${STOP[@]}"); then
            status=survived
            survived=$((survived + 1))
        else
            status=killed
            note="  [$failed]"
            if [ $ALL_TESTS -eq 1 ]; then
                note="  [$(sed -n '/The following tests FAILED:/,$p' "$LOGS/$id.test.log" | sed -n '2,$p' \
                    | grep -E '^[[:space:]]+[0-9]+ - ' | sed -E 's/^[[:space:]]*[0-9]+ - //' | paste -sd, -)]"
            fi
            killed=$((killed + 1))
        fi
        restore
    fi
    line=$(printf '%-10s %-12s %4d  %s%s' "$id" "$status" "$((SECONDS - t))" "$desc" "$note")
    echo "$line"
    echo "$line" >>"$OUT"
done

total=${#SELECTED[@]}
summary="killed $killed of $total (survived $survived, stale $stale, uncompilable $uncompilable)"
elapsed=$((SECONDS - START))
echo "$summary"
printf '%s\n# %d s in all\n' "$summary" "$elapsed" >>"$OUT"
echo "Took $((elapsed / 60)) min $((elapsed % 60)) s; results in $OUT"

# Sourced by run.sh and test.sh: installs the Debian/Ubuntu packages that are
# missing, or says how to when we are not root.

VANTEREL_BUILD_PACKAGES="cmake g++ make pkg-config qt6-base-dev libgl-dev libx11-dev libxtst-dev libevdev-dev libboost-dev libqrencode-dev"
# A private X server for headless runs and for the tests that press keys.
VANTEREL_DISPLAY_PACKAGES="xvfb xauth"
VANTEREL_TEST_PACKAGES="curl zbar-tools chromium"
# node and npm run the browser test; one that is there already is kept (a
# Node.js of another origin brings its own npm, which Debian's would replace).
command -v node >/dev/null || VANTEREL_TEST_PACKAGES="$VANTEREL_TEST_PACKAGES nodejs"
command -v npm >/dev/null || VANTEREL_TEST_PACKAGES="$VANTEREL_TEST_PACKAGES npm"

vanterel_install() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "These packages are missing. Install them, then run this command again:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

#!/usr/bin/env bash
# Installs, non-interactively and only when missing, every Debian package that the build,
# the tests, the benchmarks and the demo need. Safe to run any number of times.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config      # build
  libgtest-dev libgmock-dev             # tests
  nlohmann-json3-dev                    # the command line's JSON (and the tests read it back)
  libcli11-dev                          # the command line's parser
  libtomlplusplus-dev                   # job files (TOML)
  clang                                 # fuzzing (libFuzzer); its runtime is added below
  binutils                              # objcopy: HEX images made by another tool, for the tests
  socat                                 # talking to the simulated chip by hand
  libtelnet-dev                         # RFC 2217 serial ports over the network (the telnet layer)
  ser2net                               # tests: a real RFC 2217 server in front of the simulated chip
  qt6-base-dev libgl-dev                # the window (Qt 6 Widgets)
  qt6-qpa-plugins fonts-dejavu-core     # showing it on X11, with a known default font
  xvfb xauth                            # a virtual display for the demo without one and the GUI checks
  dbus at-spi2-core python3-pyatspi gir1.2-atspi-2.0   # the accessibility check (an AT-SPI client)
  imagemagick                           # screenshots for the README
  xdotool                               # an "operator" pressing Return in the automatic-mode check
  lintian                               # the Debian package held to Debian's own checks
  libsqlite3-dev sqlite3                # the production station's log in a file (and a look into it)
  libpq-dev postgresql                  # ... or on a PostgreSQL server; the tests start one of their own
  procps                                # pgrep: the tests freeze that server, process by process
  libssl-dev                            # the image's SHA-256 in the log (OpenSSL's libcrypto)
  libcpp-httplib-dev libjs-chart.js     # the line's page: its HTTP server, and the system's Chart.js
  chromium chromium-driver python3-selenium   # ... seen in a real browser by its check and its screenshot
)

install_missing() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"
# libFuzzer's runtime for the clang that is installed, whichever version that is.
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
install_missing "libclang-rt-${clang_major}-dev"

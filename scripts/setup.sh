#!/usr/bin/env bash
# Installs, non-interactively and only when missing, every Debian package that the build,
# the tests, the benchmarks and the demo need. Safe to run any number of times.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config      # build
  libgtest-dev libgmock-dev             # tests
  libbenchmark-dev                      # figures in bench/
  clang libclang-rt-14-dev              # fuzzing the image loader (libFuzzer)
  binutils                              # objcopy: HEX images made by another tool, for the tests
  socat                                 # talking to the simulated chip by hand
  qt6-base-dev libgl-dev                # the window (Qt 6 Widgets)
  qt6-qpa-plugins fonts-dejavu-core     # showing it on X11, with a known default font
  xvfb xauth                            # a virtual display for the demo without one and the GUI checks
  dbus at-spi2-core python3-pyatspi gir1.2-atspi-2.0   # the accessibility check (an AT-SPI client)
  imagemagick                           # screenshots for the README
  xdotool                               # an "operator" pressing Return in the automatic-mode check
  lintian                               # the Debian package held to Debian's own checks
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

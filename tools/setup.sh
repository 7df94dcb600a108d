#!/usr/bin/env bash
# Installs what the panel and its tests need from Debian's packages, then configures and
# builds into build/, with warnings as errors. Safe to run again: it installs only what is
# missing. With --packages-only it stops after the packages; packages named after it are
# installed as well (clang for the sanitizer and fuzzing checks). With --targets it builds only
# the targets named after it (the demo needs the panel and the virtual projector, not the tests).
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
if [ "${1:-}" = --targets ]; then
  targets=("${@:2}")
  set --
fi

packages=(
  cmake make g++ pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libqt6serialport6 libgl-dev libvulkan-dev
  libmicrohttpd-dev libmicrohttpd12 qt6-websockets-dev
  libgtest-dev libgmock-dev googletest
  fontconfig libfontconfig-dev fonts-ipafont-gothic fonts-dejavu-core librsvg2-bin
  xvfb xauth chromium
  ser2net iproute2 netcat-openbsd
  prometheus
  chromium
)
# The integration tests drive the service with the npm package `pjlink`; a machine without
# Node.js takes Debian's.
command -v npm >/dev/null || packages+=(nodejs npm)
[ "${1:-}" = --packages-only ] && packages+=("${@:2}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ "${1:-}" = --packages-only ] && exit 0

# The PJLink client of the integration tests, at the version its lock file names.
if ((${#targets[@]} == 0)) && [ ! tests/pjlink-client/node_modules/.package-lock.json -nt tests/pjlink-client/package-lock.json ]; then
  npm ci --prefix tests/pjlink-client --no-audit --no-fund --loglevel=error
fi
# The browser tests' packages; they drive Debian's chromium, so puppeteer fetches no browser.
if ((${#targets[@]} == 0)) && [ ! tests/browser/node_modules/.package-lock.json -nt tests/browser/package-lock.json ]; then
  PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix tests/browser --no-audit --no-fund --loglevel=error
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERO_WERROR=ON >/dev/null
if ((${#targets[@]})); then
  cmake --build build -j"$(nproc)" --target "${targets[@]}"
else
  cmake --build build -j"$(nproc)"
fi

#!/usr/bin/env bash
# Builds the Debian package from the checkout (Release, warnings as errors) into
# build-package/, installs it with apt and checks what was installed: the version everywhere,
# an offscreen start and end of the panel from its launcher's command, the manual pages, the
# launcher and metainfo validators, bash completion, and lintian (errors fail, warnings show).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step is one check; a step that ends the script has failed.
passed=0
current=""
step() {
  [ -z "$current" ] || passed=$((passed + 1))
  current=$*
  printf '\n== %s\n' "$*"
}
fail() {
  printf 'check-package: %s\n' "$*" >&2
  exit 1
}
trap 'status=$?; ((status == 0)) || printf "check-package: %s: failed\n%d passed, 1 failed\n" "$current" "$passed"' EXIT

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

step "Packages for the build and the checks"
bash tools/setup.sh --packages-only
tools=(dpkg-dev lintian desktop-file-utils appstream man-db bash-completion librsvg2-bin file)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

version=$(sed -n 's/^project(mero-control VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
echo "Version $version"

step "Build and package"
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DMERO_WERROR=ON -DMERO_BUILD_TESTS=OFF \
  >/dev/null
cmake --build build-package -j2
rm -f build-package/*.deb
(cd build-package && cpack -G DEB)
debs=(build-package/*.deb)
((${#debs[@]} == 1)) || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
dpkg-deb --info "$deb"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb --field "$deb" Depends | grep -q fonts-ipafont-gothic || fail "no font dependency"
# Only the programs and their data: no tests, benchmarks, static libraries or headers.
if dpkg-deb --contents "$deb" | grep -E '\.a$|_tests$|repeat_accuracy|window-screenshot|/include/'; then
  fail "the package holds files that are not for users (above)"
fi

step "lintian (errors fail; warnings are listed)"
lintian --fail-on error "$deb"

step "Install with apt"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --reinstall "./$deb"
[ "$(command -v mero-control)" = /usr/bin/mero-control ] || fail "mero-control is not /usr/bin's"

step "Version"
for program in mero-control mero-virtual-projector; do
  said=$("$program" --version)
  echo "$program --version: $said"
  grep -q "^$program $version\b" <<<"$said" ||
    fail "$program --version does not say $program $version"
done
said=$(mero-virtual-projector --bogus 2>&1) && fail "mero-virtual-projector took --bogus"
[ "$said" = "mero-virtual-projector: unknown option --bogus; see mero-virtual-projector --help" ] ||
  fail "mero-virtual-projector --bogus says: $said"

step "Start the panel from its launcher's command line, offscreen, and end it"
desktop=/usr/share/applications/mero-control.desktop
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
# Field codes such as %f or %U stand for what a launcher passes; a plain start passes nothing.
read -ra command <<<"${exec_line//\%[a-zA-Z]/}"
log=$(mktemp)
QT_QPA_PLATFORM=offscreen "${command[@]}" --demo >"$log" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q "virtual projector" "$log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
sleep 2 # the window is built and shown, and the port opened
if ! kill -0 "$pid" 2>/dev/null; then
  cat "$log"
  fail "the panel ended by itself"
fi
# SIGTERM ends the panel as its END key does: the port closed and the program gone with
# status 0. 143 (ended by the signal itself) is taken as well.
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
cat "$log"
rm -f "$log"
[ "$status" -eq 0 ] || [ "$status" -eq 143 ] || fail "the panel ended with status $status"
echo "Started and ended (status $status)"

step "Manual pages"
# The changelog points to the README: both are shipped.
for doc in changelog.gz README.md; do
  [ -f "/usr/share/doc/mero-control/$doc" ] || fail "/usr/share/doc/mero-control/$doc is not installed"
done
zcat /usr/share/doc/mero-control/changelog.gz | grep -q "README.md" ||
  fail "the changelog does not point to the README"

for page in mero-control mero-virtual-projector; do
  file=/usr/share/man/man1/$page.1.gz
  [ -f "$file" ] || fail "$file is not installed"
  text=$(MANWIDTH=80 man -l "$file")
  grep -q "^mero-control $version " <<<"$text" || fail "$page(1) does not render with $version"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page(1): $warnings"
done
[ "$(man -w mero-control)" = /usr/share/man/man1/mero-control.1.gz ] || fail "man does not find mero-control"
text=$(MANWIDTH=80 man mero-control)
head -12 <<<"$text"

step "Launcher, icon and metainfo"
desktop-file-validate "$desktop"
grep -q "^Exec=mero-control" "$desktop" || fail "the launcher does not start mero-control"
for icon in scalable/apps/mero-control.svg 16x16/apps/mero-control.png 256x256/apps/mero-control.png; do
  [ -f "/usr/share/icons/hicolor/$icon" ] || fail "no icon $icon"
done
metainfo=$(dpkg -L mero-control | grep '^/usr/share/metainfo/.*\.metainfo\.xml$')
appstreamcli validate --no-net "$metainfo"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"

step "Bash completion"
for program in mero-control mero-virtual-projector; do
  bash -c "source /usr/share/bash-completion/completions/$program && complete -p $program"
done
# What completion offers for the last of the words given, after the program's name.
completes() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    source "/usr/share/bash-completion/completions/$1"
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    "$(complete -p "$1" | sed "s/.* -F \([^ ]*\) .*/\1/")" "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$@"
}
completes mero-control -- | grep -qx -- --list-ports || fail "no completion of mero-control --list-ports"
completes mero-virtual-projector --war | grep -qx -- --warm-up ||
  fail "no completion of mero-virtual-projector --warm-up"
completes mero-virtual-projector --dev | grep -qx -- --device ||
  fail "no completion of mero-virtual-projector --device"
# Each position offers only what it takes: --raw belongs to send, and its text is the user's.
completes mero-control query status -- | grep -qx -- --raw && fail "query offers --raw"
completes mero-control send --r | grep -qx -- --raw || fail "send does not offer --raw"
[ -z "$(completes mero-control send --raw /dev/)" ] || fail "send --raw offers devices for its text"

passed=$((passed + 1))
printf '\ncheck-package: the package passed every check\n%d passed, 0 failed\n' "$passed"

#!/usr/bin/env bash
# Builds the Debian packages from the checkout (Release, warnings as errors) into
# build-package/: mero-ctl (the headless program, the service and the virtual projector) and
# mero-control (the panel). Installs mero-ctl alone into a minimal Debian root made with
# debootstrap, to show that it brings nothing of a display, and boots that root with
# systemd-nspawn to run the service under systemd; installs both with apt and checks
# what was installed: the version everywhere, an offscreen start and end of the panel from its
# launcher's command, the service's unit and configuration file, the service on a virtual
# projector, the manual pages, the launcher and metainfo validators, bash completion, and
# lintian (errors fail, warnings show).
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
# What a step started or made, ended and removed however the script ends.
started=()
scratch=""
root=""
container=""
# A booted root halts before it is removed, so that its init finds its own files to halt with;
# one that does not halt within 30 seconds is killed with its init, which ends all its processes.
halt_container() {
  local nspawn leader
  nspawn=$(pgrep -x -P "$container" systemd-nspawn || echo "$container")
  leader=$(pgrep -x -P "$nspawn" systemd || true)
  $sudo kill "$nspawn" 2>/dev/null || true
  for _ in $(seq 300); do
    kill -0 "$container" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$container" 2>/dev/null && [ -n "$leader" ]; then
    $sudo kill -KILL "$leader" 2>/dev/null || true
  fi
  wait "$container" 2>/dev/null || true
  container=""
}
tidy() {
  ((${#started[@]} == 0)) || kill "${started[@]}" 2>/dev/null || true
  [ -z "$container" ] || halt_container
  [ -z "$scratch" ] || rm -rf "$scratch"
  [ -z "$root" ] || rm -rf --one-file-system "$root"
}
trap 'status=$?; tidy; ((status == 0)) || printf "check-package: %s: failed\n%d passed, 1 failed\n" "$current" "$passed"' EXIT

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

step "Packages for the build and the checks"
bash tools/setup.sh --packages-only
tools=(dpkg-dev lintian desktop-file-utils appstream man-db bash-completion librsvg2-bin file systemd
  curl prometheus debootstrap systemd-container)
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
((${#debs[@]} == 2)) || fail "expected two packages, found: ${debs[*]}"
ctl_deb=$(ls build-package/mero-ctl_*.deb)
panel_deb=$(ls build-package/mero-control_*.deb)
for deb in "$ctl_deb" "$panel_deb"; do
  dpkg-deb --info "$deb"
  [ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
  # Nothing enables or starts the service: the packages have no maintainer scripts.
  if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'preinst|postinst|prerm|postrm'; then
    fail "$deb has maintainer scripts (above)"
  fi
  # Only the programs and their data: no tests, benchmarks, static libraries or headers.
  if dpkg-deb --contents "$deb" | grep -E '\.a$|_tests$|repeat_accuracy|window-screenshot|/include/'; then
    fail "$deb holds files that are not for users (above)"
  fi
done
ctl_depends=$(dpkg-deb --field "$ctl_deb" Depends)
panel_depends=$(dpkg-deb --field "$panel_deb" Depends)
grep -q libmicrohttpd12 <<<"$ctl_depends" || fail "mero-ctl does not depend on libmicrohttpd"
# What a box without a display must not be made to install.
display_packages='libqt6gui6|libqt6widgets6|libx11-|libxcb|libwayland-|fonts-|fontconfig|libfontconfig|qt6-qpa-plugins'
if grep -Eo "($display_packages)[^ ,]*" <<<"$ctl_depends"; then
  fail "mero-ctl depends on the display packages above"
fi
grep -q fonts-ipafont-gothic <<<"$panel_depends" || fail "the panel has no font dependency"
grep -q "mero-ctl (= $version)" <<<"$panel_depends" || fail "the panel does not depend on mero-ctl $version"
grep -q libmicrohttpd12 <<<"$panel_depends" && fail "the panel depends on libmicrohttpd"
# mero-ctl takes over files of the one package that came before it.
for field in Replaces Breaks; do
  [ "$(dpkg-deb --field "$ctl_deb" "$field")" = "mero-control (<< $version)" ] ||
    fail "mero-ctl's $field is not mero-control (<< $version)"
done
# The service's configuration is a conffile of mero-ctl; the panel has none.
conffiles=$(dpkg-deb --info "$ctl_deb" conffiles)
[ "$conffiles" = /etc/mero-control/serve.conf ] || fail "mero-ctl's conffiles are: $conffiles"
dpkg-deb --info "$panel_deb" conffiles 2>/dev/null && fail "the panel has conffiles"
# Each file in one package, and each program in its own.
contents() { dpkg-deb --contents "$1" | awk '{print $6}' | grep -v '/$'; }
both=$(comm -12 <(contents "$ctl_deb" | sort) <(contents "$panel_deb" | sort))
[ -z "$both" ] || fail "files in both packages: $both"
for file in ./usr/bin/mero-ctl ./usr/bin/mero-virtual-projector ./lib/systemd/system/mero-control-serve.service \
  ./usr/share/bash-completion/completions/mero-ctl ./usr/share/man/man1/mero-ctl.1.gz; do
  contents "$ctl_deb" | grep -qx "$file" || fail "mero-ctl does not hold $file"
done
for file in ./usr/bin/mero-control ./usr/share/applications/mero-control.desktop; do
  contents "$panel_deb" | grep -qx "$file" || fail "the panel does not hold $file"
done

step "lintian (errors fail; warnings are listed)"
lintian --fail-on error "$ctl_deb" "$panel_deb"

step "mero-ctl alone in a minimal Debian: nothing of a display comes with it"
started_at=$SECONDS
# The mirror this machine's apt uses: the first that serves the release (one-line or deb822).
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
sources() { cat "$@" 2>/dev/null || true; }
mirror=$(sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
  awk -v suite="$suite" '$1 == "deb" && $0 ~ " " suite " " {for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; exit}}')
if [ -z "$mirror" ]; then
  mirror=$(sources /etc/apt/sources.list.d/*.sources | awk -v suite="$suite" '
    /^URIs:/ {uri = $2} /^Suites:/ {for (i = 2; i <= NF; i++) if ($i == suite) {print uri; exit}}')
fi
[ -n "$mirror" ] || fail "no apt source for $suite on this machine"
root=$PWD/build-package/minimal-root
rm -rf --one-file-system "$root"
echo "debootstrap --variant=minbase $suite from $mirror"
$sudo debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -20 "$root.log"; fail "debootstrap failed"; }
before=$($sudo chroot "$root" dpkg-query -W -f='${Package}\n' | sort)
size_before=$($sudo chroot "$root" dpkg-query -W -f='${Installed-Size}\n' | awk '{s += $1} END {print s}')
cp "$ctl_deb" "$root/tmp/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
{ $sudo chroot "$root" apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive $sudo chroot "$root" apt-get install -y -qq "/tmp/$(basename "$ctl_deb")"; } \
  >"$root.install.log" 2>&1 || { tail -20 "$root.install.log"; fail "mero-ctl did not install"; }
brought=$(comm -13 <(echo "$before") <($sudo chroot "$root" dpkg-query -W -f='${Package}\n' | sort))
size_after=$($sudo chroot "$root" dpkg-query -W -f='${Installed-Size}\n' | awk '{s += $1} END {print s}')
echo "mero-ctl brought $(wc -l <<<"$brought") packages, $(((size_after - size_before) / 1024)) MB installed:"
echo $brought
if grep -E "^($display_packages)" <<<"$brought"; then
  fail "mero-ctl brought the display or font packages above"
fi
said=$($sudo chroot "$root" mero-ctl --version)
[ "$said" = "mero-ctl $version" ] || fail "mero-ctl --version in the minimal root: $said"
# The shipped file names no projector: --check refuses it in one line, touching no device.
status=0
said=$($sudo chroot "$root" mero-ctl serve --check --config /etc/mero-control/serve.conf 2>&1) || status=$?
echo "mero-ctl serve --check: $said (status $status)"
[ "$status" -eq 1 ] || fail "serve --check in the minimal root: status $status"
grep -q "^mero-control serve: /etc/mero-control/serve.conf:[0-9]*: names no projector" <<<"$said" ||
  fail "serve --check in the minimal root does not refuse the file for naming no projector"
echo "In $((SECONDS - started_at)) s"

step "The service under systemd, in the minimal Debian booted with systemd-nspawn"
started_at=$SECONDS
DEBIAN_FRONTEND=noninteractive $sudo chroot "$root" apt-get install -y -qq --no-install-recommends systemd \
  >"$root.systemd.log" 2>&1 || { tail -20 "$root.systemd.log"; fail "systemd did not install in the minimal root"; }
# The container shares this machine's network, so that the service's ports are reached on
# 127.0.0.1 here; it registers with no machined, which a machine without systemd lacks.
$sudo systemd-nspawn --quiet --directory="$root" --boot --register=no --keep-unit \
  --machine=mero-check-package --console=passive >"$root.boot.log" 2>&1 &
container=$!
# Through sudo the container's init is the grandchild of the started process.
leader=""
for _ in $(seq 100); do
  kill -0 "$container" 2>/dev/null || break
  nspawn=$(pgrep -x -P "$container" systemd-nspawn || echo "$container")
  leader=$(pgrep -x -P "$nspawn" systemd || true)
  [ -n "$leader" ] && break
  sleep 0.1
done
inside() { $sudo nsenter --target "$leader" --all "$@"; }
# Until systemd has made its socket, systemctl cannot reach it; then it waits for the boot.
booted=""
for _ in $(seq 600); do
  [ -n "$leader" ] && kill -0 "$container" 2>/dev/null || break
  booted=$(timeout 60 $sudo nsenter --target "$leader" --all systemctl is-system-running --wait 2>&1 || true)
  [[ "$booted" =~ ^(running|degraded)$ ]] && break
  sleep 0.1
done
if [[ ! "$booted" =~ ^(running|degraded)$ ]]; then
  # Containers need namespaces and cgroups that not every machine (or outer container) grants.
  tail -20 "$root.boot.log"
  echo "Skipped: systemd-nspawn could not boot the minimal root on this machine (above; said: $booted)"
else
  echo "Booted: $(inside systemctl --version | head -1), the system $booted"
  inside test -e /bin/kill && fail "the minimal root has /bin/kill: the reload is not shown without it"
  inside systemd-run --unit=mero-check-projector --quiet mero-virtual-projector --link /run/projector \
    --warm-up 200 --cool-down 200
  for _ in $(seq 50); do
    inside test -e /run/projector && break
    sleep 0.1
  done
  # Its pseudo-terminal is root's: the service's group may use it, as with a serial device.
  inside sh -c 'device=$(readlink -f /run/projector) && chgrp dialout "$device" && chmod g+rw "$device"' ||
    fail "mero-virtual-projector made no device in the container"
  pjlink_port=$((20000 + RANDOM % 20000))
  printf '%s\n' "[service]" "metrics = 127.0.0.1:$((pjlink_port + 1))" "poll-interval = 5" "" \
    "[stage]" "address = /run/projector" "pjlink = 127.0.0.1:$pjlink_port" >"$root/etc/mero-control/serve.conf"
  unit=mero-control-serve.service
  show() { inside systemctl show "$unit" --value -p "$1"; }
  # Read whole before grep: one that stops early would fail the pipe under pipefail.
  journal() { inside journalctl -u "$unit" -o cat; }
  # start returns once the service has said READY=1: every listener is bound by then.
  inside systemctl start "$unit" || fail "systemctl start $unit failed"
  [ "$(show ActiveState)" = active ] || fail "$unit is not active after start: $(show ActiveState)"
  exec 3<>"/dev/tcp/127.0.0.1/$pjlink_port" || fail "PJLink does not listen once $unit is active"
  greeting=""
  IFS= read -r -t 5 -d $'\r' greeting <&3 || true
  exec 3<&-
  [ "$greeting" = "PJLINK 0" ] || fail "PJLink greets with '$greeting' once $unit is active"
  echo "Active after start, and PJLink answers at once: $greeting"
  serving="1 projector, 1 line open, 1 answering, 0 PJLink clients"
  for _ in $(seq 100); do
    [ "$(show StatusText)" = "$serving" ] && break
    sleep 0.1
  done
  said=$(inside systemctl status --no-pager "$unit" || true)
  head -8 <<<"$said"
  grep -qF "Status: \"$serving\"" <<<"$said" || fail "systemctl status does not show \"$serving\""
  inside systemctl reload "$unit" || fail "systemctl reload failed on the minimal root"
  for _ in $(seq 50); do
    grep -q "^reloaded " <<<"$(journal)" && break
    sleep 0.1
  done
  grep -q "^reloaded " <<<"$(journal)" || fail "systemctl reload did not reload"
  # journald reads each line's priority from its prefix: the reload is a notice, no warning.
  grep -q "^reloaded " <<<"$(inside journalctl -u "$unit" -o cat -p notice)" ||
    fail "the reload is not logged at priority notice"
  grep -q "^reloaded " <<<"$(inside journalctl -u "$unit" -o cat -p warning)" &&
    fail "the reload is logged as a warning"
  echo "journalctl -p notice shows the reload; -p warning does not"
  echo "not-a-key = 1" >>"$root/etc/mero-control/serve.conf"
  inside systemctl reload "$unit" 2>/dev/null && fail "systemctl reload took a file with a mistake"
  [ "$(show ActiveState)/$(show NRestarts)" = active/0 ] ||
    fail "a refused reload left $unit $(show ActiveState) after $(show NRestarts) restarts"
  sed -i '/^not-a-key/d' "$root/etc/mero-control/serve.conf"
  echo "systemctl reload: taken; with a mistake, refused and still active"
  # A loop that stands still feeds the watchdog no more: systemd aborts the service and starts
  # it again.
  mkdir -p "$root/etc/systemd/system/$unit.d"
  printf '%s\n' "[Service]" "WatchdogSec=2s" "RestartSec=1s" >"$root/etc/systemd/system/$unit.d/watchdog.conf"
  inside systemctl daemon-reload
  inside systemctl restart "$unit"
  stopped=$(show MainPID)
  inside systemctl kill --kill-who=main --signal=SIGSTOP "$unit"
  for _ in $(seq 200); do
    [ "$(show NRestarts)" -ge 1 ] && [ "$(show ActiveState)" = active ] && break
    sleep 0.1
  done
  grep -E "Watchdog|SIGABRT|restart counter" <<<"$(journal)" || true
  [ "$(show NRestarts)" -ge 1 ] || fail "the watchdog did not restart the stopped $unit"
  [ "$(show ActiveState)" = active ] && [ "$(show MainPID)" != "$stopped" ] ||
    fail "$unit is not active again after the watchdog: $(show ActiveState)"
  echo "Stopped with SIGSTOP, restarted by the watchdog: $(show NRestarts) restart(s)"
  main=$(show MainPID)
  inside systemctl stop "$unit"
  # journald takes the service's own lines from a stream of their own, after systemd's maybe.
  for _ in $(seq 50); do
    last=$(inside journalctl "_PID=$main" -o cat | tail -1)
    [ "$last" = "stopped" ] && break
    sleep 0.1
  done
  [ "$last/$(show ExecMainStatus)" = "stopped/0" ] ||
    fail "$unit did not stop as SIGTERM stops it: '$last', status $(show ExecMainStatus)"
  echo "systemctl stop: $last, status 0"
fi
halt_container
rm -rf --one-file-system "$root" "$root.log" "$root.install.log" "$root.systemd.log" "$root.boot.log"
root=""
echo "In $((SECONDS - started_at)) s"

step "Install with apt, as an upgrade from the one package of older versions"
# Up to this version one package, mero-control, held the service's files too. One like it, of
# an older version, is installed first, so that apt upgrades it to the two: mero-ctl takes its
# files over (Replaces) and the panel is upgraded with it (Breaks). Whatever an earlier run
# left goes first, the one package of this same version too, which dpkg cannot tell from the
# new panel.
mapfile -t installed < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' mero-control mero-ctl \
  2>/dev/null | awk '$2 != "not-installed" {print $1}')
if ((${#installed[@]})); then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq "${installed[@]}"
fi
scratch=$(mktemp -d)
old=$scratch/old
mkdir -p "$old/DEBIAN" "$old/usr/bin" "$old/etc/mero-control" "$old/lib/systemd/system"
printf '#!/bin/sh\n' >"$old/usr/bin/mero-virtual-projector"
chmod 755 "$old/usr/bin/mero-virtual-projector"
: >"$old/lib/systemd/system/mero-control-serve.service"
cp data/serve.conf "$old/etc/mero-control/serve.conf"
echo /etc/mero-control/serve.conf >"$old/DEBIAN/conffiles"
printf '%s\n' "Package: mero-control" "Version: 0.1" "Architecture: all" \
  "Maintainer: check-package <check-package@example.org>" \
  "Description: the one package of older versions, with the service's files" >"$old/DEBIAN/control"
dpkg-deb --build --root-owner-group "$old" "$scratch/mero-control_0.1_all.deb" >/dev/null
DEBIAN_FRONTEND=noninteractive $sudo dpkg -i "$scratch/mero-control_0.1_all.deb" >/dev/null
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "./$ctl_deb" "./$panel_deb"
[ "$(dpkg-query -W -f='${Version}' mero-control)" = "$version" ] || fail "mero-control was not upgraded"
for file in /usr/bin/mero-virtual-projector /etc/mero-control/serve.conf \
  /lib/systemd/system/mero-control-serve.service; do
  [ "$(dpkg -S "$file" | cut -d: -f1)" = mero-ctl ] || fail "$file is not mero-ctl's: $(dpkg -S "$file")"
done
# The old package's record of the configuration file stays, as obsolete, with the panel:
# purging the panel leaves the file to mero-ctl.
DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq mero-control >/dev/null
[ -f /etc/mero-control/serve.conf ] || fail "purging the panel removed mero-ctl's serve.conf"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "./$panel_deb" >/dev/null
echo "mero-control 0.1 upgraded to mero-ctl and mero-control $version; purging the panel keeps serve.conf"
for program in mero-control mero-ctl; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin's"
done
said=$(ldd /usr/bin/mero-ctl)
if grep -E 'libQt6(Gui|Widgets)|libfontconfig|libX11|libxcb|libwayland' <<<"$said"; then
  fail "/usr/bin/mero-ctl links the display libraries above"
fi
echo "/usr/bin/mero-ctl links no display, font or widget library"

step "Version"
for program in mero-control mero-ctl mero-virtual-projector; do
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

step "The service's unit: installed, valid and not enabled"
unit=/lib/systemd/system/mero-control-serve.service
[ -f "$unit" ] || fail "$unit is not installed"
[ "$(dpkg -S "$unit" | cut -d: -f1)" = mero-ctl ] || fail "$unit is not mero-ctl's"
grep -qx "ExecStart=/usr/bin/mero-ctl serve --config /etc/mero-control/serve.conf" "$unit" ||
  fail "the unit does not run /usr/bin/mero-ctl serve --config /etc/mero-control/serve.conf"
# What the service needs of its confinement: the serial devices (group dialout, not hidden by
# a private /dev) and the lock directory that serial programs share.
for setting in DynamicUser=yes SupplementaryGroups=dialout ReadWritePaths=/run/lock DevicePolicy=closed \
  "DeviceAllow=char-ttyUSB rw"; do
  grep -qx "$setting" "$unit" || fail "the unit has no $setting"
done
grep -q "^PrivateDevices=yes" "$unit" && fail "the unit hides the serial devices (PrivateDevices)"
# verify fails on a command that cannot run; a key it does not know it only mentions, and that
# fails here too.
said=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify $unit: $said"
[ -z "$said" ] || fail "systemd-analyze verify $unit: $said"
echo "systemd-analyze verify $unit: no remarks"
# Enabling makes a link to the unit under /etc/systemd/system, which systemctl reads without a
# running systemd too. The package's preset keeps `systemctl preset` (and a first boot's
# presets) from enabling it, where Debian's own presets enable what they do not name.
unit_links() { find /etc/systemd/system -name 'mero-control-serve*'; }
[ -z "$(unit_links)" ] || fail "the service is enabled after installing: $(unit_links)"
state=$(systemctl is-enabled mero-control-serve.service || true)
[ "$state" = disabled ] || fail "systemctl is-enabled mero-control-serve: $state"
systemctl preset mero-control-serve.service
[ -z "$(unit_links)" ] || fail "systemctl preset enables the service: $(unit_links)"
if [ -d /run/systemd/system ]; then
  systemctl is-active --quiet mero-control-serve.service && fail "the service runs after installing"
fi
echo "Installed, not enabled, and not by its preset either"

step "The service's configuration file as shipped"
config=/etc/mero-control/serve.conf
dpkg-query -W -f='${Conffiles}' mero-ctl | grep -q "^ $config " || fail "$config is not a conffile"
cmp "$config" /usr/share/doc/mero-ctl/examples/serve.conf ||
  fail "the example under /usr/share/doc/mero-ctl differs from $config"
# It names no projector: the service refuses it in one plain line, and so touches no device;
# the panel's name, which hands serve on, says the same.
for program in mero-ctl mero-control; do
  status=0
  said=$("$program" serve --check --config "$config" 2>&1) || status=$?
  echo "$program: $said"
  [ "$status" -eq 1 ] || fail "$program serve --check took the shipped file (status $status)"
  [ "$(wc -l <<<"$said")" -eq 1 ] || fail "$program serve --check says more than one line"
  grep -q "^mero-control serve: $config:[0-9]*: names no projector" <<<"$said" ||
    fail "$program serve --check does not refuse the shipped file for naming no projector"
done
# Every key the service knows, as its refusal of an unknown one lists them, has its example
# there; and its commented-out lines, taken in, make a valid file of one projector.
keys=()
for section in service projector; do
  printf '[%s]\nnot-a-key = 1\n' "$section" >"$scratch/keys.conf"
  said=$(mero-ctl serve --check --config "$scratch/keys.conf" 2>&1) &&
    fail "serve --check took an unknown key of [$section]"
  listed=$(sed -n 's/.*is not a key of .*(\(.*\))$/\1/p' <<<"$said")
  [ -n "$listed" ] || fail "serve does not list the keys of [$section]: $said"
  IFS=', ' read -ra more <<<"$listed"
  keys+=("${more[@]}")
done
echo "Keys: ${keys[*]}"
for key in "${keys[@]}"; do
  grep -q "^;$key = " "$config" || fail "$config has no example of $key"
done
# Taken in as one file: the password from the file itself, as the other two ways name a file
# and a credential this machine does not have, and a projector takes one of the three; the
# web page's token, which only a file or a credential gives, left out for the same reason.
sed -n 's/^;\(\[[a-z-]*\]\)$/\1/p; /^;\(password\|token\)-\(file\|credential\) = /d; s/^;\([a-z-]* = .*\)$/\1/p' \
  "$config" >"$scratch/taken-in.conf"
said=$(mero-ctl serve --check --config "$scratch/taken-in.conf" 2>&1) ||
  fail "the example of $config, taken in, is refused: $said"
[ "$(head -n 1 <<<"$said")" = "$scratch/taken-in.conf: 1 projectors" ] ||
  fail "the example, taken in: $said"
echo "Its example, taken in: 1 projector"

step "The service on a virtual projector: PJLink, metrics, SIGHUP and SIGTERM"
mero-virtual-projector --link "$scratch/projector" >"$scratch/projector.log" 2>&1 &
started+=($!)
for _ in $(seq 50); do
  [ -e "$scratch/projector" ] && break
  sleep 0.1
done
[ -e "$scratch/projector" ] || fail "mero-virtual-projector made no device"
# Ports of their own, away from the defaults that an installed service may hold.
pjlink_port=$((20000 + RANDOM % 20000))
metrics_port=$((pjlink_port + 1))
printf '%s\n' "[service]" "metrics = 127.0.0.1:$metrics_port" "poll-interval = 5" "" \
  "[stage]" "address = $scratch/projector" "name = Stage left" "pjlink = 127.0.0.1:$pjlink_port" \
  >"$scratch/serve.conf"
log=$scratch/serve.log
mero-ctl serve --config "$scratch/serve.conf" >"$log" 2>&1 &
serve_pid=$!
started+=("$serve_pid")
for _ in $(seq 100); do
  grep -q "metrics on" "$log" && break
  kill -0 "$serve_pid" 2>/dev/null || break
  sleep 0.1
done
cat "$log"
grep -q "^mero-control serve: \[stage\] PJLink on 127.0.0.1:$pjlink_port for " "$log" ||
  fail "the service does not say where it serves PJLink"
# One PJLink connection: the greeting, then each request and its answer.
pjlink() {
  local greeting answer request
  exec 3<>"/dev/tcp/127.0.0.1/$pjlink_port"
  IFS= read -r -t 5 -d $'\r' greeting <&3 || true
  echo "greeting: $greeting"
  for request in "$@"; do
    printf '%%1%s\r' "$request" >&3
    answer=""
    IFS= read -r -t 5 -d $'\r' answer <&3 || true
    echo "$request: $answer"
  done
  exec 3<&-
}
answers=$(pjlink "NAME ?" "POWR ?" "CLSS ?" "XXXX ?")
echo "$answers"
grep -qx "greeting: PJLINK 0" <<<"$answers" || fail "no PJLink greeting"
grep -qx "NAME ?: %1NAME=Stage left" <<<"$answers" || fail "NAME ? is not answered with the name"
grep -qx "POWR ?: %1POWR=0" <<<"$answers" || fail "POWR ? is not answered with stand-by"
grep -qx "CLSS ?: %1CLSS=1" <<<"$answers" || fail "CLSS ? is not answered with 1"
grep -qx "XXXX ?: %1XXXX=ERR1" <<<"$answers" || fail "an unknown command is not answered ERR1"
metrics=$(curl -fsS "http://127.0.0.1:$metrics_port/metrics") || fail "no metrics page"
grep -qx 'mero_projector_line_up{projector="stage"} 1' <<<"$metrics" || fail "the line is not up in the metrics"
grep -qx 'mero_projector_pjlink_requests_total{projector="stage"} 4' <<<"$metrics" ||
  fail "the PJLink requests are not counted"
promtool check metrics <<<"$metrics" || fail "promtool does not take the metrics page"
echo "promtool check metrics: taken"
promtool check rules /usr/share/doc/mero-ctl/examples/mero-control.rules.yml ||
  fail "promtool does not take the installed alert rules"
# The page and the API come from the installed program itself, with nothing beside it.
curl -fsS "http://127.0.0.1:$metrics_port/" | grep -q "<title>Projectors" || fail "no web page"
curl -fsS "http://127.0.0.1:$metrics_port/api/v1/projectors" | grep -q '"id":"stage"' ||
  fail "the API does not list the projector"
curl -fsS "http://127.0.0.1:$metrics_port/api/v1/openapi.json" |
  cmp - /usr/share/doc/mero-ctl/examples/openapi.json ||
  fail "the API document served is not the one installed"
echo "the web page and the API: served"
# The README's scrape configuration, as Prometheus reads it.
sed -n '/^    scrape_configs:/,/^$/s/^    //p' README.md >"$scratch/prometheus.yml"
grep -q "job_name: mero-control" "$scratch/prometheus.yml" || fail "the README has no scrape configuration"
promtool check config "$scratch/prometheus.yml"
# A file with a mistake is not taken on SIGHUP, and the projector stays served.
echo "not-a-key = 1" >>"$scratch/serve.conf"
kill -HUP "$serve_pid"
for _ in $(seq 50); do
  grep -q "not reloaded" "$log" && break
  sleep 0.1
done
grep -q "^mero-control serve: not reloaded: $scratch/serve.conf:[0-9]*: not-a-key" "$log" ||
  fail "a mistake is not logged as not reloaded on SIGHUP"
pjlink "NAME ?" | grep -qx "NAME ?: %1NAME=Stage left" || fail "no PJLink after the SIGHUP"
kill -TERM "$serve_pid"
status=0
wait "$serve_pid" || status=$?
cat "$log"
[ "$status" -eq 0 ] || fail "the service ended with status $status on SIGTERM"
tail -1 "$log" | grep -qx "mero-control serve: stopped" || fail "the service did not say it stopped"
echo "Served, kept its configuration through a mistake, stopped with status 0"

step "Manual pages"
# The changelog points to the README: both are shipped.
for package in mero-ctl mero-control; do
  for doc in copyright changelog.gz README.md; do
    [ -f "/usr/share/doc/$package/$doc" ] || fail "/usr/share/doc/$package/$doc is not installed"
  done
  zcat "/usr/share/doc/$package/changelog.gz" | grep -q "^$package ($version)" ||
    fail "the changelog of $package is not of $package $version"
  zcat "/usr/share/doc/$package/changelog.gz" | grep -q "/usr/share/doc/$package/README.md" ||
    fail "the changelog of $package does not point to its README"
done

for page in mero-control.1 mero-ctl.1 mero-virtual-projector.1 mero-control-serve.1 mero-control-serve.conf.5; do
  file=/usr/share/man/man${page##*.}/$page.gz
  [ -f "$file" ] || fail "$file is not installed"
  text=$(MANWIDTH=80 man -l "$file")
  grep -q "^mero-control $version " <<<"$text" || fail "$page does not render with $version"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
[ "$(man -w mero-control)" = /usr/share/man/man1/mero-control.1.gz ] || fail "man does not find mero-control"
[ "$(man -w mero-ctl)" = /usr/share/man/man1/mero-ctl.1.gz ] || fail "man does not find mero-ctl"
[ "$(man -w mero-control-serve)" = /usr/share/man/man1/mero-control-serve.1.gz ] ||
  fail "man does not find mero-control-serve"
[ "$(man -w 5 mero-control-serve.conf)" = /usr/share/man/man5/mero-control-serve.conf.5.gz ] ||
  fail "man does not find mero-control-serve.conf in section 5"
text=$(MANWIDTH=80 man mero-control)
head -12 <<<"$text"
grep -q "mero-control serve \[--config FILE\] \[--check\]" <<<"$text" ||
  fail "the synopsis of mero-control(1) has no serve"
for page in "mero-ctl(1)" "mero-control-serve(1)"; do
  sed -n '/^SEE ALSO/,$p' <<<"$text" | grep -qF "$page" || fail "mero-control(1) does not point to $page"
done
text=$(MANWIDTH=80 man mero-ctl)
grep -q "mero-ctl serve \[--config FILE\] \[--check\]" <<<"$text" || fail "the synopsis of mero-ctl(1) has no serve"
grep -q "^HEADLESS COMMANDS" <<<"$text" || fail "mero-ctl(1) does not describe query and send"

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
for program in mero-control mero-ctl mero-virtual-projector; do
  bash -c "source /usr/share/bash-completion/completions/$program && complete -p $program"
done
# What completion offers for the last of the words given, after the program's name, one a
# line. Its readers take the whole list (grep -x >/dev/null, not -q): a grep that stops at the
# first match breaks the pipe under the writer, which pipefail counts as a failure.
completes() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    source "/usr/share/bash-completion/completions/$1"
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    "$(complete -p "$1" | sed "s/.* -F \([^ ]*\) .*/\1/")" "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$@"
}
completes mero-control -- | grep -x -- --list-ports >/dev/null || fail "no completion of mero-control --list-ports"
completes mero-control se | grep -x serve >/dev/null || fail "no completion of mero-control serve"
completes mero-control serve --c | grep -x -- --check >/dev/null || fail "serve does not offer --check"
completes mero-control serve --c | grep -x -- --config >/dev/null || fail "serve does not offer --config"
completes mero-control serve -- | grep -x -- --com1 >/dev/null && fail "serve offers --com1"
completes mero-virtual-projector --war | grep -x -- --warm-up >/dev/null ||
  fail "no completion of mero-virtual-projector --warm-up"
completes mero-virtual-projector --dev | grep -x -- --device >/dev/null ||
  fail "no completion of mero-virtual-projector --device"
# Each position offers only what it takes: --raw belongs to send, and its text is the user's.
completes mero-control query status -- | grep -x -- --raw >/dev/null && fail "query offers --raw"
completes mero-control send --r | grep -x -- --raw >/dev/null || fail "send does not offer --raw"
[ -z "$(completes mero-control send --raw /dev/)" ] || fail "send --raw offers devices for its text"
# mero-ctl: its commands and theirs, and nothing of the panel.
completes mero-ctl se | grep -x serve >/dev/null || fail "no completion of mero-ctl serve"
completes mero-ctl serve --c | grep -x -- --check >/dev/null || fail "mero-ctl serve does not offer --check"
completes mero-ctl query sta | grep -x status >/dev/null || fail "mero-ctl query does not offer the status names"
completes mero-ctl send --r | grep -x -- --raw >/dev/null || fail "mero-ctl send does not offer --raw"
completes mero-ctl -- | grep -x -- --list-ports >/dev/null && fail "mero-ctl offers the panel's --list-ports"

passed=$((passed + 1))
printf '\ncheck-package: the package passed every check\n%d passed, 0 failed\n' "$passed"

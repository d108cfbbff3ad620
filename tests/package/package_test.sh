#!/usr/bin/env bash
# package_test.sh CHECK DEB: one check of the Debian package; exits 1 naming
# each failure, 77 (skipped) where the machine cannot run it.
# shellcheck disable=SC2015 # "A && B || fail": a failure when either does not hold
set -uo pipefail
check=$1 deb=$(realpath "$2") failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
[[ $check == *Install* || $check == *Service* ]] && [ "$(id -u)" -ne 0 ] && { echo "SKIP: needs root" >&2; exit 77; }

case "$check" in
HoldsItsFiles)
  diff -u - <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | LC_ALL=C sort) <<'FILES' || fail "files or modes differ"
-rw-r--r-- ./lib/systemd/system/veltrane-item@.service
-rw-r--r-- ./lib/systemd/system/veltrane-item@.timer
-rw-r--r-- ./lib/systemd/system/veltrane.service
-rw-r--r-- ./opt/veltrane/libHoistline.so
-rw-r--r-- ./opt/veltrane/libSendwick.so
-rw-r--r-- ./usr/share/applications/veltrane.desktop
-rw-r--r-- ./usr/share/bash-completion/completions/veltrane
-rw-r--r-- ./usr/share/doc/veltrane/README.Debian
-rw-r--r-- ./usr/share/doc/veltrane/changelog.gz
-rw-r--r-- ./usr/share/doc/veltrane/copyright
-rw-r--r-- ./usr/share/doc/veltrane/examples/veltrane-alerts.yml
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/veltrane.svg
-rw-r--r-- ./usr/share/lintian/overrides/veltrane
-rw-r--r-- ./usr/share/man/man1/veltrane.1.gz
-rwxr-xr-x ./opt/veltrane/veltrane
-rwxr-xr-x ./opt/veltrane/veltrane-window
lrwxrwxrwx ./usr/bin/veltrane
FILES
  depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | awk '{ print $1 }')
  for pkg in libqt6widgets6 libcurl4 libsystemd0 fonts-nanum adduser; do
    grep -qx "$pkg" <<<"$depends" || fail "Depends lacks $pkg"
  done
  ;;
PassesLinters)
  lintian --fail-on error --info "$deb" || fail "lintian reports errors"
  # lintian reads little of a menu entry, and a faulty one may never show.
  unpacked=$(mktemp -d) && trap 'rm -rf "$unpacked"' EXIT
  dpkg-deb -x "$deb" "$unpacked"
  desktop-file-validate "$unpacked/usr/share/applications/veltrane.desktop" || fail "menu entry"
  ;;
InstallsIntoScratchRoot)
  root=$(mktemp -d) && trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && : >"$root/var/lib/dpkg/status"
  accounts=$(cat /etc/passwd /etc/group)
  # The maintainer scripts run here (--force-script-chrootless); told by
  # DPKG_ROOT that the package goes elsewhere, they must leave this machine be.
  dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" || fail "dpkg -i --root"
  [ -x "$root/opt/veltrane/veltrane" ] && [ -f "$root/lib/systemd/system/veltrane.service" ] ||
    fail "files missing from the scratch root"
  [ "$accounts" = "$(cat /etc/passwd /etc/group)" ] || fail "installing elsewhere changed this machine's users"
  ;;
SetsUpAndRemovesTheService)
  # On a private copy of the system: overlays in a mount namespace of our own.
  scratch=$(mktemp -d) && trap 'rmdir "$scratch"' EXIT
  unshare --mount true 2>/dev/null || { echo "SKIP: no mount namespace" >&2; exit 77; }
  unshare --mount --propagation private "$0" InCopyOfSystem "$deb" "$scratch"
  exit $?
  ;;
InCopyOfSystem)
  mount -t tmpfs scratch "$3" || exit 77
  for dir in etc var usr opt lib; do
    [ -L "/$dir" ] && continue
    mkdir "$3/$dir" "$3/$dir.work"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$3/$dir,workdir=$3/$dir.work" "/$dir" || exit 77
  done
  mount -t tmpfs run /run || exit 77 # no running systemd, as in a container or chroot
  folder=/var/lib/veltrane wants=/etc/systemd/system/multi-user.target.wants/veltrane.service
  status() { dpkg-query -W -f='${Status}' veltrane 2>/dev/null; }

  dpkg -i --force-depends "$deb" >/dev/null && [ "$(status)" = "install ok installed" ] || fail "install"
  IFS=: read -r _ _ uid _ _ home shell < <(getent passwd veltrane)
  ((${uid:-0} > 0 && uid < 1000)) && [ "$home:$shell" = "$folder:/usr/sbin/nologin" ] ||
    fail "system user veltrane: ${uid:-none}:${home:-}:${shell:-}"
  [ "$(id -gn veltrane)" = veltrane ] || fail "user veltrane is not in group veltrane"
  [ "$(stat -c '%U:%G %a' "$folder")" = "veltrane:veltrane 2775" ] || fail "$folder: $(stat -c '%U:%G %a' "$folder")"
  [ -L "$wants" ] || fail "the service is not enabled"
  # systemd-analyze only warns of unknown or wrong settings: any word about
  # the unit is a failure.
  verdict=$(systemd-analyze verify --man=no veltrane.service veltrane-item@1.service veltrane-item@1.timer 2>&1) ||
    fail "systemd-analyze: $verdict"
  grep veltrane <<<"$verdict" >&2 && fail "systemd-analyze finds fault with the unit"
  # It tells systemd when it is ready, and feeds a watchdog.
  unit=/lib/systemd/system/veltrane.service
  grep -qx 'Type=notify' "$unit" && grep -q '^WatchdogSec=[1-9]' "$unit" || fail "no Type=notify with a watchdog"

  echo schedule >"$folder/Schedule.dat"
  dpkg -i --force-depends "$deb" >/dev/null || fail "installing again"
  dpkg -r veltrane >/dev/null && [ "$(status)" = "deinstall ok config-files" ] || fail "remove"
  [ ! -e /opt/veltrane/veltrane ] && [ ! -e /lib/systemd/system/veltrane.service ] || fail "files left after remove"
  [ -f "$folder/Schedule.dat" ] || fail "remove deleted the schedule"
  dpkg -P veltrane >/dev/null || fail "purge"
  [ ! -e "$folder" ] && [ ! -L "$wants" ] || fail "folder or enabled service left after purge"

  # A purge removes Veltrane's own files only: a backup kept in the folder stays.
  dpkg -i --force-depends "$deb" >/dev/null || fail "installing for the second purge"
  mkdir -p "$folder/ORCL" && echo dump >"$folder/ORCL/SCOTT_20070305140709.DMP"
  echo schedule >"$folder/Schedule.dat" && echo log >"$folder/Veltrane.log"
  dpkg -P veltrane >/dev/null 2>&1 || fail "second purge"
  [ -f "$folder/ORCL/SCOTT_20070305140709.DMP" ] || fail "purge deleted a backup"
  [ ! -e "$folder/Schedule.dat" ] && [ ! -e "$folder/Veltrane.log" ] || fail "purge left Veltrane's files"
  ;;
*) echo "no check $check" >&2 && exit 2 ;;
esac
[ "$failures" -eq 0 ]

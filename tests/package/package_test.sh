#!/usr/bin/env bash
# package_test.sh CHECK DEB: one check of the Debian package. Exits 0 when it
# holds, 1 with each failure named, 77 (skipped) where the machine cannot run
# it (not root, no mount namespaces).
set -uo pipefail
check=$1
deb=$(realpath "$2")
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need_root() {
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: installing needs root" >&2; exit 77; }
}
files_of() { dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort; }

expected_files='-rw-r--r-- ./lib/systemd/system/veltrane.service
-rw-r--r-- ./opt/veltrane/libHoistline.so
-rw-r--r-- ./opt/veltrane/libSendwick.so
-rw-r--r-- ./usr/share/applications/veltrane.desktop
-rw-r--r-- ./usr/share/doc/veltrane/README.Debian
-rw-r--r-- ./usr/share/doc/veltrane/changelog.gz
-rw-r--r-- ./usr/share/doc/veltrane/copyright
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/veltrane.svg
-rw-r--r-- ./usr/share/lintian/overrides/veltrane
-rwxr-xr-x ./opt/veltrane/veltrane
-rwxr-xr-x ./opt/veltrane/veltrane-window'

case "$check" in
HoldsItsFiles)
  diff -u <(sort <<<"$expected_files") <(files_of) || fail "the package's files or their modes differ"
  depends=$(dpkg-deb -f "$deb" Depends)
  for pkg in libqt6widgets6 libcurl4 fonts-nanum adduser; do
    tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | grep -qx "$pkg" || fail "Depends lacks $pkg: $depends"
  done
  ;;

PassesLinters)
  lintian --fail-on error --info "$deb" || fail "lintian reports errors"
  # lintian reads little of a menu entry, and a faulty one may never show.
  unpacked=$(mktemp -d)
  trap 'rm -rf "$unpacked"' EXIT
  dpkg-deb -x "$deb" "$unpacked"
  desktop-file-validate "$unpacked/usr/share/applications/veltrane.desktop" ||
    fail "the menu entry is not valid"
  ;;

InstallsIntoScratchRoot)
  need_root
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  accounts=$(cat /etc/passwd /etc/group)
  # The maintainer scripts run here, outside the scratch root
  # (--force-script-chrootless); told so by DPKG_ROOT, they must leave this
  # machine's users and services alone.
  dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" || fail "dpkg -i --root failed"
  status=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' veltrane)
  [ "$status" = "install ok installed" ] || fail "status in the scratch root: $status"
  while read -r _ path; do
    [ -f "$root/$path" ] || fail "$path is not in the scratch root"
  done < <(files_of)
  [ "$accounts" = "$(cat /etc/passwd /etc/group)" ] || fail "installing elsewhere changed this machine's users"
  ;;

SetsUpAndRemovesTheService)
  need_root
  # A private copy of the system: /etc, /var, /usr, /opt (and /lib when it is
  # no link) as overlays in a mount namespace of our own, and an empty /run,
  # so that systemd counts as absent as in a container or a chroot.
  scratch=$(mktemp -d)
  trap 'rmdir "$scratch"' EXIT
  unshare --mount true 2>/dev/null || { echo "SKIP: no mount namespace" >&2; exit 77; }
  unshare --mount --propagation private "$0" InCopyOfSystem "$deb" "$scratch"
  exit $?
  ;;

InCopyOfSystem)
  scratch=$3
  mount -t tmpfs scratch "$scratch" || exit 77
  for dir in etc var usr opt lib; do
    [ -L "/$dir" ] && continue
    mkdir "$scratch/$dir" "$scratch/$dir.work"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$scratch/$dir,workdir=$scratch/$dir.work" "/$dir" ||
      { echo "SKIP: no overlay of /$dir" >&2; exit 77; }
  done
  mount -t tmpfs run /run || exit 77
  folder=/var/lib/veltrane
  wants=/etc/systemd/system/multi-user.target.wants/veltrane.service
  status() { dpkg-query -W -f='${Status}' veltrane 2>/dev/null; }

  dpkg -i --force-depends "$deb" >/dev/null || fail "dpkg -i failed"
  [ "$(status)" = "install ok installed" ] || fail "after install: $(status)"
  IFS=: read -r _ _ uid _ _ home shell < <(getent passwd veltrane)
  (( ${uid:-0} > 0 && uid < 1000 )) || fail "no system user veltrane (uid ${uid:-none})"
  [ "${home:-}:${shell:-}" = "$folder:/usr/sbin/nologin" ] || fail "user veltrane: ${home:-}:${shell:-}"
  [ "$(id -gn veltrane 2>/dev/null)" = veltrane ] || fail "user veltrane is not in group veltrane"
  [ "$(stat -c '%U:%G %a' "$folder" 2>&1)" = "veltrane:veltrane 2775" ] ||
    fail "$folder: $(stat -c '%U:%G %a' "$folder" 2>&1)"
  [ -L "$wants" ] || fail "the service is not enabled"
  # systemd-analyze passes a unit with unknown or wrong settings (warning
  # only): any word about the unit is a failure.
  verdict=$(systemd-analyze verify --man=no veltrane.service 2>&1)
  verify_status=$?
  grep veltrane <<<"$verdict" >&2 && fail "systemd-analyze finds fault with the unit"
  [ "$verify_status" -eq 0 ] || fail "systemd-analyze verify: $verdict"

  echo schedule >"$folder/Schedule.dat"
  dpkg -i --force-depends "$deb" >/dev/null || fail "installing again failed"
  dpkg -r veltrane >/dev/null || fail "dpkg -r failed"
  [ "$(status)" = "deinstall ok config-files" ] || fail "after remove: $(status)"
  for gone in /opt/veltrane/veltrane /lib/systemd/system/veltrane.service; do
    [ ! -e "$gone" ] || fail "$gone is left after remove"
  done
  [ -f "$folder/Schedule.dat" ] || fail "remove deleted the schedule"
  dpkg -P veltrane >/dev/null || fail "dpkg -P failed"
  [ ! -e "$folder" ] || fail "$folder is left after purge"
  [ ! -L "$wants" ] || fail "the service is still enabled after purge"
  ;;

*)
  echo "package_test.sh: no check $check" >&2
  exit 2
  ;;
esac
[ "$failures" -eq 0 ]

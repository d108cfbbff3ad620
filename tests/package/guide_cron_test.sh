#!/usr/bin/env bash
# guide_cron_test.sh GUIDE: runs the guide's cron line as cron would (sh -c,
# umask 022, next to nothing in the environment), with the environment file
# and the program swapped for stand-ins; the program must get the file's
# values and leave files its group can write.
set -uo pipefail
guide=$1 scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
line=$(grep -m1 -E '^[0-9*]+ [0-9*]+ \* \* \* veltrane ' "$guide") || { echo "FAIL: no cron line" >&2; exit 1; }
command=$(cut -d' ' -f7- <<<"$line")
printf 'ORACLE_HOME=/u01/client\nNLS_LANG=KOREAN_KOREA.KO16MSWIN949\n' >"$scratch/oracle.env"
printf '#!/bin/sh\n{ umask; echo "args $*"; env; } >"%s/seen"\n' "$scratch" >"$scratch/veltrane"
chmod +x "$scratch/veltrane"
command=${command//\/etc\/veltrane\/oracle.env/$scratch/oracle.env}
command=${command//\/opt\/veltrane\/veltrane/$scratch/veltrane}
(umask 022 && env -i PATH=/usr/bin:/bin HOME="$scratch" sh -c "$command") || { echo "FAIL: $command" >&2; exit 1; }
failures=0
for want in 0007 'args --run-item 1 --folder /var/lib/veltrane' ORACLE_HOME=/u01/client \
  NLS_LANG=KOREAN_KOREA.KO16MSWIN949; do
  grep -qx -- "$want" "$scratch/seen" || { echo "FAIL: the program did not get $want" >&2; failures=1; }
done
exit $failures

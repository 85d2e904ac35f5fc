#!/usr/bin/env bash
# The shipped unit: its user, folders, restart rule and sandbox are there, systemd-analyze verify
# has nothing to say, and systemd-analyze security rates its exposure at most 2.0 (printed).
# Usage: unit_test.sh CONFIGURED_UNIT ORVANESCHED
set -u
unit=$1
sched=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for line in User=orvane StateDirectory=orvane RuntimeDirectory=orvane Restart=on-failure ProtectSystem=strict \
    NoNewPrivileges=yes PrivateTmp=yes EnvironmentFile=-/etc/default/orvanesched Environment=ORVANESCHED_DIR=/var/lib/orvane \
    Environment=ORVANE_RUNTIME_DIR=/run/orvane; do
    grep -qxF "$line" "$unit" || { echo "FAIL: the unit lacks $line"; failed=1; }
done
# verify wants the program to exist; the man page is not installed here.
sed "s|^ExecStart=.*|ExecStart=$sched|" "$unit" >"$work/orvanesched.service"
out=$(systemd-analyze verify --man=no "$work/orvanesched.service" 2>&1) || { echo "FAIL: verify: $out"; failed=1; }
[ -z "$out" ] || { echo "FAIL: verify says: $out"; failed=1; }
if systemd-analyze security --help 2>&1 | grep -q -- --offline; then
    report=$(systemd-analyze security --offline=true "$work/orvanesched.service" 2>&1)
    score=$(printf '%s\n' "$report" | sed -n 's/.*Overall exposure level for orvanesched.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security: exposure $score"
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' || { echo "FAIL: exposure [$score] above 2.0"; failed=1; }
else
    echo "systemd-analyze security has no --offline here: not rated"
fi
exit $failed

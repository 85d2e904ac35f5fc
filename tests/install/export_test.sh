#!/usr/bin/env bash
# orvanesched -export: a schedule of tasks that can and cannot be exported; the timers and services
# pass systemd-analyze verify, the manifests the vendored CronJob/Secret schema, task data survives
# the quoting both ways, and every refused task leaves its reason and no file.
# Usage: export_test.sh ORVANESCHED ORVANEFTP SOURCE_DIR
set -u
sched=$1
ftp=$2
here=$3/tests/install
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

mkdir "$work/sched"
# A script with a password, a quote and a byte that is not UTF-8: the Secret carries bytes.
printf 'ftpconnect "h" 21 "u" "p\\"w\xff";\r\n' >"$work/sched/job.fscr"
cp "$work/sched/job.fscr" "$work/sched/my job.fscr"
/usr/bin/python3 - "$work/sched" "$ftp" <<'PY'
import sys
from datetime import datetime, timedelta
folder, ftp = sys.argv[1], sys.argv[2]
now = datetime.now().replace(microsecond=0)
def at(delta, **fields):
    return (now + delta).replace(**fields).strftime("%Y%m%d%H%M%S")
# On a quarter hour at least 20 minutes back, so the cron schedule is the same at any time of day.
quarter = now - timedelta(minutes=20)
quarter = quarter.replace(minute=quarter.minute // 15 * 15, second=0).strftime("%Y%m%d%H%M%S")
def task(first, interval, unit, program, args, out="", capture=0, append=0):
    return ["SCHTASK+!~*#$", "20260101000000", first, "1", str(interval), str(unit), "", "101", program,
            args, out, "1", str(capture), str(append), "0", "0", "0", "0", "", ""]
tasks = [
    task(at(-timedelta(days=1), hour=2, minute=30, second=0), 1, 13, "/bin/echo",
         'a "b c" %n $HOME ; -x \\"q', folder + "/out 100%.txt", 1, 1),
    task(at(-timedelta(hours=2)), 90, 15, "/bin/true", ""),
    task(at(-timedelta(days=40), day=31, month=1), 1, 11, "/bin/true", ""),
    task(quarter, 15, 15, ftp, '-s:job.fscr -q "\u00fc\u2028\x01"'),
    task(quarter, 15, 15, ftp, '-script "my job.fscr"'),
    task(at(timedelta(days=3), second=0), 15, 15, ftp, "-s:job.fscr"),
    task(at(-timedelta(days=3)), 1, 12, "/bin/true", "", folder + "/week.txt", 1, 0),
    task(at(-timedelta(seconds=5)), 15, 16, "/bin/true", ""),
]
lines = ["INIVER+!~*#$", "3"] + [line for t in tasks for line in t]
with open(folder + "/orvanesched.ssi", "w", newline="", encoding="utf-8") as f:
    f.write("\r\n".join(lines) + "\r\n")
PY

expect_refusals() {  # kind, stderr file, "N:reason" ...
    local kind=$1 err=$2
    shift 2
    for want in "$@"; do
        grep -q "^ERROR: Task ${want%%:*} (.*) is not exported: .*${want#*:}" "$err" ||
            fail "$kind: no refusal of task ${want%%:*} for \"${want#*:}\" in: $(cat "$err")"
    done
}

# systemd: tasks 2 (90 minutes) and 3 (the 31st) are refused; 6, three days ahead, waits for its first run.
# An earlier export left a timer of task 2 (then exportable) and the files of a task 12 since removed:
# they go, and nothing else in the folder does.
mkdir "$work/systemd"
stale="orvane-task-2-true.timer orvane-task-2-true.service orvane-task-12.service"
others="notes.txt orvane-task-x.timer orvane-task-3-a.yaml orvane-task-4-orvaneftp.timer.bak"
for f in $stale $others; do echo old >"$work/systemd/$f"; done
ORVANESCHED_DIR=$work/sched "$sched" -export systemd "$work/systemd" >"$work/out" 2>"$work/err"
[ $? -eq 1 ] || fail "systemd: exit code is not 1 with refused tasks"
expect_refusals systemd "$work/err" "2:same minutes and hours" "3:day 31 moves"
for f in $stale; do
    [ ! -e "$work/systemd/$f" ] || fail "systemd: the stale $f is still there"
    grep -q "^Removed $work/systemd/$f: it is not in this export$" "$work/err" || fail "systemd: no notice of $f"
done
for f in $others; do
    [ "$(cat "$work/systemd/$f" 2>/dev/null)" = old ] || fail "systemd: $f, not an export's, was touched"
    rm -f "$work/systemd/$f"
done
names=$(cd "$work/systemd" && ls | tr '\n' ' ')
want="orvane-task-1-echo.service orvane-task-1-echo.timer orvane-task-4-orvaneftp.service orvane-task-4-orvaneftp.timer orvane-task-5-orvaneftp.service orvane-task-5-orvaneftp.timer orvane-task-6-orvaneftp.service orvane-task-6-orvaneftp.timer orvane-task-7-true.service orvane-task-7-true.timer orvane-task-8-true.service orvane-task-8-true.timer "
[ "$names" = "$want" ] || fail "systemd files: [$names]"
verify=$(cd "$work/systemd" && systemd-analyze verify ./*.timer ./*.service 2>&1) || fail "systemd-analyze verify failed"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
grep -qxF 'ExecStart="/bin/echo" "a" "b c" "%%n" "$$HOME" "\x3b" "-x" "\"q"' "$work/systemd/orvane-task-1-echo.service" ||
    fail "ExecStart of task 1: $(grep ExecStart "$work/systemd/orvane-task-1-echo.service")"
grep -qxF "StandardOutput=append:$work/sched/out 100%%.txt" "$work/systemd/orvane-task-1-echo.service" ||
    fail "output of task 1: $(grep StandardOutput "$work/systemd/orvane-task-1-echo.service")"
grep -q "^StandardOutput=truncate:$work/sched/week.txt$" "$work/systemd/orvane-task-7-true.service" ||
    fail "a replaced output file is not truncate:"
grep -q '^ExecStart=.*"-q" "\\xc3\\xbc\\xe2\\x80\\xa8\\x01"$' "$work/systemd/orvane-task-4-orvaneftp.service" ||
    fail "non-ASCII and control bytes are not escaped: $(grep ExecStart "$work/systemd/orvane-task-4-orvaneftp.service")"
grep -q "^Persistent=true$" "$work/systemd/orvane-task-1-echo.timer" || fail "the timer is not Persistent"
[ "$(grep -c "^OnCalendar=" "$work/systemd/orvane-task-6-orvaneftp.timer")" -gt 1 ] ||
    fail "a first run days ahead is not waited for: $(grep OnCalendar "$work/systemd/orvane-task-6-orvaneftp.timer")"

# Kubernetes: only orvaneftp tasks on whole minutes go; 8 runs every 15 seconds, 1 and 7 are other programs.
ORVANESCHED_DIR=$work/sched "$sched" -export kubernetes "$work/k8s" >"$work/out" 2>"$work/err"
[ $? -eq 1 ] || fail "kubernetes: exit code is not 1 with refused tasks"
expect_refusals kubernetes "$work/err" "1:not orvaneftp" "2:same minutes and hours" "6:before its first run" \
    "8:whole minutes"
names=$(cd "$work/k8s" && ls | tr '\n' ' ')
[ "$names" = "orvane-task-4-orvaneftp.yaml orvane-task-5-orvaneftp.yaml " ] || fail "kubernetes files: [$names]"
/usr/bin/python3 "$here/kubernetes/validate_manifests.py" "$here/kubernetes/cronjob-batch-v1.schema.json" \
    "$work"/k8s/*.yaml || fail "a manifest does not validate"
/usr/bin/python3 - "$work" <<'PY' || failed=1
import base64, sys, yaml
work = sys.argv[1]
script = open(work + "/sched/job.fscr", "rb").read()
def docs(n):
    secret, cron = yaml.safe_load_all(open(f"{work}/k8s/orvane-task-{n}-orvaneftp.yaml", encoding="utf-8"))
    return secret, cron["spec"], cron["spec"]["jobTemplate"]["spec"]["template"]["spec"]
bad = []
secret, spec, pod = docs(4)
if spec["schedule"] != "0-59/15 * * * *": bad.append("schedule " + spec["schedule"])
if pod["containers"][0]["args"] != ["-s:/etc/orvane/task/task.fscr", "-q", "\u00fc\u2028\x01"]:
    bad.append("args " + repr(pod["containers"][0]["args"]))
if base64.b64decode(secret["data"]["task.fscr"]) != script: bad.append("the Secret's script differs")
if pod["volumes"][0]["secret"]["secretName"] != secret["metadata"]["name"]: bad.append("the volume names another Secret")
secret, spec, pod = docs(5)
if pod["containers"][0]["args"] != ["-script", "/etc/orvane/task/task.fscr"]:
    bad.append("args of -script " + repr(pod["containers"][0]["args"]))
for b in bad: print("FAIL:", b)
sys.exit(1 if bad else 0)
PY
exit $failed

#!/usr/bin/env bash
# The built man pages pass mandoc's lint (errors) and groff's warnings (all of them).
# Usage: man_lint.sh MAN_DIR PAGE...
set -u
dir=$1
shift
failed=0
for page in "$@"; do
    file=$dir/$page
    if [ ! -s "$file" ]; then
        echo "missing: $file (build the orvane_man target)"
        failed=1
        continue
    fi
    mandoc -T lint -W error "$file" || failed=1
    warnings=$(groff -man -Tutf8 -ww -z "$file" 2>&1)
    if [ -n "$warnings" ]; then
        echo "$warnings"
        failed=1
    fi
    # The NAME line is what apropos and whatis index.
    name=${page%.*}
    LC_ALL=C MANWIDTH=80 man -l "$file" 2>/dev/null | grep -Eq "^ *$name +- " || { echo "$page: no NAME line for $name"; failed=1; }
done
exit $failed

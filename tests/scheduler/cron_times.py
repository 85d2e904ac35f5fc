#!/usr/bin/python3
"""Reads lines "CRON<TAB>BASE" (BASE: seconds since 1970, UTC) and prints for each the next 50
times after BASE by croniter, as seconds since 1970, blank-separated: an independent reading of
the cron schedules the exporter writes."""
import sys
from datetime import datetime, timezone

from croniter import croniter

for line in sys.stdin:
    expr, base = line.rstrip("\n").split("\t")
    it = croniter(expr, datetime.fromtimestamp(int(base), timezone.utc))
    print(" ".join(str(int(it.get_next(datetime).timestamp())) for _ in range(50)))

#!/usr/bin/env bash
# The bench jobs' figures in one command: each tools/bench/figure-*.sh prints its
# job's time against the virtual unit paced at 38400 baud beside the wire floor
# (every byte both ways at 3,840 bytes/s plus the job's own fixed pauses), as a
# ratio, natively and under Wine. Needs the native and win64 trees built
# (scripts/test.sh builds them). A figure, not a test: nothing here fails on speed.
#
#   bash tools/bench/job-figures.sh            every figure
#   bash tools/bench/job-figures.sh NAME...    only figure-NAME.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
if [ $# -gt 0 ]; then
  scripts=()
  for n in "$@"; do scripts+=("tools/bench/figure-$n.sh"); done
else
  scripts=(tools/bench/figure-*.sh)
fi
status=0
for s in "${scripts[@]}"; do
  [ -f "$s" ] || { echo "job-figures: no $s" >&2; status=2; continue; }
  echo "== $(basename "$s" .sh | sed 's/^figure-//')"
  bash "$s" || status=1
done
exit $status

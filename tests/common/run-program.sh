#!/bin/sh
# Runs a test program once with all its cases in one process, for the
# entries of its cases (case-result.sh) to report from:
#
#   run-program.sh RESULTS LIMIT COMMAND...
#
# COMMAND (the Wine wrapper and the program) runs in the folder of RESULTS
# with GoogleTest's report in RESULTS.xml; its output goes to RESULTS.log and
# how it ended to RESULTS.end. LIMIT is the time in seconds it may take; a run
# still going then is ended. The script fails only when it could not record
# the run: a failing case, a crash or a hang is for the case entries to tell.
results=$1 limit=$2
shift 2
cd "$(dirname "$results")" || exit 2
base=$(basename "$results")
rm -f "$base.xml" "$base.log" "$base.end" || exit 2
start=$(date +%s)
# The report is named relative to the folder: the program sees Windows paths.
timeout -k 10 "$limit" "$@" --gtest_output="xml:$base.xml" </dev/null >"$base.log" 2>&1
rc=$?
took=$(( $(date +%s) - start ))
case $rc in
  0) end="exit 0 after $took s" ;;
  1) end="exit 1 (a case failed) after $took s" ;;
  124 | 137) end="ended at its time limit of $limit s" ;;
  *) end="exit $rc after $took s" ;;
esac
# Exit 0 and 1 are GoogleTest's own ends; anything else is abnormal.
case $rc in 0 | 1) normal=yes ;; *) normal=no ;; esac
printf '%s\n%s\n' "$normal" "$end" >"$base.end" || exit 2
echo "all cases in one process: $end"
# The last lines, where a crash or a hang shows.
[ "$normal" = yes ] || tail -n 20 "$base.log"
exit 0

#!/bin/sh
# One test case's result, read from its program's single run
# (run-program.sh) instead of a run of its own:
#
#   case-result.sh RESULTS PROGRAM --gtest_filter=Suite.Case [ARG...]
#
# (the command line of a per-case entry, with this script in front). Prints
# the case's part of the program's output and exits 0 when GoogleTest's
# report says the case passed and the program ended as GoogleTest ends. A
# case missing from the report, a missing report or an abnormal end of the
# program fails, with how the program ended.
results=$1
shift 2
name=
for a; do
  case $a in --gtest_filter=*) name=${a#--gtest_filter=} ;; esac
done
if [ -z "$name" ]; then
  echo "case-result: no --gtest_filter=Suite.Case among: $*" >&2
  exit 2
fi
if [ ! -f "$results.end" ]; then
  echo "FAILED: the program's run left no record ($results.end): it did not run, or its runner was stopped"
  exit 1
fi
exec awk -v name="$name" -v xml="$results.xml" -v out="$results.log" -v endf="$results.end" '
function strip(s) { sub(/\r$/, "", s); return s }
function attr(line, key,   m) {
  if (match(line, " " key "=\"[^\"]*\"") == 0) return ""
  m = substr(line, RSTART + length(key) + 3, RLENGTH - length(key) - 4)
  return m
}
BEGIN {
  dot = index(name, ".")
  suite = substr(name, 1, dot - 1); test = substr(name, dot + 1)
  getline normal < endf; getline how < endf
  normal = strip(normal); how = strip(how)

  # The case in the report: found, its status and result, failures.
  found = 0; failed = 0; skipped = 0; inCase = 0; reportRead = 0
  while ((getline line < xml) > 0) {
    reportRead = 1
    line = strip(line)
    if (!inCase && line ~ /<testcase /) {
      if (attr(line, "name") == test && attr(line, "classname") == suite) {
        found = 1
        status = attr(line, "status"); result = attr(line, "result")
        if (line !~ /\/>$/) inCase = 1
      }
      continue
    }
    if (inCase) {
      if (line ~ /<\/testcase>/) { inCase = 0; continue }
      if (line ~ /<failure /) failed = 1
      if (line ~ /<skipped /) skipped = 1
      failure = failure line "\n"
    }
  }

  # The case in the output: from its start to its end line.
  runLine = "[ RUN      ] " name
  started = 0; ended = ""; part = ""
  while ((getline line < out) > 0) {
    line = strip(line)
    if (!started) {
      if (line == runLine) { started = 1; part = line "\n" }
      continue
    }
    part = part line "\n"
    if (line ~ /^\[ +(OK|FAILED|SKIPPED) +\] / && index(line, "] " name " (") > 0) {
      ended = line; break
    }
  }
  printf "%s", part

  if (!reportRead) {
    if (!started) print "FAILED: not run: the program ended before this case, " how
    else if (ended == "") print "FAILED: the program ended during this case, " how
    else if (ended ~ /^\[ +OK /) print "FAILED: the case passed, but the program then ended without its report: " how
    else print "FAILED: the program ended without its report: " how
    exit 1
  }
  if (!found) { print "FAILED: the case is not in the program'"'"'s report (" xml "), " how; exit 1 }
  if (status != "run" && !skipped) { print "FAILED: the program did not run the case (status " status "), " how; exit 1 }
  if (failed) {
    if (!started) printf "%s", failure
    exit 1
  }
  if (normal != "yes") {
    print "FAILED: the case passed, but the program then ended abnormally: " how
    exit 1
  }
  if (skipped || result == "skipped") print "skipped"
  exit 0
}'

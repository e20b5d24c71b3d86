#!/bin/bash
# Runs the Java example in a JVM under -Xcheck:jni, inside the folder that
# receives its traces and the peers' logs (those of an earlier run are
# removed). Fails when
# the example fails, when checked JNI reports a problem, when the JVM leaves
# a crash file, or when anything reaches standard error: the report on
# standard output is all that a run shows.
# usage: run_example.sh <java> <classes> <lib dir> <gw_peer> <ms_peer> <source dir> <folder>
set -u
java=$1 folder=$7
classes=$(realpath "$2") libdir=$(realpath "$3") gwpeer=$(realpath "$4") mspeer=$(realpath "$5") source=$(realpath "$6") || exit 2
mkdir -p "$folder" && cd "$folder" || exit 2
rm -f TOVNATIVE_*.TRC cpic.trc gw_peer.*.log ms_peer.* report.txt stderr.txt hs_err_*.log
# The library's trace at level 2 (full) into TOVNATIVE_<pid>.TRC here.
env -u TOVNATIVE_TRACE_DIR TOVNATIVE_TRACE=2 "$java" -Xcheck:jni -XX:ErrorFile="$PWD/hs_err_%p.log" \
  -Djava.library.path="$libdir" -Dexample.gwPeer="$gwpeer" -Dexample.msPeer="$mspeer" \
  -Dexample.source="$source" -cp "$classes" com.weq.example.TovExample 2>stderr.txt | tee report.txt
rc=${PIPESTATUS[0]}
fail=0
if grep -E "WARNING|FATAL ERROR in native method|Exception in thread" report.txt stderr.txt >/dev/null; then
  echo "checked JNI reported a problem"; fail=1
fi
# The JVM announces options taken from the environment on standard error.
if grep -v -E '^Picked up [A-Z_]+:' stderr.txt | grep -q .; then
  echo "standard error of the run:"; cat stderr.txt; fail=1
fi
if ls hs_err_*.log >/dev/null 2>&1; then head -60 hs_err_*.log; fail=1; fi
[ "$rc" -eq 0 ] || fail=1
exit $fail

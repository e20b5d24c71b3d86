#!/bin/bash
# Runs one JUnit selection in a fresh JVM under -Xcheck:jni and fails on a
# checked-JNI warning or fatal line, a crash file, or a non-zero exit; with
# expect or reject, also when the JVM's output lacks, or holds, that text.
# usage: run_java_test.sh <java> <junit jar> <classes> <lib dir> <lib name> <selector> [preload]
#                         [expect] [reject]
set -u
here=$(cd "$(dirname "$0")" && pwd)
java=$1 junit=$2 classes=$3 libdir=$4 libname=$5 select=$6 preload=${7:-} expect=${8:-} reject=${9:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
if [ -n "${TOVNATIVE_TRACE_DIR:-}" ]; then mkdir -p "$TOVNATIVE_TRACE_DIR"; fi
env=()
if [ -n "$preload" ]; then
  # The sanitizer runtime first; the JVM's own signals stay with the JVM.
  env=(LD_PRELOAD="$preload"
       ASAN_OPTIONS="detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_handler=1:use_sigaltstack=0:abort_on_error=1:suppressions=$here/jvm.asan.supp")
fi
env "${env[@]}" "$java" -Xcheck:jni -XX:ErrorFile="$work/hs_err_%p.log" \
  -Djava.library.path="$libdir" -Dtov.lib="$libname" \
  -Dtov.libpath="$libdir/lib$libname.so" -Dtov.classes="$classes" \
  -Dtov.source="$(cd "$here/../../../.." && pwd)" \
  -jar "$junit" --disable-banner --details=tree --fail-if-no-tests \
  -cp "$classes" $select >"$work/out.txt" 2>&1
rc=$?
cat "$work/out.txt"
fail=0
if [ $rc -ne 0 ]; then echo "java exited with $rc"; fail=1; fi
if grep -E "WARNING in native method|FATAL ERROR in native method|JNI warning|Exception in thread" "$work/out.txt" >/dev/null; then
  echo "checked JNI reported a problem"; fail=1
fi
if [ -n "$expect" ] && ! grep -F -- "$expect" "$work/out.txt" >/dev/null; then
  echo "missing from the output: $expect"; fail=1
fi
if [ -n "$reject" ] && grep -F -- "$reject" "$work/out.txt" >/dev/null; then
  echo "in the output: $reject"; fail=1
fi
if ls "$work"/hs_err_*.log >/dev/null 2>&1; then cat "$work"/hs_err_*.log | head -60; fail=1; fi
exit $fail

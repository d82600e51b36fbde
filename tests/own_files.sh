#!/bin/sh
# The package on a user's own files, the way a user runs it after
# `make demo`: tools/with-env started from folders outside the checkout, on a
# plot file outside it, by relative and by absolute path; a script that
# imports korvant and tavrel, and the `korvant` command.
#
# `make test` runs this where it was started, outside the build environment:
# tools/with-env cannot enter the environment from inside it.  It builds the
# release flavour first (what `make demo` builds and with-env's scripts use).
set -u
root=$(cd "$(dirname "$0")/.." && pwd -P)
with_env=$root/tools/with-env
work=$(mktemp -d /tmp/tavrel-own-files.XXXXXX)
trap 'rm -rf "$work"' EXIT
if ! (cd "$root" && "$with_env" tools/build release) >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  echo "own files: the release build failed"
  exit 1
fi
mkdir "$work/elsewhere"
cp "$root/examples/sample.plt" "$work/x.plt"
cat >"$work/script.py" <<'PY'
import sys

import korvant
import tavrel

plot = korvant.read(sys.argv[1])
first, others = tavrel.rust_read_korvant(sys.argv[1], 12)
print(len(plot), len(plot.names), plot.lead["STEP"][-1], plot.values[-1, 0] == first[-1], 1 + len(others))
PY

passed=0
failed=0
# check NAME FOLDER EXPECTED COMMAND...: runs COMMAND in FOLDER; passes when
# it succeeds and its output has the line EXPECTED.
check() {
  name=$1 folder=$2 expected=$3
  shift 3
  output=$(cd "$folder" && "$@" 2>&1)
  status=$?
  if [ $status -eq 0 ] && printf '%s\n' "$output" | grep -qxF -- "$expected"; then
    passed=$((passed + 1))
    echo "ok    $name"
  else
    failed=$((failed + 1))
    echo "FAIL  $name (exit $status; wanted the line '$expected')"
    printf '%s\n' "$output" | sed 's/^/      /'
  fi
}

check "script, relative paths" "$work" "400 24 400.0 True 24" \
  "$with_env" python3.14 script.py x.plt
check "script from another folder, absolute path" "$work/elsewhere" "400 24 400.0 True 24" \
  "$with_env" python3.14 ../script.py "$work/x.plt"
check "korvant command, relative path" "$work" "  timesteps   400" \
  "$with_env" korvant info x.plt
check "korvant command from /, absolute path" / "  parameters  24" \
  "$with_env" korvant info "$work/x.plt"
echo "own files: $passed passed, $failed failed"
[ $failed -eq 0 ]

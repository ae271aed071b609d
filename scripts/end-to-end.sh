#!/usr/bin/env bash
# The program's full default run, validated by cvt-check; and a run whose standard output cannot be
# written, which must fail with a clear message. Expects a built tree in $1 (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
output=$(mktemp)
trap 'rm -f "$output"' EXIT

start=$SECONDS
"$build/cvt" >"$output"
echo "end-to-end: cvt finished in $((SECONDS - start)) s"
"$build/cvt-check" "$output"

if "$build/cvt" >/dev/full 2>"$output"; then
  echo "end-to-end: cvt reported success although its output could not be written" >&2
  exit 1
fi
if ! grep -q "No space left on device" "$output"; then
  echo "end-to-end: unexpected message for a full disk: $(cat "$output")" >&2
  exit 1
fi
echo "end-to-end: a full disk is reported: $(cat "$output")"
echo "end-to-end: 2 passed, 0 failed"

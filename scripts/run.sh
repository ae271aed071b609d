#!/usr/bin/env bash
# Builds cvt and runs it; the 16,777,216 output lines go to standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build >&2
exec build/cvt "$@"

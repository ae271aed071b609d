#!/usr/bin/env bash
# Builds both backends and runs every test (the GPU tests skip where no GPU is present).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
cd build
ctest --output-on-failure -j "$(nproc)"

#!/usr/bin/env bash
# Builds both backends and runs every test: the unit tests of both backends (the GPU ones skip where
# no GPU is present), the Python module's tests and the programs under voxel spacing against SciPy
# (pytest), the simulation's tests again with every kernel simulated thread by thread (no host fast
# paths) and under AddressSanitizer and UndefinedBehaviorSanitizer, and the full default run checked
# end to end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
(cd build && ctest --output-on-failure -j "$(nproc)")
CVT_BUILD_DIR=build /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python tests/end_to_end
(cd build && CVT_SIM_FAST_PATHS=0 ctest -R '^sim[.]' --output-on-failure -j "$(nproc)")

scripts/setup.sh build-sanitize -DCVT_SANITIZE=ON
(cd build-sanitize && ctest --output-on-failure -j "$(nproc)")

scripts/end-to-end.sh build

#!/usr/bin/env bash
# One-shot check on a machine with an NVIDIA GPU, within about 10 minutes:
#   builds the CUDA backend for this GPU, runs the GPU tests, runs compute-sanitizer (memcheck,
#   racecheck, synccheck, initcheck) over small end-to-end runs, times the full default run, validates
#   its output with cvt-check, compares a deterministic cvt-volume run on the GPU with the same run on
#   the CPU simulation byte for byte (where both can be built here), and prints a short table last.
# Needs nvcc, CMake and a GPU; not Boost. Without an installed GoogleTest it builds the tests from
# $CVT_GTEST_SOURCE or ./.gtest-src (a copy of /usr/src/googletest carried along), else skips them.
# Without a GPU it says so and checks nothing. Logs go to $OUT (if set) or build-gpu-check/.
set -uo pipefail
cd "$(dirname "$0")/.."

if ! command -v nvidia-smi >/dev/null || ! nvidia-smi -L 2>/dev/null | grep -q "^GPU"; then
  echo "gpu-check: no NVIDIA GPU present here; nothing was checked."
  exit 0
fi
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"

build=build-gpu-check
logs="${OUT:-$build}"
mkdir -p "$logs"
declare -a rows
row() { rows+=("$(printf '%-28s %s' "$1" "$2")"); }
started=$SECONDS

gpu=$(nvidia-smi --query-gpu=name,compute_cap --format=csv,noheader | head -n 1)
arch=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -n 1 | tr -d ' .')
row "gpu" "$gpu"

gtest_options=()
gtest_source="${CVT_GTEST_SOURCE:-.gtest-src}"
[ -d "$gtest_source" ] && gtest_options=(-DCVT_GTEST_SOURCE="$(realpath "$gtest_source")")
if cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCVT_WITH_SIM=OFF -DCVT_CUDA_EXTRA_ARCHITECTURES="$arch" \
      "${gtest_options[@]}" >"$logs/configure.log" 2>&1 &&
   cmake --build "$build" -j "$(nproc)" >"$logs/build.log" 2>&1; then
  row "build (sm_75 + sm_$arch)" "ok ($((SECONDS - started)) s)"
else
  row "build" "FAILED (see $logs/build.log)"
  tail -n 30 "$logs/build.log"
  printf '%s\n' "${rows[@]}"
  exit 1
fi

tests=$(find "$build" -name cvt_tests_gpu -type f | head -n 1)
status=0
if [ -n "$tests" ]; then
  if timeout 240 "$tests" >"$logs/tests.log" 2>&1; then result="passed"; else result="FAILED"; status=1; fi
  row "gpu tests" "$result: $(grep -E '^\[  PASSED  \]|^\[  FAILED  \].*tests?,' "$logs/tests.log" | tr '\n' ' ')"
  # The sanitizers watch small end-to-end runs: whole driver runs on a 64^3 grid.
  if command -v compute-sanitizer >/dev/null; then
    for tool in memcheck racecheck synccheck initcheck; do
      if timeout 75 compute-sanitizer --tool "$tool" --error-exitcode 99 "$tests" \
          --gtest_filter='CvtDriverTest.OneLevel*:CvtDriverTest.FewerThanTen*' \
          >"$logs/sanitizer-$tool.log" 2>&1; then result="clean"; else result="FAILED"; status=1; fi
      row "compute-sanitizer $tool" "$result $(grep -E 'ERROR SUMMARY' "$logs/sanitizer-$tool.log" | tail -n 1)"
    done
  else
    row "compute-sanitizer" "not installed"
  fi
else
  row "gpu tests" "not built (no GoogleTest)"
fi

run_started=$SECONDS
if timeout 240 "$build/cvt-bench" --full-run >"$logs/full-run.txt" 2>"$logs/full-run.err"; then
  while IFS=': ' read -r key value; do row "$key" "$value"; done < <(grep -v '^#' "$logs/full-run.txt")
else
  row "full run" "FAILED ($(tail -n 1 "$logs/full-run.err"))"
  status=1
fi
if timeout 120 "$build/cvt" >"$build/output.txt" 2>"$logs/cvt.err"; then
  row "cvt wall time" "$((SECONDS - run_started)) s (both runs)"
  if "$build/cvt-check" "$build/output.txt" >"$logs/check.txt" 2>&1; then result="valid"; else result="INVALID"; status=1; fi
  row "cvt-check" "$result: $(tr '\n' ' ' <"$logs/check.txt")"
else
  row "cvt" "FAILED ($(tail -n 1 "$logs/cvt.err"))"
  status=1
fi
rm -f "$build/output.txt"

# The same deterministic run on the GPU and on the simulation must give the same bytes. The
# simulation needs Boost.Context and OpenMP, cvt-volume its file libraries: without them this is skipped.
if [ -x "$build/cvt-volume" ] &&
   cmake -S . -B build-sim-check -DCMAKE_BUILD_TYPE=Release -DCVT_WITH_CUDA=OFF "${gtest_options[@]}" \
     >"$logs/sim-configure.log" 2>&1 &&
   grep -q "sim=1" "$logs/sim-configure.log" &&
   cmake --build build-sim-check --target cvt-volume -j "$(nproc)" >"$logs/sim-build.log" 2>&1 &&
   [ -x build-sim-check/cvt-volume ]; then
  if result=$(timeout 240 scripts/compare-backends.sh "$build/cvt-volume" build-sim-check/cvt-volume "$build/compare");
  then :; else status=1; fi
  row "gpu vs simulation" "$result"
else
  row "gpu vs simulation" "skipped (no cvt-volume or no simulation build here; see $logs/sim-configure.log)"
fi

row "total" "$((SECONDS - started)) s"
echo
printf '%s\n' "${rows[@]}"
exit $status

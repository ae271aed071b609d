#!/usr/bin/env bash
# Runs one reduced deterministic cvt-volume run (the built-in 256^3 density, 2000 sites, at most 60
# iterations) with two cvt-volume binaries, say one built for a GPU and one for the CPU simulation,
# and compares their text outputs byte for byte; then both on a box wider than 1024 (1800 x 300 x 40
# random bytes, a grid with wider site code fields), with its 32-bit site codes and with 64-bit ones
# (CVT_WIDE_SITE_CODES=1), and compares the four label files. Prints "identical", or the first voxel
# where the two labellings differ.
#   scripts/compare-backends.sh FIRST_CVT_VOLUME SECOND_CVT_VOLUME [WORK_DIRECTORY]
# Exit status 0 when identical, 1 when they differ, 2 when a run fails.
set -uo pipefail
work="${3:-$(mktemp -d)}"
mkdir -p "$work"
edge=256

for side in 1 2; do
  binary="${!side}"
  if ! "$binary" --sites 2000 --max-iterations 60 --deterministic --quiet --text "$work/labels-$side.txt" \
       --summary "$work/summary-$side.json" 2>"$work/run-$side.err"; then
    echo "run with $binary failed: $(tail -n 1 "$work/run-$side.err")"
    exit 2
  fi
done

# The box: the same random bytes for every run.
head -c $((1800 * 300 * 40)) /dev/urandom >"$work/box.raw"
for side in 1 2; do
  binary="${!side}"
  for wide in 0 1; do
    if ! CVT_WIDE_SITE_CODES=$wide "$binary" "$work/box.raw" --raw-shape 1800,300,40 --raw-type uint8 --sites 500 \
         --max-iterations 12 --quiet --labels "$work/box-$side-$wide.npy" 2>"$work/box-$side-$wide.err"; then
      echo "box run with $binary failed: $(tail -n 1 "$work/box-$side-$wide.err")"
      exit 2
    fi
  done
done
boxStatus=0
for other in 1-1 2-0 2-1; do
  cmp -s "$work/box-1-0.npy" "$work/box-$other.npy" || boxStatus=1
done
rm -f "$work/box.raw" "$work"/box-[12]-[01].npy
box="box 1800 x 300 x 40, 32- and 64-bit site codes $([ $boxStatus -eq 0 ] && echo identical || echo DIFFERENT)"

difference=$(cmp "$work/labels-1.txt" "$work/labels-2.txt" 2>&1)
status=$?
rm -f "$work/labels-1.txt" "$work/labels-2.txt"
if [ $status -eq 0 ]; then
  echo "identical; $box"
  exit $boxStatus
fi
# cmp says "... differ: byte B, line L"; line L is voxel L - 1 in cvt's order (x outermost, z innermost).
line=$(sed -n 's/.*line \([0-9]*\).*/\1/p' <<<"$difference")
if [ -z "$line" ]; then
  echo "different: $difference; $box"
else
  voxel=$((line - 1))
  echo "different from voxel ($((voxel / (edge * edge))), $((voxel / edge % edge)), $((voxel % edge))); $box"
fi
exit 1

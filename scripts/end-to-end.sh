#!/usr/bin/env bash
# The programs end to end on their full default runs. Expects a built tree in $1 (default: build).
#   cvt: its output is valid (cvt-check), the Lloyd iteration did its work (the sites stay, the
#     energy falls well below that of the seeded sites), and a run whose standard output cannot be
#     written fails with a clear message.
#   cvt-volume: its default run with float atomics is cvt's computation (the same sites and energy up
#     to float-atomic noise) and stops on cvt's energy criterion within the expected iterations; the
#     worked examples of the README (a volume of one's own, scans, and across MPI ranks) run as written
#     there.
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "end-to-end: $*" >&2
  failures=$((failures + 1))
}
# The value of "key: value" in a cvt-check report.
field() { sed -n "s/^$1: //p" "$2"; }
# A number from a run summary, by its path, e.g. stop.iteration.
summary() {
  python3 -c "import functools, json, sys; print(functools.reduce(lambda d, k: d[k], sys.argv[2].split('.'), json.load(open(sys.argv[1]))))" "$1" "$2"
}
# Whether a condition on numbers holds, e.g. holds "11747.2 < 0.9 * 20000".
holds() { python3 -c "import sys; sys.exit(0 if eval(sys.argv[1]) else 1)" "$1"; }

start=$SECONDS
"$build/cvt" >"$work/cvt.txt"
echo "end-to-end: cvt finished in $((SECONDS - start)) s"
"$build/cvt-check" "$work/cvt.txt" | tee "$work/cvt.check"
sites=$(field sites "$work/cvt.check")
energy=$(field energy "$work/cvt.check")

# The seeded sites, labelled without iterating: the energy the run starts from.
"$build/cvt-volume" --quiet --fast-atomics --max-iterations 0 --summary "$work/seeded.json"
seeded=$(summary "$work/seeded.json" final_energy)
echo "end-to-end: seeded energy $seeded, final energy $energy, $sites sites"
holds "9900 <= $sites <= 10000" || fail "cvt ended with $sites sites, not 9,900 to 10,000"
holds "$energy < 0.9 * $seeded" || fail "cvt's final energy $energy is not well below the seeded $seeded"

start=$SECONDS
"$build/cvt-volume" --quiet --fast-atomics --text "$work/volume.txt" --summary "$work/volume.json"
echo "end-to-end: cvt-volume --fast-atomics finished in $((SECONDS - start)) s"
"$build/cvt-check" "$work/volume.txt" >"$work/volume.check"
volumeSites=$(field sites "$work/volume.check")
volumeEnergy=$(field energy "$work/volume.check")
stop=$(summary "$work/volume.json" stop.iteration)
reason=$(summary "$work/volume.json" stop.reason)
echo "end-to-end: cvt-volume: $reason at iteration $stop, $volumeSites sites, energy $volumeEnergy"
[ "$reason" = energy_criterion ] || fail "cvt-volume --fast-atomics stopped on $reason, not on cvt's energy criterion"
holds "30 <= $stop <= 80" || fail "cvt-volume's default run stopped at iteration $stop, not 30 to 80"
holds "abs($volumeSites - $sites) <= 10" || fail "cvt-volume kept $volumeSites sites, cvt $sites"
holds "abs($volumeEnergy - $energy) <= 0.005 * $energy" || fail "cvt-volume's energy $volumeEnergy, cvt's $energy"
rm -f "$work/cvt.txt" "$work/volume.txt"

# The README's worked example, as written there, in a directory of its own with the build at build/.
mkdir "$work/example"
ln -s "$build" "$work/example/build"
sed -n '/^## Your own volume/,/^## /p' README.md | sed -n '/^    python3\|^    build\//s/^    //p' >"$work/example/commands.sh"
if (cd "$work/example" && PATH="/usr/bin:$PATH" bash -e commands.sh >output.txt 2>&1) &&
   grep -q "^(40, 60, 100) uint16" "$work/example/output.txt" &&
   grep -q "^labels: exact, counts match" "$work/example/output.txt"; then
  echo "end-to-end: the README's example runs as written: $(tail -n 1 "$work/example/output.txt")"
else
  fail "the README's example failed: $(tail -n 3 "$work/example/output.txt")"
fi

# The scans section's examples: a head MRI as NIfTI with a mask, and a CT scan windowed and masked.
mkdir "$work/scans"
ln -s "$build" "$work/scans/build"
sed -n '/^## Scans/,/^## /p' README.md | sed -n '/^    python3\|^    build\//s/^    //p' >"$work/scans/commands.sh"
if (cd "$work/scans" && PATH="/usr/bin:$PATH" bash -e commands.sh >output.txt 2>&1) &&
   [ "$(grep -c "^labels: exact, counts match" "$work/scans/output.txt")" = 2 ] &&
   grep -q "^True (96, 112, 80) uint16 True" "$work/scans/output.txt"; then
  echo "end-to-end: the README's scan examples run as written: $(grep "regions in more than one piece" "$work/scans/output.txt" | head -n 1)"
else
  fail "the README's scan examples failed: $(tail -n 3 "$work/scans/output.txt")"
fi

# The MPI section's example: three ranks against one process. Open MPI wants to be told that root may
# run it, and that more ranks than cores are fine.
mkdir "$work/ranks"
ln -s "$build" "$work/ranks/build"
sed -n '/^## Across MPI ranks/,/^## /p' README.md | sed -n '/^    python3\|^    build\/\|^    mpirun\|^    cmp/s/^    //p' >"$work/ranks/commands.sh"
if (cd "$work/ranks" && PATH="/usr/bin:$PATH" OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
      OMPI_MCA_rmaps_base_oversubscribe=1 bash -e commands.sh >output.txt 2>&1) &&
   grep -q "^the same bytes" "$work/ranks/output.txt"; then
  echo "end-to-end: the README's MPI example runs as written: three ranks give the bytes of one process"
else
  fail "the README's MPI example failed: $(tail -n 3 "$work/ranks/output.txt")"
fi

if "$build/cvt" >/dev/full 2>"$work/full.err"; then
  fail "cvt reported success although its output could not be written"
elif ! grep -q "No space left on device" "$work/full.err"; then
  fail "unexpected message for a full disk: $(cat "$work/full.err")"
else
  echo "end-to-end: a full disk is reported: $(cat "$work/full.err")"
fi

[ $failures -eq 0 ] || exit 1
echo "end-to-end: all checks passed"

#!/usr/bin/env bash
# cvt-volume across two MPI ranks of one host thread each against one process of two host threads, on
# the built-in 256^3 density with 10,000 sites, masked to its denser part, on two pyramid levels, with a
# fixed budget of iterations. Prints, one "key: value" per line:
#   mpi_bytes_per_iteration   bytes each rank gives the others per iteration (rank 0's count)
#   mpi_bytes_per_site        the same per site: the per-site sums are 64 bytes a site
#   mpi_overhead_ratio        wall time of the two ranks (mpirun included) over that of the process
#   mpi_iteration_ratio       the same for the iterations alone (the summaries' seconds.iterations)
# Usage: bench/mpi.sh [BUILD_DIRECTORY] [ITERATIONS]
set -euo pipefail
build="$(realpath "${1:-build}")"
iterations="${2:-30}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
run=("$build/cvt-volume" --max-iterations "$iterations" --mask-above 0.25 --levels 2)

wall() {  # seconds that the command takes
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  python3 -c "print($end - $start)"
}
seconds() { python3 -c "import json, sys; print(json.load(open(sys.argv[1]))['seconds']['iterations'])" "$1"; }

single=$(OMP_NUM_THREADS=2 wall "${run[@]}" --summary "$work/single.json" 2>"$work/single.err")
ranks=$(OMP_NUM_THREADS=1 wall mpirun -np 2 --bind-to core "${run[@]}" --summary "$work/ranks.json" 2>"$work/ranks.err")
bytes=$(sed -n 's/^2 ranks: rank 0 sent the others \([0-9]*\) bytes per iteration$/\1/p' "$work/ranks.err")
sites=$(python3 -c "import json, sys; print(json.load(open(sys.argv[1]))['sites']['end'])" "$work/ranks.json")
cmp <(python3 -c "import json, sys; s = json.load(open(sys.argv[1])); del s['seconds'], s['outputs'], s['backend']; print(s)" "$work/single.json") \
    <(python3 -c "import json, sys; s = json.load(open(sys.argv[1])); del s['seconds'], s['outputs'], s['backend']; print(s)" "$work/ranks.json") \
  || { echo "mpi: the two ranks' run differs from the process's" >&2; exit 1; }
echo "mpi_bytes_per_iteration: $bytes"
python3 -c "print('mpi_bytes_per_site: %.1f' % ($bytes / $sites))"
python3 -c "print('mpi_overhead_ratio: %.3f' % ($ranks / $single))"
python3 -c "print('mpi_iteration_ratio: %.3f' % ($(seconds "$work/ranks.json") / $(seconds "$work/single.json")))"

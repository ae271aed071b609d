"""The cost of running through the Python module, against the same run through cvt-volume.

Prints `key: value` lines like cvt-bench:
  python_overhead_ratio      the module's call against cvt-volume's run on the same .npy (its wall time
                             less the reading of the file), best of five each, taking turns
  python_extra_peak_bytes    the peak resident memory a call adds beyond the density and the arrays
                             it returns (on the CPU simulation this includes the device's buffers)
  volume_peak_bytes          cvt-volume's peak resident memory on the same density, for comparison

Usage: python3 bench/python_bench.py [BUILD_DIR] (default: build)
"""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BUILD = Path(sys.argv[1] if len(sys.argv) > 1 else "build").resolve()
sys.path.insert(0, str(BUILD / "python"))
import cvt  # noqa: E402

EDGE = 128
SITES = 2000
REPEATS = 5


def density():
    z, y, x = np.mgrid[0:EDGE, 0:EDGE, 0:EDGE].astype(np.float32)
    centre = EDGE / 2
    return np.exp(-((x - centre) ** 2 + (y - centre) ** 2 + (z - centre) ** 2) / (EDGE * EDGE / 8))


def extra_peak_bytes(path):
    """In a fresh process, so that nothing earlier raised the peak."""
    code = f"""
import sys; sys.path.insert(0, {str(BUILD / 'python')!r})
import numpy as np, cvt
def status_bytes(field):
    return next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith(field + ":"))
density = np.load({str(path)!r})
cvt.tessellate(density[:64, :64, :64], 10, max_iterations=0)  # the backend's start-up, not the run's cost
open("/proc/self/clear_refs", "w").write("5")  # the peak starts again from here
before = status_bytes("VmRSS")
result = cvt.tessellate(density, {SITES})
returned = sum(a.nbytes for a in (result.labels, result.sites, result.mass, result.voxels))
print(status_bytes("VmHWM") - before - returned)
"""
    return int(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout)


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "density.npy"
        values = density()
        np.save(path, values)
        summary = Path(directory) / "run.json"
        module_seconds = volume_seconds = float("inf")
        for _ in range(REPEATS):
            started = time.perf_counter()
            result = cvt.tessellate(values, SITES)
            module_seconds = min(module_seconds, time.perf_counter() - started)
            started = time.perf_counter()
            subprocess.run([str(BUILD / "cvt-volume"), str(path), "--sites", str(SITES), "--quiet",
                            "--summary", str(summary)], check=True)
            elapsed = time.perf_counter() - started
            run = json.loads(summary.read_text())
            volume_seconds = min(volume_seconds, elapsed - run["seconds"]["read"])
            assert run["stop"]["iteration"] == result.iterations
        print(f"python_overhead_ratio: {module_seconds / volume_seconds:.4f}")
        print(f"python_call_s: {module_seconds:.3f}")
        print(f"python_volume_run_s: {volume_seconds:.3f}")
        print(f"python_iterations: {result.iterations}")
        print(f"python_extra_peak_bytes: {extra_peak_bytes(path)}")
        print(f"volume_peak_bytes: {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024}")


if __name__ == "__main__":
    main()

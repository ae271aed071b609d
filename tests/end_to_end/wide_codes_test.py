"""cvt-volume with 64-bit site codes asked for (CVT_WIDE_SITE_CODES=1) on boxes that 32-bit codes hold:
the same bytes in every output as with 32-bit codes, a dry run that counts 8-byte site volumes, and
float atomics refused before anything runs. Run with pytest; CVT_BUILD_DIR names the build directory."""
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

BUILD = Path(os.environ.get("CVT_BUILD_DIR", "build")).resolve()
OUTPUTS = ["labels.nii.gz", "sites.csv", "text.txt", "adjacency.csv"]


def run(arguments, wide):
    environment = dict(os.environ)
    environment.pop("CVT_WIDE_SITE_CODES", None)
    if wide:
        environment["CVT_WIDE_SITE_CODES"] = "1"
    return subprocess.run([str(a) for a in arguments], capture_output=True, text=True, env=environment)


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    """A folded object in a 70 x 40 x 24 box, as uint8: a mask splits some regions."""
    path = tmp_path_factory.mktemp("scan") / "scan.npy"
    z, y, x = np.mgrid[0:24, 0:40, 0:70]
    inside = ((x - 35) ** 2 / 900 + (y - 20) ** 2 / 300 + (z - 12) ** 2 / 100 < 1) & (np.sin(x / 3) > -0.6)
    np.save(path, np.where(inside, 40 + (x % 7) * 10, 2).astype(np.uint8))
    return path


@pytest.mark.parametrize("options", [
    ["--sites", 60, "--mask-above", 10, "--connected", "--levels", 2, "--spacing", "0.7,0.7,2.5"],
    ["--sites", 40, "--seeding", "uniform", "--seed", 3, "--max-iterations", 25],
])
def test_wide_codes_write_the_bytes_of_narrow_ones(tmp_path, scan, options):
    outputs = {}
    for wide in (False, True):
        folder = tmp_path / ("wide" if wide else "narrow")
        folder.mkdir()
        result = run([BUILD / "cvt-volume", scan, *options, "--quiet", "--labels", folder / "labels.nii.gz",
                      "--sites-out", folder / "sites.csv", "--text", folder / "text.txt", "--adjacency",
                      folder / "adjacency.csv", "--summary", folder / "run.json"], wide)
        assert result.returncode == 0, result.stderr
        summary = json.loads((folder / "run.json").read_text())
        outputs[wide] = ([(folder / name).read_bytes() for name in OUTPUTS],
                         [summary[key] for key in ("history", "stop", "final_energy", "sites")])
    assert outputs[True] == outputs[False]


def test_a_dry_run_counts_eight_byte_site_volumes(tmp_path, scan):
    needs = {}
    for wide in (False, True):
        result = run([BUILD / "cvt-volume", scan, "--sites", 50, "--dry-run"], wide)
        assert result.returncode == 0, result.stderr
        needs[wide] = dict(line.split(": ") for line in result.stdout.splitlines())
    assert needs[True]["grid"] == needs[False]["grid"] == "96 64 24"
    voxels = 96 * 64 * 24
    # Two site volumes of 4 more bytes a voxel, and 4 more bytes a site in each of three device arrays.
    assert int(needs[True]["device_bytes"]) - int(needs[False]["device_bytes"]) == 2 * 4 * voxels + 3 * 4 * 50
    # The final labelling of the grid on the host.
    assert int(needs[True]["host_bytes"]) - int(needs[False]["host_bytes"]) == 4 * voxels


@pytest.mark.parametrize("extra", [[], ["--dry-run"]])
def test_float_atomics_on_wide_codes_are_refused_before_the_run(tmp_path, scan, extra):
    result = run([BUILD / "cvt-volume", scan, "--sites", 20, "--fast-atomics", "--labels", tmp_path / "l.npy",
                  *extra], True)
    assert result.returncode == 1  # as every request that the input rules out (status 2: the command line's errors)
    assert "64-bit site codes" in result.stderr and "float atomics" in result.stderr
    assert result.stdout == ""
    assert not (tmp_path / "l.npy").exists()

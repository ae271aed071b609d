"""cvt-volume on boxes that are far from cubes, end to end: a microscopy-like stack wider than 1024
(1800 x 300 x 40) runs in a grid of its own shape and its labelling is exact (by cvt-check and by
scipy's Euclidean distance transform); odd boxes get each side rounded up on its own; a side past the
limit is refused with the limit. Run with pytest; CVT_BUILD_DIR names the build directory."""
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest
from scipy.ndimage import distance_transform_edt

BUILD = Path(os.environ.get("CVT_BUILD_DIR", "build")).resolve()


def run(*arguments):
    return subprocess.run([str(a) for a in arguments], capture_output=True, text=True)


def density(nx, ny, nz):
    z, y, x = np.mgrid[0:nz, 0:ny, 0:nx]
    return (0.2 + np.exp(-((x - nx / 2) / (nx / 3)) ** 2 - ((y - ny / 2) / (ny / 3)) ** 2)).astype(np.float32)


def tessellate(tmp, nx, ny, nz, sites, *options):
    np.save(tmp / "density.npy", density(nx, ny, nz))
    result = run(BUILD / "cvt-volume", tmp / "density.npy", "--sites", sites, "--max-iterations", 4, "--labels",
                 tmp / "labels.npy", "--sites-out", tmp / "sites.csv", "--summary", tmp / "summary.json", *options)
    assert result.returncode == 0, result.stderr
    return np.load(tmp / "labels.npy"), np.loadtxt(tmp / "sites.csv", delimiter=",", skiprows=1, ndmin=2), \
        json.loads((tmp / "summary.json").read_text())


def test_a_stack_wider_than_1024_is_labelled_exactly(tmp_path):
    labels, table, summary = tessellate(tmp_path, 1800, 300, 40, 300)
    assert labels.shape == (40, 300, 1800)
    assert summary["grid"]["shape"] == [1824, 320, 40]
    check = run(BUILD / "cvt-check", "--labels", tmp_path / "labels.npy", "--sites", tmp_path / "sites.csv")
    assert check.returncode == 0 and "labels: exact" in check.stdout, check.stdout + check.stderr
    # Independently: every voxel's distance to its own site is the distance to the nearest site.
    sites = table[:, 1:4].astype(np.int64)
    empty = np.ones(labels.shape, bool)
    empty[sites[:, 2], sites[:, 1], sites[:, 0]] = False
    nearest = distance_transform_edt(empty) ** 2
    own = sites[labels.astype(np.int64) - int(table[0, 0])]  # ids count from the table's first
    z, y, x = np.indices(labels.shape, sparse=True)
    assert np.array_equal((own[..., 0] - x) ** 2 + (own[..., 1] - y) ** 2 + (own[..., 2] - z) ** 2,
                          np.rint(nearest).astype(np.int64))


@pytest.mark.parametrize("shape, grid", [((1, 90, 13), (32, 96, 16)), ((70, 33, 9), (96, 64, 12)),
                                         ((33, 1, 1), (64, 32, 4))])
def test_odd_boxes_round_each_side_up_on_its_own_and_end_exact(tmp_path, shape, grid):
    labels, table, summary = tessellate(tmp_path, *shape, 12)
    assert summary["grid"]["shape"] == list(grid)
    check = run(BUILD / "cvt-check", "--labels", tmp_path / "labels.npy", "--sites", tmp_path / "sites.csv")
    assert check.returncode == 0 and "labels: exact" in check.stdout, check.stdout + check.stderr


def test_a_side_past_the_limit_is_refused_with_the_limit(tmp_path):
    header = "NRRD0004\ntype: uint8\ndimension: 3\nsizes: 16400 2 2\nencoding: raw\n\n"
    (tmp_path / "wide.nrrd").write_bytes(header.encode() + bytes(16400 * 4))
    result = run(BUILD / "cvt-volume", tmp_path / "wide.nrrd", "--sites", 2, "--labels", tmp_path / "l.npy")
    assert result.returncode != 0
    assert "16384" in result.stderr
    assert not (tmp_path / "l.npy").exists()

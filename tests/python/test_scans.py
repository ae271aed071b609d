# Scans as they come: values mapped through a window, a mask, voxel spacing; the same numbers as
# cvt-volume, and an exact labelling inside the mask.
import json
import subprocess

import numpy as np
import pytest

import cvt
from conftest import blob, nearest_sites

SHAPE = (14, 18, 22)


def ring_mask(shape):
    """A thick ring around the first axis: not convex, so moves can leave it."""
    _, y, x = np.meshgrid(*(np.arange(n) for n in shape), indexing="ij")
    r2 = (y - shape[1] / 2) ** 2 + (x - shape[2] / 2) ** 2
    return ((r2 >= 9) & (r2 <= 64)).astype(np.uint8)


def test_a_mask_gives_zero_outside_and_an_exact_labelling_inside():
    mask = ring_mask(SHAPE)
    spacing = (2.0, 1.0, 1.0)
    result = cvt.tessellate(blob(SHAPE) + 1, 25, mask=mask, spacing=spacing, max_iterations=40)
    assert result.first_id == 1
    assert (result.labels == 0).sum() == (mask == 0).sum()
    assert np.all(result.labels[mask == 0] == 0)
    assert all(mask[tuple(s)] for s in result.sites)
    ids = np.arange(len(result.sites)) + result.first_id
    assert np.all(result.labels[tuple(result.sites.T)] == ids)
    expected = nearest_sites(SHAPE, result.sites, spacing) + result.first_id
    np.testing.assert_array_equal(result.labels[mask == 1], expected[mask == 1])
    assert np.all(result.pieces >= 1)
    np.testing.assert_array_equal(result.voxels, np.bincount(result.labels.ravel(), minlength=ids[-1] + 1)[1:])


def test_windowed_masked_anisotropic_runs_match_cvt_volume(tmp_path, cvt_volume):
    hounsfield = (blob(SHAPE) * 10 - 900).astype(np.int16)  # negative values, as CT has
    mask = ring_mask(SHAPE)
    np.save(tmp_path / "ct.npy", hounsfield)
    np.save(tmp_path / "mask.npy", mask)
    subprocess.run([str(cvt_volume), str(tmp_path / "ct.npy"), "--sites", "30", "--window", "-100,900",
                    "--mask", str(tmp_path / "mask.npy"), "--spacing", "0.5,0.5,1.5", "--quiet",
                    "--labels", str(tmp_path / "labels.npy"), "--summary", str(tmp_path / "run.json"),
                    "--adjacency", str(tmp_path / "adjacency.csv")], check=True)
    result = cvt.tessellate(hounsfield, 30, window=(-100, 900), mask=mask, spacing=(1.5, 0.5, 0.5))
    np.testing.assert_array_equal(result.labels, np.load(tmp_path / "labels.npy"))
    table = np.loadtxt(tmp_path / "adjacency.csv", delimiter=",", skiprows=1, ndmin=2)
    np.testing.assert_array_equal(table[:, :3], np.stack([result.adjacency[f] for f in ("a", "b", "faces")], axis=1))
    np.testing.assert_allclose(table[:, 3], result.adjacency["area"], rtol=1e-14)
    summary = json.load(open(tmp_path / "run.json"))
    assert result.history == summary["history"]
    assert result.energy == summary["final_energy"]
    assert result.energy_physical == summary["final_energy_physical"]


def test_the_adjacency_counts_faces_and_their_area_along_the_array_axes():
    mask = ring_mask(SHAPE)
    spacing = (2.0, 1.0, 0.5)
    result = cvt.tessellate(blob(SHAPE) + 1, 25, mask=mask, spacing=spacing, max_iterations=10, connected=True)
    expected = {}
    for axis in range(3):
        moved = np.moveaxis(result.labels, axis, 0)
        low, high = moved[:-1].ravel(), moved[1:].ravel()
        area = np.prod([spacing[k] for k in range(3) if k != axis])
        for a, b in zip(np.minimum(low, high)[low != high].tolist(), np.maximum(low, high)[low != high].tolist()):
            faces, total = expected.get((a, b), (0, 0.0))
            expected[(a, b)] = (faces + 1, total + area)
    adjacency = result.adjacency
    assert adjacency.dtype.names == ("a", "b", "faces", "area")
    assert list(zip(adjacency["a"].tolist(), adjacency["b"].tolist())) == sorted(expected)
    assert adjacency["faces"].tolist() == [expected[pair][0] for pair in sorted(expected)]
    np.testing.assert_allclose(adjacency["area"], [expected[pair][1] for pair in sorted(expected)], rtol=1e-12)
    assert adjacency["a"][0] == 0  # the outside of the mask touches regions too


def test_negative_values_name_the_arguments_that_map_them():
    with pytest.raises(ValueError, match=r"negative value -900 at voxel .*window=\(lo, hi\) or clip_below=v"):
        cvt.tessellate(np.full(SHAPE, -900, np.int16), 10)
    result = cvt.tessellate(np.where(blob(SHAPE) > 50, 40, -1000).astype(np.int16), 10, clip_below=0)
    assert result.first_id == 1 and len(result.sites) == 10


def test_connected_regions_hold_together_in_a_folded_mask(tmp_path, cvt_volume):
    # A comb: teeth along the last axis joined by a spine, so that regions of nearest voxels straddle gaps.
    shape = (12, 40, 44)
    mask = np.zeros(shape, np.uint8)
    mask[:, :, np.arange(shape[2]) % 6 < 3] = 1
    mask[:, :5, :] = 1
    density = blob(shape) + 1
    apart = cvt.tessellate(density, 40, mask=mask, max_iterations=20)
    assert apart.pieces.max() > 1
    whole = cvt.tessellate(density, 40, mask=mask, max_iterations=20, connected=True)
    assert whole.pieces.tolist() == [1] * len(whole.sites)
    assert (whole.labels[tuple(whole.sites.T)] == np.arange(len(whole.sites)) + 1).all()
    # cvt-volume's files of the same run pass cvt-check's check of connected regions.
    np.save(tmp_path / "density.npy", density)
    np.save(tmp_path / "mask.npy", mask)
    files = ["--labels", str(tmp_path / "labels.npy"), "--sites-out", str(tmp_path / "sites.csv")]
    subprocess.run([str(cvt_volume), str(tmp_path / "density.npy"), "--mask", str(tmp_path / "mask.npy"), "--sites",
                    "40", "--max-iterations", "20", "--connected", "--quiet", *files], check=True)
    np.testing.assert_array_equal(np.load(tmp_path / "labels.npy"), whole.labels)
    files[2] = "--sites"
    check = subprocess.run([str(cvt_volume.parent / "cvt-check"), *files, "--mask", str(tmp_path / "mask.npy"),
                            "--connected"], capture_output=True, text=True)
    assert check.returncode == 0 and "labels: connected" in check.stdout, check.stdout + check.stderr

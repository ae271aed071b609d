"""cvt-volume and cvt-check under voxel spacing, end to end: a spacing read from a NRRD file and the
same given with --spacing label alike; the labelling is a nearest-site labelling in physical distance
(against scipy's Euclidean distance transform); sites sit at their regions' centroids; bad spacings
are refused. Run with pytest; CVT_BUILD_DIR names the build directory (default: build)."""
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest
from scipy.ndimage import distance_transform_edt

BUILD = Path(os.environ.get("CVT_BUILD_DIR", "build")).resolve()
SPACING = (0.8, 0.8, 2.0)  # x, y, z


def run(*arguments):
    return subprocess.run([str(a) for a in arguments], capture_output=True, text=True)


def density():
    z, y, x = np.mgrid[0:24, 0:30, 0:40]
    return (0.2 + np.exp(-((x - 20) ** 2 + (y - 15) ** 2 + (z - 12) ** 2) / 200)).astype(np.float32)


def write_nrrd(path, values, spacing_line):
    nz, ny, nx = values.shape
    header = (f"NRRD0004\ntype: float\ndimension: 3\nsizes: {nx} {ny} {nz}\n{spacing_line}\n"
              "encoding: raw\nendian: little\n\n")
    path.write_bytes(header.encode() + values.astype("<f4").tobytes())


def tessellate(tmp, source, name, *options):
    labels, sites, summary = tmp / f"{name}.npy", tmp / f"{name}.csv", tmp / f"{name}.json"
    result = run(BUILD / "cvt-volume", source, "--sites", 80, "--seed", 3, "--labels", labels,
                 "--sites-out", sites, "--summary", summary, *options)
    assert result.returncode == 0, result.stderr
    table = np.loadtxt(sites, delimiter=",", skiprows=1, ndmin=2)
    return np.load(labels), table, json.loads(summary.read_text()), result.stderr


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("spacing")
    values = density()
    np.save(tmp / "density.npy", values)
    write_nrrd(tmp / "density.nrrd", values, "spacings: %g %g %g" % SPACING)
    return {
        "tmp": tmp,
        "density": values,
        "nrrd": tessellate(tmp, tmp / "density.nrrd", "nrrd", "--adjacency", tmp / "nrrd-adjacency.csv"),
        "npy": tessellate(tmp, tmp / "density.npy", "npy", "--spacing", "%g,%g,%g" % SPACING),
        "isotropic": tessellate(tmp, tmp / "density.npy", "isotropic"),
    }


def test_file_and_command_line_spacing_give_the_same_labels(runs):
    labels, sites, summary, stderr = runs["nrrd"]
    assert np.array_equal(labels, runs["npy"][0])
    assert np.array_equal(sites, runs["npy"][1])
    assert not np.array_equal(labels, runs["isotropic"][0])
    assert summary["input"]["spacing"] == list(SPACING)
    assert summary["input"]["spacing_used"] == list(SPACING)
    assert runs["npy"][2]["input"]["spacing"] == [1, 1, 1]
    assert runs["npy"][2]["input"]["spacing_used"] == list(SPACING)
    assert "spacing 0.8 x 0.8 x 2 used" in stderr


def test_labels_are_nearest_sites_in_physical_distance(runs):
    labels, sites, _, _ = runs["nrrd"]
    xyz = sites[:, 1:4].astype(int)
    at_sites = np.ones(labels.shape, dtype=bool)
    at_sites[xyz[:, 2], xyz[:, 1], xyz[:, 0]] = False
    nearest = distance_transform_edt(at_sites, sampling=SPACING[::-1])
    z, y, x = np.indices(labels.shape)
    own = xyz[labels - int(sites[0, 0])]  # ids count from the table's first
    offsets = [(own[..., a] - c) * SPACING[a] for a, c in enumerate((x, y, z))]
    to_own = np.sqrt(sum(o * o for o in offsets))
    assert np.allclose(to_own, nearest, rtol=1e-9, atol=1e-9)


def test_sites_sit_at_their_regions_centroids(runs):
    labels, sites, _, _ = runs["nrrd"]
    values = runs["density"]
    z, y, x = np.indices(labels.shape)
    rows = labels.ravel() - int(sites[0, 0])
    mass = np.bincount(rows, values.ravel(), len(sites))
    for axis, coordinate in enumerate((x, y, z)):
        centroid = np.bincount(rows, (values * coordinate).ravel(), len(sites)) / mass
        # A converged run: every site on its region's centroid, rounded (as the table's own centroid says).
        assert np.all(np.abs(centroid - sites[:, 1 + axis]) <= 0.5 + 1e-6)
        assert np.allclose(centroid, sites[:, 7 + axis], rtol=1e-6)


def test_cvt_check_measures_with_the_files_or_the_given_spacing(runs):
    tmp = runs["tmp"]
    summary = runs["nrrd"][2]
    checked = run(BUILD / "cvt-check", "--labels", tmp / "nrrd.npy", "--sites", tmp / "nrrd.csv",
                  "--density", tmp / "density.nrrd")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "spacing: 0.8 x 0.8 x 2" in checked.stdout
    energy = float(checked.stdout.split("energy: ")[1])
    assert energy == pytest.approx(summary["final_energy"], rel=1e-4)
    given = run(BUILD / "cvt-check", "--labels", tmp / "nrrd.npy", "--sites", tmp / "nrrd.csv",
                "--spacing", "0.8,0.8,2")
    assert given.returncode == 0, given.stdout
    cubic = run(BUILD / "cvt-check", "--labels", tmp / "nrrd.npy", "--sites", tmp / "nrrd.csv",
                "--spacing", "1,1,1")
    assert cubic.returncode == 1 and "labels: wrong" in cubic.stdout


def face_counts(labels, spacing):
    """{(a, b): (faces, area)} for every pair of labels a < b that share a face, face by face with NumPy."""
    counts = {}
    for axis, area in ((2, spacing[1] * spacing[2]), (1, spacing[0] * spacing[2]), (0, spacing[0] * spacing[1])):
        moved = np.moveaxis(labels, axis, 0)
        low, high = moved[:-1].ravel(), moved[1:].ravel()
        differ = low != high
        pairs = np.stack([np.minimum(low, high)[differ], np.maximum(low, high)[differ]], axis=1)
        if len(pairs):
            for (a, b), n in zip(*np.unique(pairs, axis=0, return_counts=True)):
                faces, total = counts.get((int(a), int(b)), (0, 0.0))
                counts[(int(a), int(b))] = (faces + int(n), total + n * area)
    return counts


def test_the_adjacency_file_counts_faces_and_their_physical_area(runs):
    tmp = runs["tmp"]
    table = np.loadtxt(tmp / "nrrd-adjacency.csv", delimiter=",", skiprows=1, ndmin=2)
    expected = face_counts(runs["nrrd"][0], SPACING)
    assert [(int(a), int(b)) for a, b in table[:, :2]] == sorted(expected)
    assert np.array_equal(table[:, 2], [expected[pair][0] for pair in sorted(expected)])
    assert np.allclose(table[:, 3], [expected[pair][1] for pair in sorted(expected)], rtol=1e-12)
    checked = run(BUILD / "cvt-check", "--labels", tmp / "nrrd.npy", "--sites", tmp / "nrrd.csv",
                  "--density", tmp / "density.nrrd", "--adjacency", tmp / "nrrd-adjacency.csv")
    assert checked.returncode == 0 and "adjacency: matches" in checked.stdout, checked.stdout + checked.stderr
    cubic = run(BUILD / "cvt-check", "--labels", tmp / "nrrd.npy", "--sites", tmp / "nrrd.csv", "--spacing", "1,1,1",
                "--adjacency", tmp / "nrrd-adjacency.csv")
    assert cubic.returncode == 1  # nearest sites and areas both measured otherwise


@pytest.mark.parametrize("spacing", ["0,1,1", "-1,1,1", "nan,1,1", "1,inf,1", "1,1", "1,1,1,1", "a,b,c",
                                     "1,1,2000"])
def test_bad_spacing_options_are_usage_errors(runs, spacing):
    result = run(BUILD / "cvt-volume", runs["tmp"] / "density.npy", "--spacing", spacing)
    assert result.returncode == 2
    assert "--spacing" in result.stderr
    checked = run(BUILD / "cvt-check", "--labels", runs["tmp"] / "nrrd.npy", "--sites", runs["tmp"] / "nrrd.csv",
                  "--spacing", spacing)
    assert checked.returncode == 2 and len(checked.stderr.splitlines()) == 1


@pytest.mark.parametrize("line, says", [("spacings: 1 -1 1", "along y"), ("spacings: 1 1 5000", "at most 1024")])
def test_files_with_unusable_spacing_are_refused(runs, line, says):
    path = runs["tmp"] / "bad.nrrd"
    write_nrrd(path, runs["density"], line)
    result = run(BUILD / "cvt-volume", path, "--quiet", "--max-iterations", 0)
    assert result.returncode == 1
    assert len(result.stderr.splitlines()) == 1
    assert str(path) in result.stderr and says in result.stderr

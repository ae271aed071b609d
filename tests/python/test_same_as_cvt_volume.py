# The module and cvt-volume give the same tessellation of the same density, to the bit.
import csv
import json
import subprocess

import numpy as np
import pytest

import cvt
from conftest import blob

CASES = [
    # (shape, module arguments, cvt-volume arguments)
    ((30, 40, 50), dict(sites=300), ["--sites", "300"]),
    ((20, 30, 100), dict(sites=200, seeding="uniform", seed=5, levels=2, max_iterations=30),
     ["--sites", "200", "--seeding", "uniform", "--seed", "5", "--levels", "2", "--max-iterations", "30"]),
    ((10, 20, 30), dict(initial_sites=[[1, 2, 3], [9, 19, 29], [5, 0, 12]], max_iterations=20),
     ["--sites-in", "{sites_in}", "--max-iterations", "20"]),
    ((10, 20, 30), dict(sites=50, start_label=0), ["--sites", "50", "--start-label", "0"]),
]


@pytest.mark.parametrize("shape, arguments, options", CASES)
def test_module_and_cvt_volume_agree(tmp_path, cvt_volume, shape, arguments, options):
    density = blob(shape) / 7  # not integers: the division by the maximum matters
    np.save(tmp_path / "density.npy", density)
    with open(tmp_path / "sites_in.csv", "w") as sites_in:
        sites_in.writelines(f"{x},{y},{z}\n" for z, y, x in arguments.get("initial_sites", []))
    options = [o.format(sites_in=tmp_path / "sites_in.csv") for o in options]
    subprocess.run([str(cvt_volume), str(tmp_path / "density.npy"), *options, "--quiet",
                    "--labels", str(tmp_path / "labels.npy"), "--sites-out", str(tmp_path / "sites.csv"),
                    "--summary", str(tmp_path / "run.json")], check=True)

    result = cvt.tessellate(density, **arguments)
    np.testing.assert_array_equal(result.labels, np.load(tmp_path / "labels.npy"))
    with open(tmp_path / "sites.csv") as sites:
        rows = list(csv.DictReader(sites))
    np.testing.assert_array_equal(result.sites, [[int(r["z"]), int(r["y"]), int(r["x"])] for r in rows])
    np.testing.assert_array_equal(result.voxels, [int(r["voxels"]) for r in rows])
    np.testing.assert_array_equal(result.initial_index, [int(r["initial_index"]) for r in rows])
    np.testing.assert_allclose(result.centroids, [[float(r["cz"]), float(r["cy"]), float(r["cx"])] for r in rows],
                               rtol=1e-8)
    assert int(rows[0]["id"]) == result.first_id == arguments.get("start_label", 1)
    summary = json.load(open(tmp_path / "run.json"))
    assert result.history == summary["history"]
    assert (result.stop, result.iterations) == (summary["stop"]["reason"], summary["stop"]["iteration"])
    assert result.energy == summary["final_energy"]
    assert result.energy_physical == summary["final_energy_physical"]


def write_image(path, image, spacing):
    """An image (rows, columns) in the format of the path's extension, x along the columns; spacing
    (x, y). A TIFF is a volume of one page."""
    if path.suffix == ".npy":
        np.save(path, image)
    elif path.suffix == ".nrrd":
        header = (f"NRRD0004\ntype: float\ndimension: 2\nsizes: {image.shape[1]} {image.shape[0]}\nencoding: raw\n"
                  f"endian: little\nspacings: {spacing[0]} {spacing[1]}\n\n")
        path.write_bytes(header.encode() + image.astype("<f4").tobytes())
    elif path.suffix == ".gz":
        nibabel = pytest.importorskip("nibabel")
        nibabel.save(nibabel.Nifti1Image(image.T, np.diag([*spacing, 1, 1])), path)
    else:
        pil = pytest.importorskip("PIL.Image")
        pil.fromarray(image.astype(np.float32), mode="F").save(path)


@pytest.mark.parametrize("name, spacing", [("image.npy", (1, 1)), ("image.nrrd", (0.5, 1.5)),
                                           ("image.nii.gz", (2.0, 0.5)), ("image.tif", (1, 1))])
def test_cvt_volume_reads_an_image_as_one_plane(tmp_path, cvt_volume, name, spacing):
    image = blob((37, 50)) / 3 + 1
    write_image(tmp_path / name, image, spacing)
    files = ["--labels", str(tmp_path / "labels.npy"), "--sites-out", str(tmp_path / "sites.csv")]
    subprocess.run([str(cvt_volume), str(tmp_path / name), "--sites", "40", "--quiet", *files], check=True)
    files[2] = "--sites"
    result = cvt.tessellate(image, 40, spacing=spacing[::-1])
    labels = np.load(tmp_path / "labels.npy")
    np.testing.assert_array_equal(labels if name != "image.tif" else labels[0], result.labels)
    assert labels.ndim == (3 if name == "image.tif" else 2)
    check = subprocess.run([str(cvt_volume.parent / "cvt-check"), *files, "--density", str(tmp_path / name)],
                           capture_output=True, text=True)
    assert check.returncode == 0 and "labels: exact" in check.stdout, check.stdout + check.stderr

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
    summary = json.load(open(tmp_path / "run.json"))
    assert result.history == summary["history"]
    assert (result.stop, result.iterations) == (summary["stop"]["reason"], summary["stop"]["iteration"])
    assert result.energy == summary["final_energy"]
    assert result.energy_physical == summary["final_energy_physical"]

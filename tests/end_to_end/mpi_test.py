"""cvt-volume across MPI ranks against one process: 1 to 4 ranks on boxes whose planes do not split
evenly (down to a rank holding a single plane or a single unit of pyramid planes), masked, on several
levels, with regions made connected, write the same labels, sites, adjacency, text, preview and summary
(apart from timings) as one process, for files each rank reads its own planes of and for compressed
ones that rank 0 reads and scatters; a rank that fails in the middle of the run leaves no output, and every rank
exits non-zero. Run with pytest; CVT_BUILD_DIR names the build directory."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import nibabel
import numpy as np
import pytest

BUILD = Path(os.environ.get("CVT_BUILD_DIR", "build")).resolve()
VOLUME = BUILD / "cvt-volume"
# Open MPI refuses root unless told, and may not find as many cores as ranks; one host thread per
# rank keeps the device name (which counts them) the same as the single process's.
MPIRUN = ["mpirun", "--oversubscribe", "--allow-run-as-root", "--mca", "btl_vader_single_copy_mechanism", "none"]
ENVIRONMENT = dict(os.environ, OMP_NUM_THREADS="1")

pytestmark = pytest.mark.skipif(shutil.which("mpirun") is None, reason="Open MPI's mpirun is not installed")


def run(arguments, env=ENVIRONMENT, **options):
    return subprocess.run([str(a) for a in arguments], capture_output=True, text=True, env=env, **options)


def density(nx, ny, nz):
    z, y, x = np.mgrid[0:nz, 0:ny, 0:nx]
    return (0.1 + np.exp(-((x - nx / 3) / (nx / 3)) ** 2 - ((y - ny / 2) / (ny / 4)) ** 2 -
                         ((z - nz / 2) / (nz / 2)) ** 2)).astype(np.float32)


OUTPUTS = {"--labels": "labels.npy", "--sites-out": "sites.csv", "--summary": "summary.json",
           "--adjacency": "adjacency.csv", "--text": "labels.txt", "--preview": "preview.png"}


def outputs(folder, ranks, density_path, *options, environment=ENVIRONMENT):
    """Runs cvt-volume on `ranks` ranks (None: without mpirun) into `folder`, with every output; returns
    the outputs' bytes, the summary without its timings and paths."""
    folder.mkdir()
    command = [VOLUME, density_path, "--quiet", *options]
    for option, name in OUTPUTS.items():
        command += [option, folder / name]
    result = run(command if ranks is None else MPIRUN + ["-np", ranks] + command, env=environment)
    assert result.returncode == 0, result.stderr
    files = {name: (folder / name).read_bytes() for name in OUTPUTS.values() if name != "summary.json"}
    summary = json.loads((folder / "summary.json").read_text())
    del summary["seconds"]
    summary["outputs"] = None  # the paths differ
    return files, summary


def mask_of(values):
    """A mask with a hole through every plane and a plane with nothing inside: regions split by it."""
    nz, ny, nx = values.shape
    z, y, x = np.mgrid[0:nz, 0:ny, 0:nx]
    mask = ((x - nx / 2) ** 2 + (y - ny / 2) ** 2 > (min(nx, ny) / 5) ** 2).astype(np.uint8)
    mask[nz // 2] = 0
    return mask


@pytest.mark.parametrize("shape, kind, options", [
    ((45, 37, 11), "npy", ["--sites", 40, "--max-iterations", 35]),
    ((40, 33, 5), "nii.gz", ["--sites", 25, "--max-iterations", 20, "--spacing", "1,1.5,2.5"]),
    ((64, 20, 7), "npy", ["--seeding", "uniform", "--sites", 30, "--max-iterations", 20, "--seed", 3]),
    ((120, 40, 13), "npy", ["--sites", 30, "--levels", 2, "--mask", "MASK", "--connected"]),
    ((250, 100, 13), "nii.gz", ["--sites", 20, "--levels", 3, "--mask-above", "0.4", "--max-iterations", 40]),
    ((64, 60, 21), "npy", ["--sites", 25, "--connected", "--mask", "MASK", "--seeding", "uniform", "--spacing", "1,1,2",
                           "--max-iterations", 30]),
])
def test_every_rank_count_writes_the_bytes_of_one_process(tmp_path, shape, kind, options):
    values = density(*shape)
    path = tmp_path / f"density.{kind}"
    if kind == "npy":
        np.save(path, values)
    else:
        nibabel.save(nibabel.Nifti1Image(np.asfortranarray(values.transpose(2, 1, 0)), np.eye(4)), path)
    np.save(tmp_path / "mask.npy", mask_of(values))
    options = [tmp_path / "mask.npy" if o == "MASK" else o for o in options]
    single = outputs(tmp_path / "alone", None, path, *options)
    if "--levels" in options:  # the run is as deep as asked
        assert single[1]["grid"]["levels_used"] == options[options.index("--levels") + 1]
    if "--connected" in options:  # and has regions to join
        assert single[1]["connected"]["voxels_moved"] > 0
    for ranks in (1, 2, 3, 4):
        assert outputs(tmp_path / f"ranks{ranks}", ranks, path, *options) == single, f"{ranks} ranks"


def test_ranks_with_64_bit_codes_write_the_bytes_of_one_process_with_32_bit_ones(tmp_path):
    values = density(120, 40, 13)
    np.save(tmp_path / "density.npy", values)
    np.save(tmp_path / "mask.npy", mask_of(values))
    options = ["--sites", 30, "--levels", 2, "--mask", tmp_path / "mask.npy", "--connected"]
    files, summary = outputs(tmp_path / "narrow", None, tmp_path / "density.npy", *options)
    wide = dict(ENVIRONMENT, CVT_WIDE_SITE_CODES="1")
    for ranks in (1, 3):
        wide_files, wide_summary = outputs(tmp_path / f"wide{ranks}", ranks, tmp_path / "density.npy", *options,
                                           environment=wide)
        assert wide_files == files, f"{ranks} ranks"
        assert [wide_summary[k] for k in ("history", "stop", "final_energy", "sites", "connected")] == \
            [summary[k] for k in ("history", "stop", "final_energy", "sites", "connected")]


def test_slabs_of_zeros_run_and_a_bad_voxel_is_named_in_the_whole_volume(tmp_path):
    values = density(40, 32, 11)
    values[8:] = 0  # the last ranks' slabs hold no density at all
    np.save(tmp_path / "density.npy", values)
    assert outputs(tmp_path / "ranks", 4, tmp_path / "density.npy", "--sites", 20, "--max-iterations", 12) == \
        outputs(tmp_path / "alone", None, tmp_path / "density.npy", "--sites", 20, "--max-iterations", 12)
    values[9, 3, 5] = -1
    np.save(tmp_path / "bad.npy", values)
    single = run([VOLUME, tmp_path / "bad.npy", "--quiet"])
    ranks = run(MPIRUN + ["-np", 4, VOLUME, tmp_path / "bad.npy", "--quiet"])
    assert single.returncode == ranks.returncode == 1
    assert "at voxel (5, 3, 9)" in single.stderr and single.stderr.splitlines()[0] in ranks.stderr, ranks.stderr


def test_given_sites_and_compressed_labels_gathered_by_rank_0(tmp_path):
    np.save(tmp_path / "density.npy", density(33, 40, 9))
    (tmp_path / "start.csv").write_text("x,y,z\n" + "".join(f"{3 * i % 33},{7 * i % 40},{i % 9}\n" for i in range(20)))
    files = {}
    for ranks in (1, 3):
        labels = tmp_path / f"labels{ranks}.nii.gz"
        command = [VOLUME, tmp_path / "density.npy", "--sites-in", tmp_path / "start.csv", "--max-iterations", 15,
                   "--labels", labels, "--quiet"]
        result = run(command if ranks == 1 else MPIRUN + ["-np", ranks] + command)
        assert result.returncode == 0, result.stderr
        files[ranks] = labels.read_bytes()
    assert files[1] == files[3]


def test_a_rank_failing_mid_run_leaves_nothing_and_ends_every_rank(tmp_path):
    np.save(tmp_path / "density.npy", density(40, 32, 12))
    out = tmp_path / "out"
    out.mkdir()
    command = [VOLUME, tmp_path / "density.npy", "--sites", 20, "--max-iterations", 30, "--labels",
               out / "labels.npy", "--sites-out", out / "sites.csv", "--quiet"]
    # The second of three ranks has its 60th device launch fail: in the middle of the iterations.
    result = run(MPIRUN + ["-np", 1] + command + [":", "-np", 1, "-x", "CVT_SIM_FAIL_LAUNCH=60"] + command +
                 [":", "-np", 1] + command, timeout=120)
    assert result.returncode != 0
    assert "cvt-volume: " in result.stderr and "launch" in result.stderr, result.stderr
    assert list(out.iterdir()) == []


def test_a_failure_every_rank_meets_gives_one_message(tmp_path):
    np.save(tmp_path / "density.npy", density(40, 32, 12))
    result = run(MPIRUN + ["-np", 3, VOLUME, tmp_path / "density.npy", "--quiet", "--labels", tmp_path / "missing" / "l.npy"])
    assert result.returncode != 0
    lines = [line for line in result.stderr.splitlines() if line.startswith("cvt-volume:")]
    assert len(lines) == 1 and "missing" in lines[0], result.stderr
    refused = run(MPIRUN + ["-np", 2, VOLUME, tmp_path / "density.npy", "--fast-atomics"])
    assert refused.returncode != 0 and "one process only" in refused.stderr, refused.stderr

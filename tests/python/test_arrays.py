# Any type, memory order and strides give the tessellation of the values and the shape alone.
import subprocess

import numpy as np
import pytest

import cvt
from conftest import blob

SHAPE = (20, 24, 28)
RUN = dict(sites=40, max_iterations=20)


def strided(a):
    """A view with the same values, every second plane of a larger array."""
    big = np.zeros((2 * a.shape[0],) + a.shape[1:], a.dtype)
    big[::2] = a
    return big[::2]


def reversed_rows(a):
    """A view with the same values whose rows run backwards in memory."""
    return np.ascontiguousarray(a[:, :, ::-1])[:, :, ::-1]


LAYOUTS = {
    "c": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "strided": strided,
    "negative strides": reversed_rows,
    "transposed view": lambda a: np.ascontiguousarray(a.transpose(2, 0, 1)).transpose(1, 2, 0),
}
TYPES = ["u1", "u2", "u4", "i2", "i4", "f4", "f8", ">f4", "<i8", "f2"]


@pytest.fixture(scope="module")
def reference():
    return cvt.tessellate(blob(SHAPE), **RUN)


@pytest.mark.parametrize("dtype", TYPES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_type_and_layout_gives_the_same_tessellation(reference, dtype, layout):
    density = LAYOUTS[layout](blob(SHAPE).astype(dtype))
    result = cvt.tessellate(density, **RUN)
    np.testing.assert_array_equal(result.labels, reference.labels)
    np.testing.assert_array_equal(result.sites, reference.sites)
    assert result.energy == reference.energy


@pytest.mark.parametrize("shape", [(1, 30, 50), (17, 1, 9), (40, 3, 1), (1, 1, 1)])
def test_results_describe_their_regions(shape):
    density = blob(shape) + 1
    result = cvt.tessellate(density, sites=min(10, density.size), max_iterations=20)
    assert result.labels.shape == shape and result.labels.dtype == np.int32 and result.first_id == 1
    ids = np.arange(len(result.sites))
    regions = result.labels.ravel() - 1  # 0 is never a region
    np.testing.assert_array_equal(result.labels[tuple(result.sites.T)], ids + 1)
    np.testing.assert_array_equal(np.bincount(regions, minlength=len(ids)), result.voxels)
    np.testing.assert_allclose(np.bincount(regions, density.ravel(), len(ids)), result.mass)
    weighted = [np.bincount(regions, density.ravel() * axis.ravel(), len(ids)) for axis in np.indices(shape)]
    np.testing.assert_allclose(np.transpose(weighted) / result.mass[:, None], result.centroids)
    assert result.stop in ("converged", "iteration_budget")
    # Every tenth iteration's decision, then the plain steps that end the run, one per iteration.
    scheduled = result.iterations - result.plain_steps
    assert [d["iteration"] for d in result.history] == (list(range(10, scheduled + 1, 10)) +
                                                        list(range(scheduled + 1, result.iterations + 1)))


@pytest.mark.parametrize("start_label", [1, 0])
def test_initial_sites_are_array_indices_in_their_order_and_zero_iterations_only_label_them(start_label):
    sites = np.array([[19, 23, 27], [0, 0, 0], [5, 20, 3]])
    result = cvt.tessellate(blob(SHAPE), initial_sites=sites, max_iterations=0, start_label=start_label)
    assert result.stop == "no_iterations" and result.first_id == start_label
    np.testing.assert_array_equal(result.sites, sites)
    np.testing.assert_array_equal(result.initial_index, [0, 1, 2])
    distances = [np.sum((np.indices(SHAPE).T - s) ** 2, axis=-1).T for s in sites]
    np.testing.assert_array_equal(np.min(distances, axis=0), np.choose(result.labels - start_label, distances))


def test_sites_that_merge_leave_the_others_in_their_order():
    # Rows 0 and 2 share a voxel of the coarser level, where the first stands for both.
    density = blob((8, 64, 128)) + 1
    sites = np.array([[2, 10, 10], [6, 40, 100], [3, 11, 11], [1, 50, 5], [5, 20, 60]])
    result = cvt.tessellate(density, initial_sites=sites, levels=2)
    assert result.stop == "converged"
    assert 2 not in result.initial_index and np.all(np.diff(result.initial_index) > 0)
    exact = cvt.tessellate(density, initial_sites=sites, max_iterations=0)
    np.testing.assert_array_equal(exact.initial_index, np.arange(len(sites)))


def test_seed_none_draws_a_fresh_seed_that_the_result_reports():
    first, second = (cvt.tessellate(blob(SHAPE), seed=None, seeding="uniform", **RUN) for _ in range(2))
    assert first.seed != second.seed
    again = cvt.tessellate(blob(SHAPE), seed=np.uint64(first.seed), seeding="uniform", **RUN)
    np.testing.assert_array_equal(again.labels, first.labels)
    assert again.seed == first.seed and cvt.tessellate(blob(SHAPE), **RUN).seed == 0
    drawn = [cvt.tessellate(blob(SHAPE), seed=np.random.default_rng(7), **RUN).seed for _ in range(2)]
    assert drawn[0] == drawn[1] == int(np.random.default_rng(7).integers(2**64, dtype=np.uint64))


@pytest.mark.parametrize("shape", [SHAPE, SHAPE[1:]])
def test_a_single_spacing_means_every_axis(shape):
    density = blob(shape) + 1
    one = cvt.tessellate(density, 30, max_iterations=15, spacing=2.5)
    every = cvt.tessellate(density, 30, max_iterations=15, spacing=[2.5] * len(shape))
    np.testing.assert_array_equal(one.labels, every.labels)
    assert one.energy == every.energy and one.energy_physical == every.energy_physical


def test_the_version_is_the_projects(cvt_volume):
    version = subprocess.run([str(cvt_volume), "--version"], capture_output=True, text=True, check=True).stdout
    assert version == f"cvt-volume {cvt.__version__}\n" and cvt.__version__.count(".") == 2

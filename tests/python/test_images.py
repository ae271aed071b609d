# 2-D images are tessellated exactly as volumes of one plane, with 2-D results; masked arrays are
# tessellated where they are not masked.
import numpy as np
import pytest

import cvt
from conftest import blob, nearest_sites

IMAGES = [
    # (shape, spacing, keyword arguments)
    ((40, 56), None, dict(sites=30, max_iterations=30)),
    ((33, 70), (1, 3), dict(sites=25, seeding="uniform", seed=3, max_iterations=25)),
    ((64, 20), (0.5, 1.5), dict(sites=40, levels=2, max_iterations=40)),
    ((1, 90), 2.0, dict(sites=7, max_iterations=10)),
    ((17, 1), None, dict(sites=5, max_iterations=0)),
    ((24, 24), (2, 1), dict(initial_sites=[[0, 0], [23, 23], [5, 17], [12, 3]], max_iterations=12)),
]


def random_image(shape, seed):
    rng = np.random.default_rng(seed)
    return (blob(shape) + rng.integers(1, 60, shape)).astype(np.float32)


@pytest.mark.parametrize("shape, spacing, arguments", IMAGES)
@pytest.mark.parametrize("seed", [0, 1])
def test_an_image_is_labelled_exactly_and_is_the_volume_of_one_plane(shape, spacing, arguments, seed):
    image = random_image(shape, seed)
    mask = (np.indices(shape).sum(axis=0) % 7 != 3).astype(np.uint8) if seed else None
    result = cvt.tessellate(image, spacing=spacing, mask=mask, **arguments)
    assert result.labels.shape == shape and result.labels.dtype == np.int32 and result.sites.shape[1] == 2
    ids = np.arange(len(result.sites)) + result.first_id
    np.testing.assert_array_equal(result.labels[tuple(result.sites.T)], ids)
    axes = np.broadcast_to(1.0 if spacing is None else spacing, 2)
    expected = nearest_sites(shape, result.sites, axes) + result.first_id
    inside = np.ones(shape, bool) if mask is None else mask == 1
    np.testing.assert_array_equal(result.labels[inside], expected[inside])
    assert np.all(result.labels[~inside] == 0)

    # The same run on the volume of one plane, whose plane axis takes the smaller spacing.
    volume_arguments = dict(arguments)
    if "initial_sites" in arguments:
        volume_arguments["initial_sites"] = np.insert(arguments["initial_sites"], 0, 0, axis=1)
    plane = cvt.tessellate(image[None], spacing=(min(axes), *axes), mask=None if mask is None else mask[None],
                           **volume_arguments)
    np.testing.assert_array_equal(result.labels, plane.labels[0])
    np.testing.assert_array_equal(result.sites, plane.sites[:, 1:])
    for field in ("mass", "voxels", "pieces"):
        np.testing.assert_array_equal(getattr(result, field), getattr(plane, field))
    assert (result.energy, result.energy_physical, result.history, result.stop, result.iterations) == (
        plane.energy, plane.energy_physical, plane.history, plane.stop, plane.iterations)


def masked_pair(shape, seed):
    """A masked array with garbage (NaN, negative values) where it is masked, and its data made valid."""
    rng = np.random.default_rng(seed)
    density = blob(shape) + 1
    masked = rng.random(shape) < 0.3
    garbage = density.copy()
    garbage[masked] = rng.choice([np.nan, -5.0, np.inf], masked.sum())
    return np.ma.masked_array(garbage, masked), density, masked


@pytest.mark.parametrize("shape", [(12, 16, 20), (30, 40)])
def test_masked_means_outside_and_with_a_mask_inside_both(shape):
    masked_density, density, masked = masked_pair(shape, 4)
    result = cvt.tessellate(masked_density, 15, max_iterations=20)
    expected = cvt.tessellate(density, 15, max_iterations=20, mask=~masked)
    np.testing.assert_array_equal(result.labels, expected.labels)
    assert np.all(result.labels[masked] == 0) and result.first_id == 1

    mask = np.indices(shape)[-1] < shape[-1] // 2
    both = cvt.tessellate(masked_density, 10, max_iterations=20, mask=mask)
    expected = cvt.tessellate(density, 10, max_iterations=20, mask=mask & ~masked)
    np.testing.assert_array_equal(both.labels, expected.labels)


def test_a_masked_array_with_nothing_masked_is_a_run_inside_everything():
    density = blob((10, 12, 14)) + 1
    result = cvt.tessellate(np.ma.masked_array(density), 10, max_iterations=10)
    expected = cvt.tessellate(density, 10, max_iterations=10, mask=np.ones(density.shape))
    np.testing.assert_array_equal(result.labels, expected.labels)

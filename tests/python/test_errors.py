# What cannot be run is refused with the exception its kind calls for and the message cvt-volume prints.
import numpy as np
import pytest

import cvt
from conftest import blob


def with_value(index, value):
    density = blob((8, 9, 10)).astype(np.float64)
    density[index] = value
    return density


GOOD = blob((8, 9, 10))
CASES = [
    # (density, keyword arguments, message)
    (with_value((1, 2, 3), np.nan), {}, r"^density: value NaN at voxel \[1, 2, 3\]$"),
    (with_value((7, 0, 9), -0.5), {}, r"^density: negative value -0.5 at voxel \[7, 0, 9\]; map negative values with window=\(lo, hi\) or clip_below=v$"),
    (with_value((0, 0, 0), np.inf), {}, r"^density: infinite value inf at voxel \[0, 0, 0\]$"),
    (np.zeros((4, 4, 4)), {}, r"^density: every density value is zero$"),
    (np.ones((4, 4)), {}, r"^density: a 2-D array; a density has 3 dimensions$"),
    (np.ones((2, 2, 2, 2)), {}, r"4-D array"),
    (np.ones((0, 4, 4)), {}, r"^density: a 4 x 4 x 0 box; every side must be from 1 to 4096$"),
    (np.ones((1, 1, 4097), np.uint8), {}, r"every side must be from 1 to 4096"),
    (np.ones((2, 2, 2), np.complex64), {}, r"complex64 are not real numbers"),
    (GOOD, {"sites": 0}, r"^the number of sites must be from 1 to 1073741824, not 0$"),
    (GOOD, {"sites": 2**40}, r"^the number of sites must be from 1"),
    (GOOD, {"sites": 721}, r"^density: 721 sites asked for, but the box has only 720 voxels$"),
    (with_value(np.s_[:, :, 1:], 0), {"sites": 73}, r"only 72 voxels have a positive density"),
    (GOOD, {"max_iterations": -1}, r"^the iteration budget must be from 0"),
    (GOOD, {"levels": 0}, r"^the number of levels must be from 1 to 10, not 0$"),
    (GOOD, {"seeding": "random"}, r'^seeding must be "density" or "uniform", not "random"$'),
    (GOOD, {"seed": -1}, r"^seed must be from 0 to 2\*\*64 - 1"),
    (GOOD, {"initial_sites": [[8, 0, 0]]}, r"^initial_sites: site \[8, 0, 0\] lies outside the 10 x 9 x 8 box$"),
    (GOOD, {"initial_sites": [[1, 2, 3], [0, 0, 0], [1, 2, 3]]}, r"is listed twice, in rows 1 and 3$"),
    (GOOD, {"initial_sites": np.zeros((0, 3), int)}, r"^initial_sites: lists no sites$"),
    (GOOD, {"initial_sites": [[1, 2]]}, r"shape \(N, 3\)"),
    (GOOD, {"initial_sites": [[0.5, 1, 2]]}, r"integer array indices"),
]


@pytest.mark.parametrize("density, arguments, message", CASES)
def test_bad_input_is_a_value_error(density, arguments, message):
    with pytest.raises(ValueError, match=message):
        cvt.tessellate(density, **{"sites": 10, **arguments})


def test_a_run_too_large_is_a_memory_error_before_allocating():
    available = int(open("/proc/meminfo").read().split("MemAvailable:")[1].split()[0]) * 1024
    backend = cvt.tessellate(GOOD, 1, max_iterations=0).backend
    if backend != "sim" or available > 64 << 30:
        pytest.skip("this machine could hold a run on a 1024^3 grid")
    density = np.broadcast_to(np.ones(1, np.uint8), (1024, 1024, 1024))  # no memory of its own
    with pytest.raises(MemoryError, match=r"^the run needs .* GiB available \(a 1024 x 1024 x 1024 box"):
        cvt.tessellate(density, 10)


def test_a_progress_callback_that_is_not_callable_is_a_type_error():
    with pytest.raises(TypeError):
        cvt.tessellate(GOOD, 10, progress="yes")

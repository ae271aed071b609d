# What cannot be run is refused before the run, with the exception its kind calls for and a message in
# the caller's own terms: the argument's name, array indices and shapes in array order.
import numpy as np
import pytest

import cvt
from conftest import blob


def with_value(index, value, shape=(8, 9, 10)):
    density = blob(shape).astype(np.float64)
    density[index] = value
    return density


GOOD = blob((8, 9, 10))
IMAGE = blob((4, 6)) + 1
NAN, INF = float("nan"), float("inf")
CASES = [
    # (density, keyword arguments, exception, message)
    (with_value((1, 2, 3), NAN), {}, ValueError, r"^density: value NaN at voxel \[1, 2, 3\]$"),
    (with_value((7, 0, 9), -0.5), {}, ValueError, r"^density: negative value -0.5 at voxel \[7, 0, 9\]; map negative values with window=\(lo, hi\) or clip_below=v$"),
    (with_value((0, 0, 0), INF), {}, ValueError, r"^density: infinite value inf at voxel \[0, 0, 0\]$"),
    (with_value((1, 2), NAN, (4, 6)), {}, ValueError, r"^density: value NaN at voxel \[1, 2\]$"),
    (np.zeros((4, 4, 4)), {}, ValueError, r"^density: every density value is zero$"),
    (np.ones(4), {}, ValueError, r"^density: a 1-D array; an image has 2 dimensions, a volume 3$"),
    (np.ones((2, 2, 2, 2)), {}, ValueError, r"4-D array"),
    (np.ones((0, 4, 4)), {}, ValueError, r"^density: a \(0, 4, 4\) array; every side must be from 1 to 16384$"),
    (np.ones((4, 0)), {}, ValueError, r"^density: a \(4, 0\) image; every side must be from 1 to 16384$"),
    (np.ones((1, 1, 16385), np.uint8), {}, ValueError, r"every side must be from 1 to 16384"),
    (np.ones((2, 2, 2), np.complex64), {}, TypeError, r"^density: values of type complex64 are not real numbers$"),
    ("dense", {}, TypeError, r"^density: values of type <U5 are not real numbers$"),
    (GOOD, {"sites": 0}, ValueError, r"^the number of sites must be from 1 to 1073741824, not 0$"),
    (GOOD, {"sites": 2**70}, ValueError, r"^the number of sites must be from 1"),
    (GOOD, {"sites": 721}, ValueError, r"^density: 721 sites asked for, but the \(8, 9, 10\) array has only 720 voxels$"),
    (IMAGE, {"sites": 25}, ValueError, r"^density: 25 sites asked for, but the \(4, 6\) image has only 24 voxels$"),
    (with_value(np.s_[:, :, 1:], 0), {"sites": 73}, ValueError, r"only 72 voxels have a positive density"),
    (GOOD, {"max_iterations": -1}, ValueError, r"^the iteration budget must be from 0"),
    (GOOD, {"levels": 0}, ValueError, r"^the number of levels must be from 1 to 10, not 0$"),
    (GOOD, {"start_label": 2}, ValueError, r"^start_label must be 0 or 1, not 2$"),
    (GOOD, {"connected": True, "deterministic": False}, ValueError, r"^connected regions need the exact sums"),
    (GOOD, {"start_label": 0, "mask_above": 10}, ValueError, r"^with a mask, label 0 is the outside: the start label must be 1$"),
    (GOOD, {"seeding": "random"}, ValueError, r'^seeding must be "density" or "uniform", not "random"$'),
    (GOOD, {"seed": -1}, ValueError, r"^seed must be from 0 to 2\*\*64 - 1, not -1$"),
    (GOOD, {"seed": 2**64}, ValueError, r"^seed must be from 0 to 2\*\*64 - 1"),
    (GOOD, {"initial_sites": [[8, 0, 0]]}, ValueError, r"^initial_sites: site \[8, 0, 0\] lies outside the \(8, 9, 10\) array$"),
    (IMAGE, {"initial_sites": [[1, 6]]}, ValueError, r"^initial_sites: site \[1, 6\] lies outside the \(4, 6\) image$"),
    (GOOD, {"initial_sites": [[1, 2, 3], [0, 0, 0], [1, 2, 3]]}, ValueError, r"site \[1, 2, 3\] is listed twice, in rows 1 and 3$"),
    (GOOD, {"initial_sites": np.zeros((0, 3), int)}, ValueError, r"^initial_sites: lists no sites$"),
    (GOOD, {"initial_sites": [[1, 2]]}, ValueError, r"^initial_sites: an array of shape \(N, 3\) is needed, not \(1, 2\)$"),
    (IMAGE, {"initial_sites": [[1, 2, 0]]}, ValueError, r"shape \(N, 2\) is needed"),
    (GOOD, {"spacing": (1, 1, 0)}, ValueError, r"^spacing: the spacing along axis 2 is not a positive finite number$"),
    (GOOD, {"spacing": (-1, 1, 1)}, ValueError, r"along axis 0 is not"),
    (IMAGE, {"spacing": (1, 0)}, ValueError, r"along axis 1 is not"),
    (GOOD, {"spacing": (1, 1, 5000)}, ValueError, r"^spacing: the largest spacing is 5000 times the smallest; at most 1024"),
    (GOOD, {"spacing": (1, 2)}, ValueError, r"^spacing: 3 values are needed, one per axis, not 2$"),
    (GOOD, {"mask": np.ones((3, 3, 3))}, ValueError, r"^mask: shape \(3, 3, 3\) differs from the density's \(8, 9, 10\)$"),
    (GOOD, {"mask": with_value((0, 1, 2), NAN)}, ValueError, r"^mask: value nan at \[0, 1, 2\] is neither inside nor outside$"),
    (GOOD, {"mask": np.zeros((8, 9, 10))}, ValueError, r"^mask: no voxel lies inside the mask$"),
    (GOOD, {"mask_above": 1e9}, ValueError, r"^density: no voxel lies inside the mask$"),
    (GOOD, {"window": (1e6, 2e6)}, ValueError, r"^density: every density value is zero after the mapping"),
    (GOOD, {"window": (5, 5)}, ValueError, r"^window: \(lo, hi\) with finite lo < hi is needed, not \(5.0, 5.0\)$"),
    (GOOD, {"window": (0, 1), "clip_below": 0}, ValueError, r"give one"),
    # Types: the argument's name and what it takes, never the array.
    (GOOD, {"sites": 2.5}, TypeError, r"^sites must be an integer, not float$"),
    (GOOD, {"sites": True}, TypeError, r"^sites must be an integer, not bool$"),
    (GOOD, {"levels": "2"}, TypeError, r"^levels must be an integer, not str$"),
    (GOOD, {"max_iterations": None}, TypeError, r"^max_iterations must be an integer, not None$"),
    (GOOD, {"seed": 2.5}, TypeError, r"^seed must be None, an integer or a numpy.random.Generator, not float$"),
    (GOOD, {"seeding": 1}, TypeError, r'^seeding must be "density" or "uniform", not int$'),
    (GOOD, {"deterministic": "no"}, TypeError, r"^deterministic must be True or False, not str$"),
    (GOOD, {"initial_sites": [[0.5, 1, 2]]}, TypeError, r"^initial_sites must be integer array indices, not float64 values$"),
    (GOOD, {"mask": "inside"}, TypeError, r"^mask must be an array of booleans or numbers, not of <U6$"),
    (GOOD, {"mask_above": "1"}, TypeError, r"^mask_above must be a real number, not str$"),
    (GOOD, {"clip_below": [1]}, TypeError, r"^clip_below must be a real number, not list$"),
    (GOOD, {"spacing": "1,1,1"}, TypeError, r"^spacing must be a number or 3 numbers, one per axis, not str$"),
    (GOOD, {"spacing": [[1, 1, 1]]}, TypeError, r"^spacing must be a number or 3 numbers"),
    (GOOD, {"window": 5}, TypeError, r"^window must be \(lo, hi\), two numbers, not int$"),
    (GOOD, {"progress": "yes"}, TypeError, r"^progress must be None, a bool or a callable, not str$"),
    # NaN and infinite numbers, in any argument.
    (GOOD, {"mask_above": NAN}, ValueError, r"^mask_above must be a finite number, not nan$"),
    (GOOD, {"clip_below": -INF}, ValueError, r"^clip_below must be a finite number, not -inf$"),
    (GOOD, {"spacing": NAN}, ValueError, r"^spacing must be a finite number, not nan$"),
    (GOOD, {"spacing": (1, INF, 1)}, ValueError, r"^spacing must hold finite numbers, not \[1.0, inf, 1.0\]$"),
    (GOOD, {"window": (0, NAN)}, ValueError, r"^window must hold finite numbers"),
]


@pytest.mark.parametrize("density, arguments, exception, message", CASES)
def test_bad_arguments_are_refused_in_the_callers_terms(density, arguments, exception, message):
    with pytest.raises(exception, match=message) as error:
        cvt.tessellate(density, **{"sites": 10, **arguments})
    assert type(error.value) is exception and len(str(error.value)) < 160


def test_a_run_too_large_is_a_memory_error_before_allocating():
    available = int(open("/proc/meminfo").read().split("MemAvailable:")[1].split()[0]) * 1024
    backend = cvt.tessellate(GOOD, 1, max_iterations=0).backend
    if backend != "sim" or available > 96 << 30:
        pytest.skip("this machine could hold a run on a 2048 x 1024 x 1024 grid")
    density = np.broadcast_to(np.ones(1, np.uint8), (1024, 1024, 2048))  # no memory of its own
    with pytest.raises(MemoryError, match=r"^the run needs .* GiB available \(a \(1024, 1024, 2048\) array in a "
                                          r"\(1024, 1024, 2048\) grid\)$"):
        cvt.tessellate(density, 10)

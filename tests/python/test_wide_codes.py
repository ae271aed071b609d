# 64-bit site codes asked for (CVT_WIDE_SITE_CODES=1) on an array that 32-bit codes hold: the same
# result to the bit, and float atomics refused with a ValueError.
import numpy as np
import pytest

import cvt
from conftest import blob

RESULT_FIELDS = ["labels", "sites", "mass", "centroids", "voxels", "pieces", "initial_index", "adjacency"]


@pytest.mark.parametrize("arguments", [dict(sites=80, levels=2, max_iterations=40),
                                       dict(sites=60, mask_above=30, connected=True, spacing=(2.5, 0.7, 0.7))])
def test_wide_codes_give_the_result_of_narrow_ones(monkeypatch, arguments):
    density = blob((20, 30, 64))
    monkeypatch.delenv("CVT_WIDE_SITE_CODES", raising=False)
    narrow = cvt.tessellate(density, seed=4, **arguments)
    monkeypatch.setenv("CVT_WIDE_SITE_CODES", "1")
    wide = cvt.tessellate(density, seed=4, **arguments)
    for field in RESULT_FIELDS:
        np.testing.assert_array_equal(getattr(wide, field), getattr(narrow, field), err_msg=field)
    assert (wide.history, wide.stop, wide.energy) == (narrow.history, narrow.stop, narrow.energy)


def test_float_atomics_on_wide_codes_are_a_value_error(monkeypatch):
    monkeypatch.setenv("CVT_WIDE_SITE_CODES", "1")
    with pytest.raises(ValueError, match="64-bit site codes, and float atomics take 32-bit ones only"):
        cvt.tessellate(blob((8, 8, 8)), 5, deterministic=False)

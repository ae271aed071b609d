# The package and cvt-volume of one build: $CVT_BUILD_DIR, else the repository's build/.
import os
import sys
from pathlib import Path

import numpy as np
import pytest

BUILD = Path(os.environ.get("CVT_BUILD_DIR", Path(__file__).resolve().parents[2] / "build")).resolve()
sys.path.insert(0, str(BUILD / "python"))


@pytest.fixture(scope="session")
def cvt_volume() -> Path:
    return BUILD / "cvt-volume"


def blob(shape, scale=200.0):
    """A smooth bump of small integers, exact in every sample type."""
    grids = np.meshgrid(*(np.arange(n) for n in shape), indexing="ij")
    squared = sum(((g - n / 2) / max(n, 1)) ** 2 for g, n in zip(grids, shape))
    return np.rint(scale * np.exp(-4 * squared)).astype(np.float32)


def nearest_sites(shape, sites, spacing):
    """Brute force: each voxel's nearest site under the spacing, as an index into `sites`; ties to the
    smallest x (the last axis), then the smallest y, then the largest z (the first axis of a volume)."""
    grid = np.indices(shape).reshape(len(shape), -1).T[:, None, :]
    distance = (((grid - sites[None, :, :]) * np.asarray(spacing, float)) ** 2).sum(axis=-1)
    keys = (-sites[:, 0], sites[:, 1], sites[:, 2]) if len(shape) == 3 else (sites[:, 0], sites[:, 1])
    order = np.lexsort(keys)  # the preferred site first
    return order[np.argmin(distance[:, order], axis=1)].reshape(shape)

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

# The compiled core of the package; cvt.tessellate checks and documents the arguments.
from typing import Any, Callable, List, Optional, Tuple

import numpy as np

__version__: str

def tessellate(
    density: np.ndarray,
    image: bool,
    sites: int,
    seed: int,
    seeding: str,
    initial_sites: Optional[np.ndarray],
    max_iterations: int,
    levels: int,
    deterministic: bool,
    progress: Optional[Callable[[int, int, Optional[float]], object]],
    mask: Optional[np.ndarray],
    mask_above: Optional[float],
    spacing: Optional[List[float]],
    window: Optional[Tuple[float, float]],
    clip_below: Optional[float],
    connected: bool,
) -> dict[str, Any]: ...

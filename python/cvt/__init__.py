"""Centroidal Voronoi tessellations of 3-D densities, on the GPU when one is usable, else on the CPU.

The same computation as the ``cvt-volume`` program, in-process: NumPy arrays in, NumPy arrays out.
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional, Tuple, Union

import numpy as np

from . import _cvt

__all__ = ["Tessellation", "tessellate"]

ProgressCallback = Callable[[int, int, Optional[float]], object]

# Sample types read where they lie; other real types are converted to float64 first.
_SAMPLE_TYPES = tuple(np.dtype(t) for t in ("u1", "u2", "u4", "i2", "i4", "f4", "f8"))


@dataclass(frozen=True)
class Tessellation:
    """The result of :func:`tessellate`.

    Attributes
    ----------
    labels : ndarray of uint32, shape ``density.shape``
        The label of every voxel: the id of its region, from 0; with a mask, 0 outside it and ids from
        1 inside, as scikit-image numbers its masked regions.
    sites : ndarray of int64, shape (N, 3)
        The site of every region, as an array index: ``labels[tuple(sites[i])] == i + first_id``. Sites
        follow in index order, last axis first.
    mass : ndarray of float64, shape (N,)
        The density summed over every region, in the density's own units.
    voxels : ndarray of int64, shape (N,)
        The voxel count of every region.
    pieces : ndarray of int64, shape (N,)
        The number of 6-connected pieces of every region (inside the mask): more than 1 where a region
        straddles a gap of the object (never, with ``connected=True``, but in a part of the mask that
        no site reaches).
    adjacency : structured ndarray, shape (M,)
        Which regions touch and how much: one row per pair of labels ``a < b`` that share at least one
        voxel face, ordered by ``a``, then ``b``, with fields ``a`` and ``b`` (uint32), ``faces`` (uint64,
        the number of shared faces) and ``area`` (float64, their area: a face between neighbours along
        an axis has the product of the other two axes' `spacing` as its area, 1 without a spacing).
        Label 0 is the outside of a mask; faces on the array's own boundary are not counted. The rows
        of region 5 are ``adjacency[(adjacency["a"] == 5) | (adjacency["b"] == 5)]``.
    first_id : int
        The label of ``sites[0]``: 1 with a mask, else 0.
    energy : float
        The energy of the final tessellation: the density divided by its maximum, times the squared
        distance to the site (under `spacing`, in units of its smallest step), with distances scaled
        by 2 / E (E the longest side of the grid the array is placed in: each side rounded up, x and y
        to a multiple of 32, z to a multiple of 4), summed over the array.
    history : list of dict
        Every tenth iteration's decision: ``iteration``, ``level``, ``energy`` and the ``relaxation``
        set for the next iterations.
    stop : str
        Why the run ended: ``"converged"``, ``"iteration_budget"`` or ``"no_iterations"``.
    iterations : int
        The iterations run.
    device : str
        The device that ran it.
    backend : str
        ``"gpu"``, or ``"sim"`` for the CPU simulation.
    """

    labels: np.ndarray
    sites: np.ndarray
    mass: np.ndarray
    voxels: np.ndarray
    pieces: np.ndarray
    adjacency: np.ndarray
    first_id: int
    energy: float
    history: list
    stop: str
    iterations: int
    device: str
    backend: str


def tessellate(
    density,
    sites: int = 10000,
    *,
    seed: int = 0,
    seeding: str = "density",
    initial_sites=None,
    max_iterations: int = 10000,
    levels: int = 1,
    deterministic: bool = True,
    progress: Union[None, bool, ProgressCallback] = None,
    mask=None,
    mask_above: Optional[float] = None,
    spacing: Optional[Tuple[float, float, float]] = None,
    window: Optional[Tuple[float, float]] = None,
    clip_below: Optional[float] = None,
    connected: bool = False,
) -> Tessellation:
    """Centroidal Voronoi tessellation of a 3-D density.

    Over-relaxed Lloyd iterations with an exact Euclidean nearest-site labelling, run until the energy
    stops falling or the iteration budget is spent.

    Parameters
    ----------
    density : (M, N, P) array_like
        Finite values, not all zero, non-negative unless `window` or `clip_below` maps them; any side
        from 1 to 4096, as memory allows. uint8, uint16, uint32, int16, int32, float32 and float64
        arrays of any memory order and strides are read as they lie; other real types are converted
        to float64. The result depends on the values and the shape only: distances are measured along
        the array's own axes, in voxels unless `spacing` is given.
    sites : int, optional
        The number of sites to place (ignored with `initial_sites`).
    seed : int, optional
        Seed of the placement, from 0 to 2**64 - 1.
    seeding : {"density", "uniform"}, optional
        Draw the sites with probability proportional to the density (never a voxel of zero density),
        or uniformly in the array.
    initial_sites : (K, 3) array_like of int, optional
        Start from these array indices instead, each inside the array and each once.
    max_iterations : int, optional
        The iteration budget over all levels; 0 only labels the initial sites.
    levels : int, optional
        Start on up to this many coarser copies of the density (1: the whole run at full resolution).
    deterministic : bool, optional
        Sum in fixed point, so that the result is the same to the bit on every run and device; False
        sums with float atomics, which is a little faster where it matters but varies in the last bits.
    mask : (M, N, P) array_like, optional
        Tessellate only where it is non-zero: labels are 0 outside, regions are numbered from 1, every
        site starts and stays inside (a move that would leave the mask lands on the inside voxel
        nearest to where it would have gone), and inside the labelling is exact among all sites.
    mask_above : float, optional
        Tessellate only where the (mapped) density is above this value; with `mask`, inside both.
    spacing : (float, float, float), optional
        The distance between voxels along each array axis (first axis first), e.g. a scan's voxel size:
        the labelling, the centroids' energy and the stopping rule use physical distance. Any positive,
        finite values whose largest is at most 1024 times the smallest.
    window : (float, float), optional
        Clip every value to [lo, hi] and shift it so that lo becomes 0, e.g. (-100, 300) for soft tissue
        in CT Hounsfield units.
    clip_below : float, optional
        Set values below it to 0 and keep the others.
    connected : bool, optional
        Make every region one 6-connected piece that holds its site: after every labelling, each piece
        of a region that does not hold the region's site goes to the neighbouring region whose piece
        with its site it shares the most voxel faces with (ties: the smaller id), until no such piece
        is left; the centroids are those of these regions, and so are the labels. A piece in a part of
        the mask that no site reaches keeps its label. The same result on every run, as without it.
    progress : callable or bool, optional
        Called as ``progress(iteration, level, energy)`` after every iteration, with the energy on the
        iterations that evaluate it and None on the others; an exception it raises ends the run. True
        shows a status line on standard error. Nothing is shown by default.

    Returns
    -------
    Tessellation
        Labels, sites, masses, voxel counts, the energy, the decision history and why the run stopped.

    Raises
    ------
    ValueError
        For a density or an argument that cannot be used; the message names the first bad voxel.
    MemoryError
        When the run does not fit the memory of the device (or the host), before anything is allocated.
    RuntimeError
        When the device fails.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second; everything the run held is freed.

    Notes
    -----
    The run releases the GIL: other threads go on meanwhile. Runs in one process take turns.

    Examples
    --------
    >>> import numpy as np, cvt
    >>> z, y, x = np.mgrid[0:40, 0:60, 0:100]
    >>> density = np.exp(-((x - 50)**2 + (y - 30)**2 + (z - 20)**2) / 400)
    >>> result = cvt.tessellate(density, 2000)
    >>> result.labels.shape, len(result.sites), result.stop
    ((40, 60, 100), 1999, 'converged')
    """
    array = _readable(density)
    if initial_sites is not None:
        initial_sites = np.asarray(initial_sites)
        if initial_sites.dtype.kind not in "iu":
            raise ValueError(f"initial_sites: integer array indices are needed, not {initial_sites.dtype}")
        initial_sites = initial_sites.astype(np.int64, copy=False)
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be from 0 to 2**64 - 1, not {seed}")
    if mask is not None:
        mask = np.asarray(mask)
        if mask.shape != array.shape:
            raise ValueError(f"mask: shape {mask.shape} differs from the density's {array.shape}")
        mask = np.ascontiguousarray(mask != 0, dtype=np.uint8)
    if window is not None and clip_below is not None:
        raise ValueError("window and clip_below map the values in two ways; give one")
    callback = _progress_callback(progress)
    try:
        result = _cvt.tessellate(array, sites, seed, seeding, initial_sites, max_iterations, levels,
                                 bool(deterministic), callback, mask,
                                 None if mask_above is None else float(mask_above),
                                 None if spacing is None else _triple(spacing, "spacing"),
                                 None if window is None else _pair(window, "window"),
                                 None if clip_below is None else float(clip_below), bool(connected))
    finally:
        if isinstance(callback, _StatusLine):
            callback.close()
    return Tessellation(**result)


def _triple(values, name: str) -> Tuple[float, float, float]:
    values = tuple(float(v) for v in values)
    if len(values) != 3:
        raise ValueError(f"{name}: three values are needed, one per axis, not {len(values)}")
    return values


def _pair(values, name: str) -> Tuple[float, float]:
    values = tuple(float(v) for v in values)
    if len(values) != 2 or not all(np.isfinite(values)) or not values[0] < values[1]:
        raise ValueError(f"{name}: (lo, hi) with finite lo < hi is needed, not {values}")
    return values


def _readable(density) -> np.ndarray:
    """The density as an array of a sample type that the run reads, copied only when it is not one."""
    array = np.asarray(density)
    if array.dtype in _SAMPLE_TYPES and array.dtype.isnative:
        return array
    if array.dtype.kind in "biuf":
        native = array.dtype.newbyteorder("=")
        return array.astype(native if native in _SAMPLE_TYPES else np.float64)
    raise ValueError(f"density: values of type {array.dtype} are not real numbers")


def _progress_callback(progress) -> Optional[ProgressCallback]:
    if progress is None or progress is False:
        return None
    if progress is True:
        return _StatusLine()
    if not callable(progress):
        raise TypeError(f"progress must be None, a bool or a callable, not {type(progress).__name__}")
    return progress


class _StatusLine:
    """A status line on standard error, rewritten in place, at most ten times a second."""

    def __init__(self) -> None:
        self._energy: Optional[float] = None
        self._shown_at = 0.0

    def __call__(self, iteration: int, level: int, energy: Optional[float]) -> None:
        if energy is not None:
            self._energy = energy
        now = time.monotonic()
        if now - self._shown_at < 0.1:
            return
        self._shown_at = now
        text = f"\rcvt: iteration {iteration}  level {level}"
        if self._energy is not None:
            text += f"  energy {self._energy:.6g}"
        sys.stderr.write(text + "\033[K")
        sys.stderr.flush()

    def close(self) -> None:
        """Ends the line, once something was shown."""
        if self._shown_at:
            sys.stderr.write("\n")

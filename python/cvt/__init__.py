"""Centroidal Voronoi tessellations of 3-D densities and 2-D images, on the GPU when one is usable, else
on the CPU.

The same computation as the ``cvt-volume`` program, in-process: NumPy arrays in, NumPy arrays out.
"""

from __future__ import annotations

import inspect
import numbers
import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional, Sequence, Union

import numpy as np

from . import _cvt

__all__ = ["Tessellation", "tessellate", "__version__"]

__version__: str = _cvt.__version__

ProgressCallback = Callable[..., object]

# Sample types read where they lie; other real types are converted to float64 first.
_SAMPLE_TYPES = tuple(np.dtype(t) for t in ("u1", "u2", "u4", "i2", "i4", "f4", "f8"))
# The result's per-site coordinates, (N, 3) from the run, without the plane axis for an image.
_COORDINATES = ("sites", "centroids")


@dataclass(frozen=True)
class Tessellation:
    """The result of :func:`tessellate`.

    Attributes
    ----------
    labels : ndarray of int32, shape ``density.shape``
        The label of every voxel (pixel, for an image): the id of its region, from `start_label` (1 by
        default, as scikit-image numbers its regions, so that 0 is never a region); with a mask, 0
        outside it and ids from 1 inside.
    sites : ndarray of int64, shape (N, density.ndim)
        The site of every region, as an array index: ``labels[tuple(sites[i])] == i + first_id``. Given
        `initial_sites` keep their order (region i grew from ``initial_sites[initial_index[i]]``); drawn
        sites follow in index order, last axis first. N can be lower than the number of sites asked
        for: sites that move onto the same voxel merge, the first of them staying.
    mass : ndarray of float64, shape (N,)
        The density summed over every region, in the density's own units.
    centroids : ndarray of float64, shape (N, density.ndim)
        The density-weighted centroid of every region, as array coordinates (NaN for a region without
        mass). A converged run has every site on its region's centroid, rounded to a voxel.
    voxels : ndarray of int64, shape (N,)
        The voxel count of every region.
    pieces : ndarray of int64, shape (N,)
        The number of connected pieces of every region (inside the mask; 6-connected, 4-connected in an
        image): more than 1 where a region straddles a gap of the object (never, with
        ``connected=True``, but in a part of the mask that no site reaches).
    adjacency : structured ndarray, shape (M,)
        Which regions touch and how much: one row per pair of labels ``a < b`` that share at least one
        voxel face, ordered by ``a``, then ``b``, with fields ``a`` and ``b`` (uint32), ``faces`` (uint64,
        the number of shared faces) and ``area`` (float64, their area: a face between neighbours along
        an axis has the product of the other two axes' `spacing` as its area, 1 without a spacing).
        Label 0 is the outside of a mask; faces on the array's own boundary are not counted. The rows
        of region 5 are ``adjacency[(adjacency["a"] == 5) | (adjacency["b"] == 5)]``.
    first_id : int
        The label of ``sites[0]``: `start_label`, 1 with a mask.
    initial_index : ndarray of int64, shape (N,)
        For every region, the row of `initial_sites` its site started from (for drawn sites, the place
        of its draw); -1 with ``deterministic=False``, whose run keeps no list of its sites.
    energy : float
        The energy of the final tessellation: the density divided by its maximum, times the squared
        distance to the site (under `spacing`, in units of its smallest step), with distances scaled
        by 2 / E (E the longest side of the grid the array is placed in: each side rounded up, the last
        two axes to a multiple of 32, the first of a volume to a multiple of 4), summed over the array.
        The number the run's decisions use.
    energy_physical : float
        The same energy in the spacing's own units: the density divided by its maximum, times the
        squared physical distance to the site, summed over the array.
    seed : int
        The seed of the placement, as given or as drawn for ``seed=None`` or a Generator: passing it
        again repeats the run.
    history : list of dict
        Every tenth iteration's decision: ``iteration``, ``level``, ``energy`` and the ``relaxation``
        set for the next iterations, with ``sites_moved`` by that iteration; then every plain step
        that finished the run (relaxation 1).
    stop : str
        Why the run ended: ``"converged"`` (a plain Lloyd step moved no site: every site is on its
        region's rounded centroid), ``"stalled"`` (plain steps stopped lowering the energy short of a
        fixed point; the sites of the lowest energy are returned), ``"iteration_budget"``,
        ``"no_iterations"``, or, with ``deterministic=False``, ``"energy_criterion"`` (the energy fell
        by less than the threshold; no fixed point is checked).
    plain_steps : int
        The plain Lloyd steps that finished the run.
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
    centroids: np.ndarray
    voxels: np.ndarray
    pieces: np.ndarray
    initial_index: np.ndarray
    adjacency: np.ndarray
    first_id: int
    energy: float
    energy_physical: float
    seed: int
    history: list
    stop: str
    plain_steps: int
    iterations: int
    device: str
    backend: str


def tessellate(
    density,
    sites: int = 10000,
    *,
    seed: Union[None, int, np.random.Generator] = 0,
    seeding: str = "density",
    initial_sites=None,
    max_iterations: int = 10000,
    levels: int = 1,
    start_label: int = 1,
    deterministic: bool = True,
    progress: Union[None, bool, ProgressCallback] = None,
    mask=None,
    mask_above: Optional[float] = None,
    spacing: Union[None, float, Sequence[float]] = None,
    window: Optional[Sequence[float]] = None,
    clip_below: Optional[float] = None,
    connected: bool = False,
) -> Tessellation:
    """Centroidal Voronoi tessellation of a 3-D density or a 2-D image.

    Over-relaxed Lloyd iterations with an exact Euclidean nearest-site labelling and exact region sums,
    then plain Lloyd steps until no site moves (a centroidal tessellation on the voxel grid), or until
    the iteration budget is spent. Sites that move onto the same voxel merge, so the result can hold
    fewer regions than the sites asked for.

    Parameters
    ----------
    density : (M, N, P) or (M, N) array_like
        Finite values, not all zero, non-negative unless `window` or `clip_below` maps them; any side
        from 1 to 16384, as memory allows. uint8, uint16, uint32, int16, int32, float32 and float64
        arrays of any memory order and strides are read as they lie; other real types are converted
        to float64. The result depends on the values and the shape only: distances are measured along
        the array's own axes, in voxels unless `spacing` is given. A 2-D array is an image, tessellated
        as a volume of one plane would be (exactly so), with a 2-D result. A ``numpy.ma`` masked array
        is tessellated where it is not masked, as with `mask`.
    sites : int, optional
        The number of sites to place (ignored with `initial_sites`).
    seed : int, None or numpy.random.Generator, optional
        Seed of the placement, from 0 to 2**64 - 1; None draws a fresh one, a Generator gives one. The
        result's ``seed`` says which was used.
    seeding : {"density", "uniform"}, optional
        Draw the sites with probability proportional to the density (never a voxel of zero density),
        or uniformly in the array.
    initial_sites : (K, density.ndim) array_like of int, optional
        Start from these array indices instead, each inside the array and each once. Region i is then
        the site of row i, as long as no sites merge (``initial_index`` says which row each region's
        site came from).
    max_iterations : int, optional
        The iteration budget over all levels; 0 only labels the initial sites.
    levels : int, optional
        Start on up to this many coarser copies of the density (1: the whole run at full resolution).
    start_label : {1, 0}, optional
        The label of the first region: 1, as scikit-image numbers regions (0 is then never a region),
        or 0. With a mask it must be 1: label 0 is the outside.
    deterministic : bool, optional
        Sum every region exactly, in integers, so that the result is the same to the bit on every run
        and device, and finish at a fixed point; False runs the ``cvt`` program's own centroid step with
        float atomics, which varies in the last bits and stops on its energy criterion instead. That
        step takes arrays up to 2^30 voxels with each side rounded up to a power of two, and up to
        12288 along the last axis (`ValueError` beyond).
    mask : array_like of the density's shape, optional
        Tessellate only where it is non-zero (and, for a masked array, not masked): labels are 0
        outside, regions are numbered from 1, every site starts and stays inside (a move that would
        leave the mask lands on the inside voxel nearest to where it would have gone), and inside the
        labelling is exact among all sites.
    mask_above : float, optional
        Tessellate only where the (mapped) density is above this value; with `mask`, inside both.
    spacing : float or sequence of float, optional
        The distance between voxels along each array axis (first axis first; one value for every
        axis), e.g. a scan's voxel size: the labelling, the centroids' energy and the stopping rule
        use physical distance. Positive, finite values whose largest is at most 1024 times the
        smallest.
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
        A callable is called as ``progress(iteration, level, energy)`` after every iteration, with the
        energy on the iterations that evaluate it (every tenth) and None on the others; one that takes
        a fourth argument is called as ``progress(iteration, level, energy, budget)``, with
        `max_iterations`, to drive a progress bar. An exception it raises ends the run. True shows the
        progress on standard error: a status line on a terminal; elsewhere a line at every tenth
        iteration and one for the last. Nothing is shown by default.

    Returns
    -------
    Tessellation
        Labels, sites, masses, voxel counts, the energy, the decision history and why the run stopped.

    Raises
    ------
    TypeError
        For an argument of a type it cannot be, naming the argument and what it takes.
    ValueError
        For a density or an argument that cannot be used (NaN or infinite numbers among them); the
        message names the argument, and the first bad voxel as an array index.
    MemoryError
        When the run does not fit the memory of the device (or the host), before anything is allocated.
    RuntimeError
        When the device fails.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second; everything the run held is freed.

    Notes
    -----
    The run releases the GIL: other threads go on meanwhile. Runs in one process take turns. When
    Python exits while a run goes on in another thread, the run stops at its next iteration, frees
    what it holds, and raises SystemExit in its thread.

    Examples
    --------
    >>> import numpy as np, cvt
    >>> z, y, x = np.mgrid[0:40, 0:60, 0:100]
    >>> density = np.exp(-((x - 50)**2 + (y - 30)**2 + (z - 20)**2) / 400)
    >>> result = cvt.tessellate(density, 2000)
    >>> result.labels.shape, len(result.sites), result.stop
    ((40, 60, 100), 1999, 'converged')
    """
    array, outside = _readable(density)
    image = array.ndim == 2
    if image:
        array = array[np.newaxis]  # one plane: the same run, exactly
    inside = _inside(mask, outside, array.shape[1:] if image else array.shape)
    if inside is not None and image:
        inside = inside[np.newaxis]
    if initial_sites is not None:
        initial_sites = _indices(initial_sites, 2 if image else 3)
        if image:
            initial_sites = np.insert(initial_sites, 0, 0, axis=1)
    if window is not None and clip_below is not None:
        raise ValueError("window and clip_below map the values in two ways; give one")
    max_iterations = _integer(max_iterations, "max_iterations")
    callback = _progress_callback(progress, max_iterations)
    try:
        result = _cvt.tessellate(array, image, _integer(sites, "sites"), _seed(seed), _choice(seeding, "seeding"),
                                 initial_sites, max_iterations, _integer(levels, "levels"),
                                 _integer(start_label, "start_label"), _flag(deterministic, "deterministic"),
                                 callback, inside,
                                 _optional(mask_above, _number, "mask_above"),
                                 _optional(spacing, _spacing, "spacing", 2 if image else 3),
                                 _optional(window, _window, "window"),
                                 _optional(clip_below, _number, "clip_below"), _flag(connected, "connected"))
    finally:
        if isinstance(callback, _ProgressReport):
            callback.close()
    if image:
        result = _as_image(result)
    return Tessellation(**result)


def _as_image(result: dict) -> dict:
    """The result of the run on an image's one plane as the image's: labels 2-D, coordinates (N, 2)."""
    result["labels"] = result["labels"][0]
    for key in _COORDINATES:
        if key in result:
            result[key] = np.ascontiguousarray(result[key][:, 1:])
    return result


def _type_name(value) -> str:
    return "None" if value is None else type(value).__name__


def _integer(value, name: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {_type_name(value)}")
    # Beyond 64 bits a count is out of every range the run checks all the same.
    return min(max(int(value), -(2**63)), 2**63 - 1)


def _number(value, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {_type_name(value)}")
    value = float(value)
    if not np.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value}")
    return value


def _numbers(values, name: str, what: str) -> np.ndarray:
    """A sequence of finite real numbers."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError):  # ragged, or not a sequence at all
        array = np.asarray(None)
    if array.ndim != 1 or array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be {what}, not {_type_name(values)}")
    array = array.astype(np.float64)
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must hold finite numbers, not {array.tolist()}")
    return array


def _optional(value, convert, name: str, *arguments):
    return None if value is None else convert(value, name, *arguments)


def _spacing(spacing, name: str, axes: int) -> list:
    if isinstance(spacing, numbers.Real) and not isinstance(spacing, (bool, np.bool_)):
        return [_number(spacing, name)] * axes
    values = _numbers(spacing, name, f"a number or {axes} numbers, one per axis")
    if len(values) != axes:
        raise ValueError(f"{name}: {axes} values are needed, one per axis, not {len(values)}")
    return values.tolist()


def _window(window, name: str) -> tuple:
    values = _numbers(window, name, "(lo, hi), two numbers")
    if len(values) != 2 or not values[0] < values[1]:
        raise ValueError(f"{name}: (lo, hi) with finite lo < hi is needed, not {tuple(values.tolist())}")
    return tuple(values.tolist())


def _flag(value, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {_type_name(value)}")
    return bool(value)


def _choice(value, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f'{name} must be "density" or "uniform", not {_type_name(value)}')
    return value


def _seed(seed) -> int:
    if seed is None:
        return int(np.random.SeedSequence().generate_state(1, np.uint64)[0])
    if isinstance(seed, np.random.Generator):
        return int(seed.integers(2**64, dtype=np.uint64))
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be None, an integer or a numpy.random.Generator, not {_type_name(seed)}")
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be from 0 to 2**64 - 1, not {seed}")
    return int(seed)


def _indices(sites, axes: int) -> np.ndarray:
    array = np.asarray(sites)
    if array.dtype.kind not in "iu":
        raise TypeError(f"initial_sites must be integer array indices, not {array.dtype} values")
    if array.ndim != 2 or array.shape[1] != axes:
        raise ValueError(f"initial_sites: an array of shape (N, {axes}) is needed, not {array.shape}")
    if array.dtype == np.uint64 and array.size and array.max() > np.iinfo(np.int64).max:
        array = np.minimum(array, np.iinfo(np.int64).max)  # outside every array all the same
    return array.astype(np.int64, copy=False)


def _readable(density):
    """The density as an array of a sample type that the run reads (copied only when it is not one), and
    the flags of its masked voxels (None unless it is a masked array)."""
    outside = None
    if isinstance(density, np.ma.MaskedArray):
        outside = np.ma.getmaskarray(density)
        density = density.filled(0)  # masked values need not be densities: they lie outside
    array = np.asarray(density)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"density: values of type {array.dtype} are not real numbers")
    if array.ndim not in (2, 3):
        raise ValueError(f"density: a {array.ndim}-D array; an image has 2 dimensions, a volume 3")
    if array.dtype in _SAMPLE_TYPES and array.dtype.isnative:
        return array, outside
    native = array.dtype.newbyteorder("=")
    return array.astype(native if native in _SAMPLE_TYPES else np.float64), outside


def _inside(mask, outside, shape) -> Optional[np.ndarray]:
    """The flags of the voxels inside both the mask and the masked array's unmasked voxels, as the run
    takes them (uint8, C order); None when neither is given."""
    inside = None
    if mask is not None:
        array = np.asarray(mask)
        if array.dtype.kind not in "biuf":
            raise TypeError(f"mask must be an array of booleans or numbers, not of {array.dtype}")
        if array.shape != shape:
            raise ValueError(f"mask: shape {array.shape} differs from the density's {shape}")
        if array.dtype.kind == "f" and not np.isfinite(array).all():
            bad = tuple(int(i) for i in np.argwhere(~np.isfinite(array))[0])
            raise ValueError(f"mask: value {array[bad]} at {list(bad)} is neither inside nor outside")
        inside = array != 0
    if outside is not None:
        inside = ~outside if inside is None else inside & ~outside
    return None if inside is None else np.ascontiguousarray(inside, dtype=np.uint8)


def _takes_budget(callback) -> bool:
    try:
        inspect.signature(callback).bind(0, 0, None, 0)
    except (TypeError, ValueError):
        return False
    return True


def _progress_callback(progress, budget: int):
    if progress is None or progress is False:
        return None
    if progress is True:
        return _ProgressReport(budget)
    if not callable(progress):
        raise TypeError(f"progress must be None, a bool or a callable, not {_type_name(progress)}")
    if _takes_budget(progress):
        return lambda iteration, level, energy: progress(iteration, level, energy, budget)
    return progress


class _ProgressReport:
    """progress=True on standard error: on a terminal one status line rewritten in place, at most ten
    times a second; elsewhere a plain line at every decision (every tenth iteration). Either way the
    last line is the last iteration's."""

    def __init__(self, budget: int) -> None:
        self._budget = budget
        self._stream = sys.stderr
        try:
            self._terminal = self._stream.isatty()
        except (AttributeError, ValueError):
            self._terminal = False
        self._started = time.monotonic()
        self._shown_at = 0.0
        self._energy: Optional[float] = None
        self._last: Optional[tuple] = None  # (iteration, level) of the last iteration done
        self._shown: Optional[int] = None   # the iteration last shown

    def _text(self) -> str:
        iteration, level = self._last
        text = f"cvt: iteration {iteration} of {self._budget}  level {level}"
        if self._energy is not None:
            text += f"  energy {self._energy:.6g}"
        return text + f"  {time.monotonic() - self._started:.1f} s"

    def _write(self, text: str) -> None:
        if self._stream is not None:
            self._stream.write(text)
            self._stream.flush()
        self._shown = self._last[0]

    def __call__(self, iteration: int, level: int, energy: Optional[float]) -> None:
        self._last = (iteration, level)
        if energy is not None:
            self._energy = energy
        if not self._terminal:
            if energy is not None:
                self._write(self._text() + "\n")
            return
        now = time.monotonic()
        if now - self._shown_at >= 0.1:
            self._shown_at = now
            self._write("\r" + self._text() + "\033[K")

    def close(self) -> None:
        """Shows the last iteration, and ends the status line."""
        if self._last is None:
            return
        if self._terminal:
            self._write("\r" + self._text() + "\033[K\n")
        elif self._shown != self._last[0]:
            self._write(self._text() + "\n")

# A run lets other Python threads go on, reports its progress, and stops cleanly when interrupted.
import _thread
import threading
import time

import numpy as np
import pytest

import cvt
from conftest import blob

DENSITY = blob((48, 64, 64))
LONG = dict(sites=500, max_iterations=100000)
# Runs of a second and more even on a quiet machine, for the tests that need a run still going.
SLOW_DENSITY = blob((128, 128, 128))


def test_an_exception_from_progress_ends_the_run_and_the_next_run_is_unaffected():
    calls = []

    def progress(iteration, level, energy):
        calls.append((iteration, level, energy))
        if iteration == 12:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        cvt.tessellate(DENSITY, **LONG, progress=progress)
    assert [c[0] for c in calls] == list(range(1, 13))
    assert [c[2] is None for c in calls] == [i % 10 != 0 for i in range(1, 13)]
    again = cvt.tessellate(DENSITY, sites=500, max_iterations=15)
    fresh = cvt.tessellate(DENSITY, sites=500, max_iterations=15)
    np.testing.assert_array_equal(again.labels, fresh.labels)


def test_ctrl_c_interrupts_a_run_within_a_second():
    timer = threading.Timer(0.5, _thread.interrupt_main)
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        cvt.tessellate(SLOW_DENSITY, sites=4000, max_iterations=100000)
    assert time.monotonic() - started < 1.5


def test_other_threads_run_while_the_device_works():
    # A thread that sleeps 10 ms at a time needs the GIL at every wake-up; a run holding it would let it
    # wake only when the run looks at signals.
    running = threading.Event()
    wakeups = []

    def wake():
        while running.is_set():
            time.sleep(0.01)
            wakeups.append(time.monotonic())

    running.set()
    thread = threading.Thread(target=wake)
    thread.start()
    started = time.monotonic()
    cvt.tessellate(SLOW_DENSITY, sites=2000, max_iterations=20)
    seconds = time.monotonic() - started
    running.clear()
    thread.join()
    assert seconds > 0.3
    assert sum(started < t < started + seconds for t in wakeups) > 40 * seconds


def test_progress_true_shows_one_status_line(capfd):
    cvt.tessellate(DENSITY, sites=500, max_iterations=40, progress=True)
    err = capfd.readouterr().err
    assert err.startswith("\rcvt: iteration") and err.endswith("\n") and err.count("\n") == 1

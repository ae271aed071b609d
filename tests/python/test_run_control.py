# A run lets other Python threads go on, reports its progress, and stops cleanly when interrupted.
import _thread
import io
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

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


def test_progress_true_on_a_file_writes_plain_lines_ending_with_the_last_iteration(capfd):
    result = cvt.tessellate(DENSITY, sites=500, max_iterations=43, progress=True)
    err = capfd.readouterr().err
    assert "\r" not in err and "\033" not in err and err.endswith("\n")
    lines = err.splitlines()
    assert all(re.fullmatch(r"cvt: iteration \d+ of 43  level 0  energy [\d.e+-]+  [\d.]+ s", line) for line in lines)
    iterations = [int(line.split()[2]) for line in lines]
    decisions = list(range(10, result.iterations + 1, 10))
    assert iterations == decisions + ([result.iterations] if result.iterations % 10 else [])


def test_progress_true_on_a_terminal_rewrites_one_status_line(monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    result = cvt.tessellate(DENSITY, sites=500, max_iterations=25, progress=True)
    shown = terminal.getvalue()
    assert shown.startswith("\rcvt: iteration") and shown.endswith("\033[K\n") and shown.count("\n") == 1
    assert shown.rsplit("\r", 1)[1].startswith(f"cvt: iteration {result.iterations} of 25  level 0  energy ")


def test_a_progress_callback_of_four_arguments_gets_the_budget():
    calls = []
    result = cvt.tessellate(DENSITY, sites=500, max_iterations=17, progress=lambda *call: calls.append(call))
    assert [c[0] for c in calls] == list(range(1, result.iterations + 1))
    assert {c[3] for c in calls} == {17}

    three = []
    cvt.tessellate(DENSITY, sites=500, max_iterations=3, progress=lambda i, level, energy: three.append(i))
    assert three == [1, 2, 3]


EXITING = """
import signal, sys, threading
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, {path!r})
import numpy as np, cvt
density = np.random.default_rng(0).random((64, 64, 64)).astype(np.float32) + 0.5
started = threading.Event()
thread = threading.Thread(daemon={daemon}, target=lambda: cvt.tessellate(
    density, 3000, max_iterations=10**6, progress=lambda *progress: started.set()))
thread.start()
started.wait()
print("running", flush=True)
{then}
"""
ENDINGS = {
    "exit with a daemon thread running": (True, "sys.exit(3)", {3}),
    # Python ends itself by SIGINT after an unhandled KeyboardInterrupt.
    "ctrl-c while joining the thread": (False, "thread.join()", {-signal.SIGINT}),
}


@pytest.mark.parametrize("ending", ENDINGS)
def test_exiting_during_a_run_in_another_thread_stops_it_cleanly(ending):
    daemon, then, statuses = ENDINGS[ending]
    script = EXITING.format(path=str(Path(cvt.__file__).parents[1]), daemon=daemon, then=then)
    for _ in range(4):
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline() == "running\n"
        if not daemon:
            # Ctrl-C twice: the first ends the join, the second Python's wait for the thread at exit.
            child.send_signal(signal.SIGINT)
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
        try:
            err = child.communicate(timeout=60)[1]
        except subprocess.TimeoutExpired:
            child.kill()
            err = child.communicate()[1]
        assert child.returncode in statuses and "terminate called" not in err, (child.returncode, err)

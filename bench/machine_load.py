"""How busy other work keeps the machine, from /proc/stat: a run waits for quiet before each
configuration and records the share of the CPUs it had to share, since that moves every figure.
"""

from __future__ import annotations

import os
import resource
import time

__all__ = ["OthersMeter", "busy_share", "cpu_seconds", "load", "wait_for_quiet"]


def load() -> tuple[float, float, float]:
    return os.getloadavg()


def cpu_seconds() -> tuple[float, float]:
    """(busy CPU seconds of the whole machine, CPU seconds of this process's children)."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    ticks = os.sysconf("SC_CLK_TCK")
    busy = (sum(values[:8]) - values[3] - values[4]) / ticks  # all but idle and iowait
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return busy, children.ru_utime + children.ru_stime


class OthersMeter:
    """Average share of the CPUs that other work kept busy while the block ran."""

    def __enter__(self) -> OthersMeter:
        self.start = (time.monotonic(), *cpu_seconds())
        return self

    def __exit__(self, *exc) -> None:
        wall, busy, mine = (b - a for a, b in zip(self.start, (time.monotonic(), *cpu_seconds())))
        cpus = len(os.sched_getaffinity(0))
        self.share = max(0.0, busy - mine) / max(wall * cpus, 1e-9)


def busy_share(window: float = 1.0) -> float:
    """Share of all CPUs busy over the window; measured while this process sleeps."""
    with OthersMeter() as meter:
        time.sleep(window)
    return meter.share


def wait_for_quiet(limit: float | None, timeout: float = 180.0) -> float:
    """Waits until other work keeps less than `limit` of the CPUs busy; returns the share."""
    if limit is None:
        return float("nan")
    deadline = time.monotonic() + timeout
    while True:
        busy = busy_share()
        if busy <= limit or time.monotonic() > deadline:
            return busy

"""A worker process's side of a backtest: its data bundle, its BLAS limit, and what it
keeps between tasks.

Workers open the data bundle by its path once per process and keep it (the
risk model is then loaded once per process from the cache as well), so a task
carries only the strategy, its dates and the holdings.
"""

from __future__ import annotations

import concurrent.futures
import functools
from collections.abc import Callable, Hashable

import quotaris

__all__ = [
    "THIS_PROCESS",
    "WorkerProcess",
    "in_callers_process",
    "in_worker",
    "one_blas_thread",
    "use_bundle",
]


@functools.cache
def _blas_controller():
    """The process's BLAS libraries, found once: finding them reads the process's memory map."""
    from threadpoolctl import ThreadpoolController

    # The optimiser's libraries load their own BLAS: load them before looking.
    from .. import optimize  # noqa: F401

    return ThreadpoolController()


def one_blas_thread():
    """A context in which BLAS runs one thread, wherever it runs: sums then run in the
    same order in every process, and workers sharing a machine do not oversubscribe it."""
    return _blas_controller().limit(limits=1, user_api="blas")


def use_bundle(path: str) -> None:
    """Make the bundle at ``path`` this process's source, unless it is already."""
    if quotaris.bundle_path() != path:
        quotaris.init(path)


class WorkerProcess:
    """This process as a backtest's worker: the BLAS limit its first task set, and what
    its own preparing thread computes for later tasks, kept by key."""

    def __init__(self) -> None:
        #: Set by the first task and kept for the life of the process: the process's
        #: own threads (the one that prepares) run under it too.
        self.blas_limit = None
        #: Keys are ``(token, ...)``: a backtest's token keeps its keys apart from
        #: another's on the same process.
        self.kept: dict[tuple, concurrent.futures.Future] = {}
        self._preparing: concurrent.futures.ThreadPoolExecutor | None = None

    def start_task(self, path: str) -> None:
        use_bundle(path)
        if self.blas_limit is None:
            self.blas_limit = one_blas_thread()

    def keep(self, key: tuple, fn: Callable, *args) -> None:
        """Compute ``fn(*args)`` on this process's preparing thread, kept under ``key``:
        a task running here meanwhile (mostly the solver, which lets go of the
        interpreter) does not wait for it."""
        if self._preparing is None:
            self._preparing = concurrent.futures.ThreadPoolExecutor(1, "plovera-prepare")
        self.kept[key] = self._preparing.submit(fn, *args)

    def take(self, key: tuple) -> concurrent.futures.Future | None:
        """What was kept under ``key``, no longer kept; None if nothing was."""
        return self.kept.pop(key, None)

    def forget(self, token: Hashable) -> None:
        """Drop, unfinished, what was kept under the keys of ``token``."""
        # A copy of the keys: tasks on other threads keep and take meanwhile.
        for key in list(self.kept):
            if key[0] == token:
                kept = self.kept.pop(key, None)
                if kept is not None:
                    kept.cancel()


#: This process as a worker.
THIS_PROCESS = WorkerProcess()


def in_worker(path: str, fn: Callable, *args) -> object:
    """``fn(*args)`` on a worker process (one of ours or a Dask worker), in the bundle at
    ``path``."""
    THIS_PROCESS.start_task(path)
    return fn(*args)


def in_callers_process(path: str, fn: Callable, *args) -> object:
    """``fn(*args)`` on a thread or process of a caller's executor, in the bundle at
    ``path``: the BLAS limit holds for this task only, the process is not ours."""
    use_bundle(path)
    with one_blas_thread():
        return fn(*args)

"""Where a backtest's tasks run: here, on local processes, on a caller's executor or on
a Dask cluster, each behind ``submit(fn, *args, worker=None)``, which hands back a
future of ``fn(*args)``.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import threading
from collections.abc import Callable
from concurrent.futures.process import BrokenProcessPool
from typing import Protocol

from .worker import in_callers_process, in_worker, one_blas_thread, use_bundle

__all__ = [
    "KEEPER_CHECK_SECONDS",
    "KEEPER_START_SECONDS",
    "DaskRunner",
    "ExecutorRunner",
    "Future",
    "Keeper",
    "ProcessRunner",
    "Runner",
    "SerialRunner",
]

#: How often a wait on a keeper looks whether the scheduler has given its worker up.
KEEPER_CHECK_SECONDS = 1.0
#: How long the keepers may take to start on their workers.
KEEPER_START_SECONDS = 20.0


class Future(Protocol):
    """What ``Runner.submit`` hands back."""

    def result(self) -> object: ...

    def cancel(self) -> bool: ...


class Runner:
    """Runs tasks and hands back futures of their results.

    ``submit(fn, *args, worker=k)`` sends the task to worker process ``k`` where
    the runner has ``processes`` to choose from, so that it finds there what an
    earlier task left; a runner without them runs it where it can.
    """

    #: Whether tasks leave the caller's thread: a strategy must then pickle, and
    #: several backtests run side by side.
    remote = True
    #: How many tasks run at once beside the caller.
    workers = 0
    #: How many worker processes ``submit``'s ``worker`` chooses from: 0 where it cannot.
    processes = 0

    def submit(self, fn: Callable, *args, worker: int | None = None) -> Future:
        raise NotImplementedError

    def run_everywhere(self, fn: Callable, *args) -> None:
        """``fn(*args)`` on every worker that outlives the run, for what a run left there;
        processes that end with the run need not be told."""

    def close(self) -> None:
        """Let go of what the runner opened."""


class SerialRunner(Runner):
    """Runs each task here, when it is submitted."""

    remote = False

    def submit(self, fn: Callable, *args, worker: int | None = None) -> Future:
        future: concurrent.futures.Future = concurrent.futures.Future()
        with one_blas_thread():
            try:
                future.set_result(fn(*args))
            except Exception as error:
                future.set_exception(error)
        return future


class ProcessRunner(Runner):
    """Local worker processes, forked when the runner opens and ended when it closes.

    Each process is a pool of its own, so that a task can go to the process that
    holds what an earlier task left there; a task for no process in particular
    goes to the one with the fewest tasks unfinished.  A process that dies breaks
    its tasks' futures with ``BrokenProcessPool``.
    """

    def __init__(self, count: int, path: str) -> None:
        self.path = path
        self.pools = [
            concurrent.futures.ProcessPoolExecutor(1, initializer=use_bundle, initargs=(path,))
            for _ in range(count)
        ]
        # A pool's first task forks its worker: fork them now, while this is the only thread
        # of ours, not beside the threads that run several backtests and hold their locks.
        concurrent.futures.wait([pool.submit(os.getpid) for pool in self.pools])
        self.workers = self.processes = count
        self._unfinished: list[set] = [set() for _ in range(count)]

    def submit(self, fn: Callable, *args, worker: int | None = None) -> Future:
        if worker is None:
            loads = [len(unfinished) for unfinished in self._unfinished]
            worker = loads.index(min(loads))
        try:
            future = self.pools[worker].submit(in_worker, self.path, fn, *args)
        except BrokenProcessPool as error:
            # The process died after its last task returned, preparing a date on its own:
            # the task's future says so, as those of the tasks it was running do.
            future = concurrent.futures.Future()
            future.set_exception(error)
            return future
        self._unfinished[worker].add(future)
        future.add_done_callback(self._unfinished[worker].discard)
        return future

    def close(self) -> None:
        for pool in self.pools:
            pool.shutdown(cancel_futures=True)


class ExecutorRunner(Runner):
    """A caller's ``concurrent.futures.Executor``: the caller's to shut down, not the run's."""

    def __init__(self, executor: concurrent.futures.Executor, path: str) -> None:
        self.executor, self.path = executor, path
        # An executor does not say how many tasks it runs at once; the machine's cores
        # bound what runs at once in any case.
        self.workers = os.cpu_count() or 1

    def submit(self, fn: Callable, *args, worker: int | None = None) -> Future:
        return self.executor.submit(in_callers_process, self.path, fn, *args)


class Keeper:
    """A Dask actor, one per worker: it runs the tasks sent to its worker's process
    without their passing through the scheduler's task graph."""

    def __init__(self, path: str) -> None:
        self.path = path

    def run(self, fn: Callable, *args) -> tuple[bool, object]:
        """``(True, fn(*args))``, or ``(False, the error it raised)``: an error the call
        itself raises then means that the worker cannot be reached."""
        try:
            return True, in_worker(self.path, fn, *args)
        except Exception as error:
            return False, error


class DaskRunner(Runner):
    """A Dask cluster, through its client: a task for a chosen worker goes to that
    worker's keeper while it lives, any other through the scheduler, which runs a task
    again elsewhere should its worker die."""

    def __init__(self, client, path: str, owns_client: bool = False) -> None:
        self.client, self.path, self.owns_client = client, path, owns_client
        self.workers = max(1, sum(client.nthreads().values()))
        self.addresses = sorted(client.scheduler_info()["workers"])
        self.processes = len(self.addresses)
        # The keepers, started at the first task for a chosen worker (their futures hold
        # them on the cluster), and the ones whose worker was lost.
        self._keepers: list | None = None
        self._keeper_futures: list = []
        self._lost_keepers: set[int] = set()
        self._keepers_lock = threading.Lock()

    def submit(self, fn: Callable, *args, worker: int | None = None) -> Future:
        if worker is not None:
            index = worker % len(self.addresses)
            keeper = self._keeper(index)
            if keeper is not None:
                return _KeeperCall(self, index, keeper.run(fn, *args), fn, args)
        return self.client.submit(in_worker, self.path, fn, *args, pure=False, retries=2)

    def _keeper(self, index: int):
        """The keeper of worker ``index``, None once its worker is lost."""
        with self._keepers_lock:
            if self._keepers is None:
                self._start_keepers()
            if index in self._lost_keepers or self._keeper_futures[index].status != "finished":
                self._lost_keepers.add(index)
                return None
            return self._keepers[index]

    def _start_keepers(self) -> None:
        import distributed

        self._keeper_futures = [
            self.client.submit(Keeper, self.path, workers=[address], actor=True, pure=False)
            for address in self.addresses
        ]
        # A worker that is gone before its keeper starts is lost from the outset.
        with contextlib.suppress(TimeoutError):
            distributed.wait(self._keeper_futures, timeout=KEEPER_START_SECONDS)
        # An actor's proxy talks through the client current where it is made.
        with self.client.as_current():
            self._keepers = [
                distributed.Actor(Keeper, address, future.key)
                for address, future in zip(self.addresses, self._keeper_futures, strict=True)
            ]

    def lose_keeper(self, index: int) -> None:
        with self._keepers_lock:
            self._lost_keepers.add(index)

    def keeper_lives(self, index: int) -> bool:
        return self._keeper_futures[index].status == "finished"

    def run_everywhere(self, fn: Callable, *args) -> None:
        self.client.run(fn, *args, on_error="ignore")

    def close(self) -> None:
        if self._keeper_futures:
            self.client.cancel(self._keeper_futures)
            self._keeper_futures, self._keepers = [], None
        if self.owns_client:
            self.client.close()


class _KeeperCall:
    """A task sent to a worker's keeper, with what it takes to run it again through the
    scheduler should the worker be lost."""

    def __init__(self, runner: DaskRunner, keeper: int, future, fn: Callable, args: tuple):
        self.runner, self.keeper, self.future = runner, keeper, future
        self.fn, self.args = fn, args

    def result(self) -> object:
        while True:
            try:
                done, value = self.future.result(timeout=KEEPER_CHECK_SECONDS)
            except TimeoutError:
                if self.runner.keeper_lives(self.keeper):
                    continue
            except OSError:
                pass
            else:
                if done:
                    return value
                raise value
            break
        # The worker is gone, with what it kept: the task goes through the scheduler,
        # which runs it on a worker that lives (and again, should that one die too).
        self.runner.lose_keeper(self.keeper)
        return self.runner.submit(self.fn, *self.args).result()

    def cancel(self) -> bool:
        # A keeper runs every call it was sent.
        return False

"""Where the optimisations run: here, on local processes or on a Dask cluster.

Workers open the data bundle by its path once per process and keep it (the
risk model is then loaded once per process from the cache as well), so a task
carries only the strategy, its dates and the holdings.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import functools
import os
import threading
from collections.abc import Callable
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass

import quotaris
from quotaris.bundle import BundleSource

from ..exception import InvalidArgument

__all__ = ["DASK_WORKER_CONFIG", "BacktestError", "Runner", "open_runner"]

#: How long a Dask scheduler may take to answer before the address is refused.
CONNECT_TIMEOUT = "20s"

#: Dask settings for workers that optimise, to set before the workers start.  Dask's
#: own ``MALLOC_TRIM_THRESHOLD_`` also freezes glibc's mmap threshold at 128 KiB, so
#: every problem matrix is mapped and unmapped afresh, and its sampling profiler
#: interrupts the solver thread: together they make each optimisation about 35%
#: slower than on a plain process.  Setting the environment replaces Dask's
#: whole default, so its trimming and one-thread settings are restated.  Every
#: Dask server also checks its event loop's lag 50 times a second and samples its
#: machine twice a second, diagnostics that take about 3% of the two cores of a
#: two-worker cluster: here they run a tenth and a quarter as often.
DASK_WORKER_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "200ms",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.nanny.pre-spawn-environ": {
        "MALLOC_TRIM_THRESHOLD_": 65536,
        "MALLOC_MMAP_THRESHOLD_": 64 * 2**20,
        "OMP_NUM_THREADS": 1,
        "MKL_NUM_THREADS": 1,
        "OPENBLAS_NUM_THREADS": 1,
    },
}


class BacktestError(RuntimeError):
    """A backtest could not go on; the message names the dates or the worker."""


def use_bundle(path: str) -> None:
    """Make the bundle at ``path`` this process's source, unless it is already."""
    source = quotaris.client._source
    if isinstance(source, BundleSource) and os.fspath(source.path) == path:
        return
    quotaris.init(path)


def _bundle_path() -> str:
    source = quotaris.get_source()
    if not isinstance(source, BundleSource):
        raise InvalidArgument(
            f"the market data {source!r} is held in memory: worker processes cannot open it; "
            "run without an executor, or write it as a bundle"
        )
    return os.fspath(source.path)


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


def _one_blas_thread(task: Callable, argument: object) -> object:
    with one_blas_thread():
        return task(argument)


def _in_bundle(path: str, task: Callable, argument: object) -> object:
    """``task(argument)`` in the bundle at ``path``, on a thread of someone else's process."""
    use_bundle(path)
    return _one_blas_thread(task, argument)


#: A worker process's BLAS limit, set by its first task and kept for the life of the
#: process: the process's own threads (the one that prepares dates) run under it too.
_WORKER_LIMIT: list = []


def _in_worker(path: str, task: Callable, argument: object) -> object:
    """``task(argument)`` in the bundle at ``path``, on a worker process."""
    use_bundle(path)
    if not _WORKER_LIMIT:
        _WORKER_LIMIT.append(one_blas_thread())
    return task(argument)


class Keeper:
    """A Dask actor, one per worker: it runs the tasks sent to its worker's process
    without their passing through the scheduler's task graph."""

    def __init__(self, path: str) -> None:
        self.path = path

    def run(self, task: Callable, argument: object) -> tuple[bool, object]:
        """``(True, task(argument))``, or ``(False, the error it raised)``: an error the
        call itself raises then means that the worker cannot be reached."""
        try:
            return True, _in_worker(self.path, task, argument)
        except Exception as error:
            return False, error


@dataclass
class _ActorCall:
    """A task sent to a worker's keeper, with what it takes to run it again elsewhere."""

    future: object
    keeper: int
    task: Callable
    argument: object
    label: str
    #: The same task sent through the scheduler, once the keeper's worker was lost.
    again: tuple | None = None


#: How often a wait on a keeper looks whether the scheduler has given its worker up.
KEEPER_CHECK_SECONDS = 1.0
#: How long the keepers may take to start on their workers.
KEEPER_START_SECONDS = 20.0


class Runner:
    """Runs tasks (a function of one argument) and hands back their results.

    ``submit`` returns a handle; ``result`` waits for it.  Serial running does
    the work when the result is asked for.  On Dask, tasks for a chosen worker
    go to its keeper while it lives, the others through the scheduler.
    """

    def __init__(self, kind: str, pool=None, path: str | None = None, owned=None) -> None:
        self.kind = kind
        # Local processes are one single-process pool each, so that a task can go to
        # the process that holds what an earlier task left there.
        self._pool = pool
        self._path = path
        self._owned = owned
        # Tasks submitted and not yet collected: the ones a dead worker may have lost.
        self._pending: dict[int, tuple] = {}
        self._worker_addresses: list[str] | None = None
        # The Dask workers' keepers (their futures hold them on the cluster), started
        # at the first task for a chosen worker; the ones whose worker was lost.
        self._keepers: list | None = None
        self._keeper_futures: list = []
        self._lost_keepers: set[int] = set()
        self._keepers_lock = threading.Lock()

    @property
    def remote(self) -> bool:
        return self.kind != "serial"

    @property
    def workers(self) -> int:
        """How many tasks can run at once."""
        if self.kind == "dask":
            return max(1, sum(self._pool.nthreads().values()))
        if self.kind == "processes":
            return len(self._pool)
        return getattr(self._pool, "_max_workers", None) or os.cpu_count() or 1

    @property
    def keeps(self) -> bool:
        """Whether a task can be sent to a chosen worker process (``submit``'s ``worker``)."""
        return self.kind in ("processes", "dask")

    @property
    def processes(self) -> int:
        """How many worker processes ``submit``'s ``worker`` can choose from."""
        if self.kind == "dask":
            return len(self._addresses())
        return self.workers

    def _addresses(self) -> list[str]:
        """The Dask workers' addresses, as the run found them at its first use."""
        if self._worker_addresses is None:
            self._worker_addresses = sorted(self._pool.scheduler_info()["workers"])
        return self._worker_addresses

    def submit(
        self,
        task: Callable,
        argument: object,
        label: str,
        urgent: bool = False,
        worker: int | None = None,
    ):
        """Queue ``task(argument)``; on Dask an ``urgent`` task goes before the others.

        The task goes to worker process ``worker`` if given (on Dask while it lives);
        on local processes otherwise to the one with the fewest tasks queued.
        """
        if self.kind == "serial":
            return (task, argument, label)
        if self.kind == "dask":
            if worker is not None:
                keeper = worker % len(self._addresses())
                actor = self._keeper(keeper)
                if actor is not None:
                    call = _ActorCall(actor.run(task, argument), keeper, task, argument, label)
                    return (call, worker, label)
            # Through the scheduler, which retries a task whose worker dies.
            future = self._pool.submit(
                _in_worker,
                self._path,
                task,
                argument,
                pure=False,
                retries=2,
                priority=1 if urgent else 0,
            )
        elif self.kind == "processes":
            if worker is None:
                queued = [0] * len(self._pool)
                for _, index, _ in self._pending.values():
                    queued[index] += 1
                worker = queued.index(min(queued))
            try:
                future = self._pool[worker].submit(_in_worker, self._path, task, argument)
            except BrokenProcessPool:
                # The process died after its last task returned, preparing a date on its own.
                raise self._lost(list(self._pending.values()), label) from None
        else:
            future = self._pool.submit(_in_bundle, self._path, task, argument)
        handle = (future, worker, label)
        self._pending[id(future)] = handle
        return handle

    def _keeper(self, index: int):
        """The keeper of worker ``index``, None once its worker is lost."""
        with self._keepers_lock:
            if self._keepers is None:
                import distributed

                client, addresses = self._pool, self._addresses()
                self._keeper_futures = [
                    client.submit(Keeper, self._path, workers=[address], actor=True, pure=False)
                    for address in addresses
                ]
                # A worker that is gone before its keeper starts is lost from the outset.
                with contextlib.suppress(TimeoutError):
                    distributed.wait(self._keeper_futures, timeout=KEEPER_START_SECONDS)
                # An actor's proxy talks through the client current where it is made.
                with client.as_current():
                    self._keepers = [
                        distributed.Actor(Keeper, address, future.key)
                        for address, future in zip(addresses, self._keeper_futures, strict=True)
                    ]
            if index in self._lost_keepers or self._keeper_futures[index].status != "finished":
                self._lost_keepers.add(index)
                return None
            return self._keepers[index]

    def _keeper_result(self, call: _ActorCall) -> object:
        if call.again is None:
            held = self._keeper_futures[call.keeper]
            while True:
                try:
                    done, value = call.future.result(timeout=KEEPER_CHECK_SECONDS)
                except TimeoutError:
                    if held.status == "finished":
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
            with self._keepers_lock:
                self._lost_keepers.add(call.keeper)
            call.again = self.submit(call.task, call.argument, call.label, urgent=True)
        return self.result(call.again)

    def result(self, handle) -> object:
        first, argument, _ = handle
        if self.kind == "serial":
            return _one_blas_thread(first, argument)
        if isinstance(first, _ActorCall):
            return self._keeper_result(first)
        try:
            return first.result()
        except BrokenProcessPool:
            raise self._lost(list(self._pending.values())) from None
        finally:
            self._pending.pop(id(first), None)

    def cancel(self, handle) -> None:
        """Drop a task whose result is no longer wanted (one already running finishes)."""
        if self.kind != "serial" and not isinstance(handle[0], _ActorCall):
            handle[0].cancel()
            self._pending.pop(id(handle[0]), None)

    def everywhere(self, task: Callable, argument: object) -> None:
        """``task(argument)`` on every Dask worker that lives, for what a run left there
        (local processes end with the run)."""
        if self.kind == "dask":
            self._pool.run(task, argument, on_error="ignore")

    def _lost(self, handles: list, also: str | None = None) -> BacktestError:
        """The error of a process pool that lost a worker: every unfinished task is lost,
        and the one that could not be queued, ``also``."""
        concurrent.futures.wait([handle[0] for handle in handles])
        lost = [
            label
            for future, _, label in handles
            if not future.cancelled() and future.exception() is not None
        ]
        lost += [also] if also else []
        return BacktestError(f"a worker process died while optimising; lost: {', '.join(lost)}")

    def close(self) -> None:
        if self._keeper_futures:
            self._pool.cancel(self._keeper_futures)
            self._keeper_futures, self._keepers = [], None
        if self._owned is not None:
            self._owned()


def open_runner(executor: object) -> Runner:
    """A runner for ``executor``: None (serial), a number of local worker processes,
    a ``concurrent.futures.Executor``, a ``distributed.Client`` or a scheduler address."""
    if executor is None:
        return Runner("serial")
    if isinstance(executor, bool):
        raise InvalidArgument(f"unknown executor {executor!r}")
    if isinstance(executor, int):
        if executor < 1:
            raise InvalidArgument(
                f"the number of worker processes must be at least 1, got {executor}"
            )
        path = _bundle_path()
        pools = [
            concurrent.futures.ProcessPoolExecutor(1, initializer=use_bundle, initargs=(path,))
            for _ in range(executor)
        ]
        # A pool's first task forks its worker: fork them now, while this is the only thread
        # of ours, not beside the threads that run several backtests and hold their locks.
        concurrent.futures.wait([pool.submit(os.getpid) for pool in pools])

        def shut_down() -> None:
            for pool in pools:
                pool.shutdown(cancel_futures=True)

        return Runner("processes", pools, path, owned=shut_down)
    if isinstance(executor, concurrent.futures.Executor):
        return Runner("executor", executor, _bundle_path())
    if isinstance(executor, str) and "://" in executor:
        return _connect(executor)
    if _is_dask_client(executor):
        return Runner("dask", executor, _bundle_path())
    raise InvalidArgument(
        f"unknown executor {executor!r}: expected None, a number of processes, a "
        "concurrent.futures.Executor, a distributed.Client or a scheduler address"
    )


def _is_dask_client(executor: object) -> bool:
    kind = type(executor)
    return kind.__module__.startswith("distributed") and kind.__name__ == "Client"


def _connect(address: str) -> Runner:
    path = _bundle_path()
    try:
        from distributed import Client
    except ImportError:
        raise InvalidArgument(
            f"a Dask scheduler ({address}) needs the dask extra: pip install plovera[dask]"
        ) from None
    try:
        client = Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise InvalidArgument(
            f"the Dask scheduler {address!r} does not answer ({type(error).__name__}: {error})"
        ) from None
    return Runner("dask", client, path, owned=client.close)

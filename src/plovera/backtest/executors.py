"""What a caller may name as a backtest's executor, and the runner each becomes: None
(serial), a number of local worker processes, a ``concurrent.futures.Executor``, a
``distributed.Client`` or a Dask scheduler's address."""

from __future__ import annotations

import concurrent.futures

import quotaris

from ..exception import InvalidArgument
from .runners import DaskRunner, ExecutorRunner, ProcessRunner, Runner, SerialRunner

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


def open_runner(executor: object) -> Runner:
    """A runner for ``executor``: None (serial), a number of local worker processes,
    a ``concurrent.futures.Executor``, a ``distributed.Client`` or a scheduler address."""
    if executor is None:
        return SerialRunner()
    if isinstance(executor, bool):
        raise InvalidArgument(f"unknown executor {executor!r}")
    if isinstance(executor, int):
        if executor < 1:
            raise InvalidArgument(
                f"the number of worker processes must be at least 1, got {executor}"
            )
        return ProcessRunner(executor, _bundle_path())
    if isinstance(executor, concurrent.futures.Executor):
        return ExecutorRunner(executor, _bundle_path())
    if isinstance(executor, str) and "://" in executor:
        return _connect(executor)
    if _is_dask_client(executor):
        return DaskRunner(executor, _bundle_path())
    raise InvalidArgument(
        f"unknown executor {executor!r}: expected None, a number of processes, a "
        "concurrent.futures.Executor, a distributed.Client or a scheduler address"
    )


def _bundle_path() -> str:
    """The path workers open the market data by: the current source's bundle."""
    source = quotaris.get_source()
    path = quotaris.bundle_path()
    if path is None:
        raise InvalidArgument(
            f"the market data {source!r} is held in memory: worker processes cannot open it; "
            "run without an executor, or write it as a bundle"
        )
    return path


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
    return DaskRunner(client, path, owns_client=True)

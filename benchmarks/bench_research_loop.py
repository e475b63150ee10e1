"""How long the README's research loop takes on the demo market.

Runs the README's first Python example (check the demo signal, backtest the
CSI 500 enhanced on it) in a temporary directory, with the demo market and
its risk model already in the cache, and prints the time of the signal check
over 2019-2025 alone and of the whole loop, against their targets (30 s and
3 minutes).

    python benchmarks/bench_research_loop.py
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import tempfile
import time
from pathlib import Path

import quotaris
from plovera.riskmodel import risk_model
from plovera.signals import check_signal

README = Path(__file__).resolve().parent.parent / "README.md"
CHECK_TARGET, LOOP_TARGET = 30.0, 180.0


def _readme_loop() -> str:
    use = README.read_text(encoding="utf-8").split("## Use", 1)[1]
    return re.search(r"```python\n(.*?)```", use, re.DOTALL)[1]


def main() -> None:
    quotaris.init(quotaris.demo.demo_bundle_path())
    risk_model()  # built into the cache here if it is not there yet
    start = time.perf_counter()
    alpha = quotaris.get_signal_history("demo_alpha", "2019-01-01", "2025-12-31")
    check_signal(alpha, name="demo_alpha")
    check = time.perf_counter() - start
    print(f"signal check, demo_alpha 2019-2025: {check:6.1f} s (target {CHECK_TARGET:.0f} s)")
    with tempfile.TemporaryDirectory() as work, contextlib.chdir(work):
        printed = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stdout(printed):
            exec(compile(_readme_loop(), "README.md", "exec"), {})
        loop = time.perf_counter() - start
        written = sorted(os.listdir(work))
    print(f"README loop end to end:             {loop:6.1f} s (target {LOOP_TARGET:.0f} s)")
    print(f"  wrote {', '.join(written)}")
    print("  " + printed.getvalue().splitlines()[6])


if __name__ == "__main__":
    main()

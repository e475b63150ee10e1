"""What a risk report costs, with the risk model built and the date already forecast.

For 800 stocks of the demo market (the CSI 800 as portfolio, alone and
against the CSI 300; the CSI 500 against the CSI 300, whose union is the same
800) the script times the whole ``risk_report`` call (a new helper included),
the report alone once the helper is built (the decomposition, every table
and the summary), and drawing its picture.

Target: the report alone under 50 ms for 800 stocks.

    python benchmarks/bench_report.py
"""

import datetime
import tempfile
import time
from pathlib import Path

import plovera
import quotaris
from plovera.const import CovModel
from plovera.helper import OptimizeHelper
from plovera.report import TABLES, RiskReport

DATE = datetime.date(2024, 12, 31)
DAILY = CovModel.FACTOR_MODEL_DAILY


def best_ms(call, repeat=7):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return 1e3 * min(times)


def index(order_book_id):
    weights = quotaris.index_weights(order_book_id, DATE)
    return weights / weights.sum()


def report_alone(weights, benchmark):
    helper = OptimizeHelper(list(weights.index), DATE, benchmark, DAILY)
    if benchmark is None:
        model, bench = helper.get_factor_model(), None
    else:
        model, bench = helper.get_union_factor_model(), helper.benchmark_weight

    def run():
        report = RiskReport(DATE, DAILY, "index", model, weights, bench)
        for table in TABLES:
            report.to_frame(table)
        str(report)

    return len(model.exposures), best_ms(run)


def main():
    quotaris.init(quotaris.demo.demo_bundle_path(progress=False))
    cases = [
        ("CSI 800 alone", index("000906.XSHG"), None),
        ("CSI 800 vs CSI 300", index("000906.XSHG"), "000300.XSHG"),
        ("CSI 500 vs CSI 300", index("000905.XSHG"), "000300.XSHG"),
    ]
    plovera.risk_report(cases[0][1], DATE)  # loads the model and forecasts the date
    print(f"{'case':<22}{'stocks':>7}{'whole call':>12}{'report alone':>14}{'picture':>10}")
    with tempfile.TemporaryDirectory() as scratch:
        for name, weights, benchmark in cases:
            whole = best_ms(lambda w=weights, b=benchmark: plovera.risk_report(w, DATE, b))
            bench = None if benchmark is None else plovera.IndexBenchmark(benchmark)
            stocks, alone = report_alone(weights, bench)
            report = plovera.risk_report(weights, DATE, benchmark)
            picture = best_ms(lambda r=report: r.plot(Path(scratch) / "report.png"), repeat=2)
            print(f"{name:<22}{stocks:>7}{whole:>10.1f} ms{alone:>12.1f} ms{picture:>7.0f} ms")


if __name__ == "__main__":
    main()

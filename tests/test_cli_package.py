"""The command line as a package: its modules' imports, the backtest's one set of options."""

import ast
import datetime
import subprocess
import sys
from pathlib import Path

import pytest

import plovera.cli
from plovera.backtest import engine
from plovera.cli import EXIT_OK, EXIT_REFUSED, backtest, build_parser, main
from plovera.cli.options import refuse_to_replace
from plovera.exception import InvalidArgument

CLI = Path(plovera.cli.__file__).parent


@pytest.mark.parametrize("path", sorted(CLI.glob("*.py")), ids=lambda path: path.name)
def test_command_modules_import_no_private_name_and_not_their_package(path):
    imports = [
        node for node in ast.walk(ast.parse(path.read_text())) if isinstance(node, ast.ImportFrom)
    ]
    assert not [
        alias.name for node in imports for alias in node.names if alias.name.startswith("_")
    ]
    if path.name != "__init__.py":
        # Only the package's own __init__ may import from it: anything else is a cycle.
        assert not [node for node in imports if node.level == 1 and node.module is None]
        assert not [node for node in imports if node.module == "plovera.cli"]


def test_the_work_behind_the_commands_does_not_load_the_command_line():
    script = "import sys, plovera.jobs, plovera.backtest; print('plovera.cli' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.strip() == "False", result.stderr


ARGV = [
    *("A.XSHE", "B.XSHE", "--objective", "min_style_deviation", "--style", "size=1"),
    *("--priority", "size=3", "--bound", "*=0:0.5", "--benchmark", "000300.XSHG"),
    *("--cov-model", "monthly", "--industry-neutral", "0.01", "--tracking-error-limit", "0.05"),
    *("--max-turnover", "0.3", "--name", "styled"),
]
TABLE = """
[[strategy]]
pool = ["A.XSHE", "B.XSHE"]
objective = "min_style_deviation"
style = ["size=1"]
priority = ["size=3"]
bound = ["*=0:0.5"]
benchmark = "000300.XSHG"
cov_model = "monthly"
industry_neutral = 0.01
tracking_error_limit = 0.05
max_turnover = 0.3
name = "styled"
"""


def test_a_config_table_makes_the_strategy_its_options_make_on_the_command_line(tmp_path):
    from_line = backtest.strategy_from_options(vars(build_parser().parse_args(["backtest", *ARGV])))
    (tmp_path / "config.toml").write_text(TABLE, encoding="utf-8")
    _, [from_file] = backtest.load_config(tmp_path / "config.toml")
    for strategy in (from_line, from_file):
        assert (strategy.pool, strategy.bnds, strategy.benchmark, strategy.name) == (
            ["A.XSHE", "B.XSHE"],
            {"*": (0.0, 0.5)},
            "000300.XSHG",
            "styled",
        )
        assert (strategy.cov_model.value, strategy.max_turnover) == ("monthly", 0.3)
        assert strategy.objective._priority.to_dict() == {"size": 3}
        assert [type(c).__name__ for c in strategy.cons] == [
            "WildcardIndustryConstraint",
            "TrackingErrorLimit",
        ]


@pytest.mark.parametrize("key", ["on_failure", "workers", "output", "config"])
def test_options_of_the_command_line_alone_are_refused_in_a_table(tmp_path, key):
    (tmp_path / "config.toml").write_text(f'[[strategy]]\npool = ["A.XSHE"]\n{key} = 1\n')
    with pytest.raises(InvalidArgument, match=f"strategy 1 sets unknown keys {key}"):
        backtest.load_config(tmp_path / "config.toml")


def test_settings_given_on_the_command_line_win_over_the_files(tmp_path, monkeypatch, capsys):
    calls = []
    monkeypatch.setattr(engine, "run_backtests", lambda *given, **named: calls.append(given) or {})
    config = tmp_path / "config.toml"
    config.write_text(
        'start = "2024-01-01"\nend = "2024-06-30"\nrebalance = "weekly"\ncost = 0.002\n'
        '[[strategy]]\nindex_pool = "000300.XSHG"\n',
        encoding="utf-8",
    )
    argv = ["backtest", "--config", str(config), "--end", "2024-03-31", "--cost", "0.001"]
    assert main(argv) == EXIT_OK, capsys.readouterr().err
    [(_, start, end, rebalance, cost, _)] = calls
    assert (start, end, rebalance, cost) == (
        "2024-01-01",
        datetime.date(2024, 3, 31),
        "weekly",
        0.001,
    )


@pytest.mark.parametrize(
    ("content", "refused"), [(None, False), ("empty", False), ("holding", True), ("file", True)]
)
def test_only_a_place_that_holds_nothing_is_written_over_without_overwrite(
    tmp_path, content, refused
):
    place = tmp_path / "out"
    if content == "file":
        place.write_text("mine")
    elif content is not None:
        place.mkdir()
        if content == "holding":
            (place / "kept.txt").write_text("mine")
    refuse_to_replace(str(place), overwrite=True)
    if refused:
        with pytest.raises(InvalidArgument, match="already exists; pass --overwrite"):
            refuse_to_replace(str(place), overwrite=False)
    else:
        refuse_to_replace(str(place), overwrite=False)


@pytest.mark.parametrize(
    ("file_cost", "given", "expected"),
    [
        ("0.002", [], 0.002),
        ('"ashare"', [], "ashare"),
        ("0.002", ["--cost", "ashare"], "ashare"),
        ('"ashare"', ["--cost", "0.001"], 0.001),
    ],
)
def test_the_cost_is_a_rate_or_the_a_share_schedule(
    tmp_path, monkeypatch, file_cost, given, expected
):
    from plovera.trading import AShareCosts

    calls = []
    monkeypatch.setattr(engine, "run_backtests", lambda *given, **named: calls.append(given) or {})
    config = tmp_path / "config.toml"
    config.write_text(
        f'start = "2024-01-01"\nend = "2024-06-30"\ncost = {file_cost}\n'
        '[[strategy]]\nindex_pool = "000300.XSHG"\n',
        encoding="utf-8",
    )
    assert main(["backtest", "--config", str(config), *given]) == EXIT_OK
    [(*_, cost, _)] = calls
    assert cost == (AShareCosts() if expected == "ashare" else expected)


def test_a_cost_neither_rate_nor_schedule_is_refused(capsys):
    argv = [
        "backtest",
        "--index-pool",
        "000300.XSHG",
        "--start",
        "2024-01-01",
        "--end",
        "2024-03-31",
    ]
    assert main([*argv, "--cost", "cheap"]) == EXIT_REFUSED
    assert "cost must be a number or 'ashare', got 'cheap'" in capsys.readouterr().err

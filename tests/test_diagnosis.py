"""Planted conflicts on the demo market: named exactly, relaxed minimally, and nothing else."""

import datetime
import warnings

import pytest

import quotaris
from plovera import (
    Diagnosis,
    IndustryConstraint,
    InvalidArgument,
    MaxSharpeRatio,
    MinVariance,
    OptimizationFailed,
    StyleConstraint,
    TrackingErrorLimit,
    WildcardIndustryConstraint,
    diagnose,
    portfolio_optimize,
)
from plovera.cli import EXIT_FAILED, main
from plovera.const import STYLE_FACTORS

DATE = datetime.date(2023, 3, 15)
INDEX = "000300.XSHG"
CSI500 = "000905.XSHG"
# SCS, which portfolio_optimize uses, holds constraints to about this.
SLACK = 2e-3


pytestmark = pytest.mark.usefixtures("demo")


@pytest.fixture(scope="module")
def pool():
    return sorted(quotaris.index_weights(INDEX, DATE).index)


def decoys():
    """Constraints that hold in every planted case: they must never be named."""
    return [
        IndustryConstraint("医药生物", upper_limit=0.6),
        StyleConstraint("size", lower_limit=-5.0, upper_limit=5.0),
    ]


def floor_and_cap(floor=0.3, cap=0.1):
    return {
        "cons": [
            IndustryConstraint("银行", lower_limit=floor),
            *decoys(),
            IndustryConstraint("银行", upper_limit=cap),
        ]
    }


def tilt_and_tracking_error(tilt=0.2, limit=0.01):
    cons = [IndustryConstraint("银行", lower_limit=tilt, relative=True), TrackingErrorLimit(limit)]
    return {"benchmark": INDEX, "cons": [*decoys(), *cons]}


def short_bounds(upper=0.002):
    return {"bnds": {"*": (0.0, upper)}, "cons": decoys()}


# name -> (arguments rebuilt from the limit of that name, the limit it was planted with)
PLANTED = {
    "floor_and_cap": (
        floor_and_cap,
        {
            "行业 银行 下限": lambda v: floor_and_cap(floor=v),
            "行业 银行 上限": lambda v: floor_and_cap(cap=v),
        },
    ),
    "tilt_and_tracking_error": (
        tilt_and_tracking_error,
        {
            "行业 银行 相对基准下限": lambda v: tilt_and_tracking_error(tilt=v),
            "跟踪误差上限": lambda v: tilt_and_tracking_error(limit=v),
        },
    ),
    "short_bounds": (short_bounds, {"个股上限（300 只）": lambda v: short_bounds(upper=v)}),
}


def optimize_quietly(pool, arguments):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return portfolio_optimize(pool, DATE, MinVariance(), **arguments)


@pytest.mark.parametrize(
    ("case", "names", "refusal"),
    [
        ("floor_and_cap", {"行业 银行 下限", "行业 银行 上限"}, OptimizationFailed),
        ("tilt_and_tracking_error", {"行业 银行 相对基准下限", "跟踪误差上限"}, OptimizationFailed),
        # The optimiser refuses these bounds before solving; the diagnosis names them.
        ("short_bounds", {"权重之和", "个股上限（300 只）"}, InvalidArgument),
    ],
)
def test_planted_conflict_is_named_exactly(pool, case, names, refusal):
    arguments = PLANTED[case][0]()
    with pytest.raises(refusal):
        optimize_quietly(pool, arguments)
    found = diagnose(pool, DATE, **arguments)
    assert not found.feasible and not found.feasible_with_soft
    assert {conflict.name for conflict in found.conflicts} == names
    assert found.irreducible and found.solves <= 25
    for conflict in found.conflicts:
        assert str(conflict) in str(found)


@pytest.mark.parametrize(
    ("case", "name", "relaxed"),
    [
        # The cap held at 10% lowers the floor to it, and the other way round.
        ("floor_and_cap", "行业 银行 下限", 0.1),
        ("floor_and_cap", "行业 银行 上限", 0.3),
        # 300 stocks of at most 0.2% reach 60%; reaching 100% takes 1/300 each.
        ("short_bounds", "权重之和", 0.6),
        ("short_bounds", "个股上限（300 只）", 1 / 300),
    ],
)
def test_relaxation_matches_closed_form(pool, case, name, relaxed):
    found = diagnose(pool, DATE, **PLANTED[case][0]())
    (conflict,) = [c for c in found.conflicts if c.name == name]
    assert conflict.relaxed == pytest.approx(relaxed, abs=1e-5)
    assert conflict.suffices


def mandate(limit=0.01, size=0.1):
    """A CSI 500 mandate on CSI 300 names: tracking error and the size tilt conflict apart."""
    styles = [
        StyleConstraint(style, -0.1, size if style == "size" else 0.1, relative=True)
        for style in STYLE_FACTORS
    ]
    neutral = WildcardIndustryConstraint(lower_limit=-0.01, upper_limit=0.01, relative=True)
    return {"benchmark": CSI500, "cons": [neutral, *styles, TrackingErrorLimit(limit)]}


def test_every_conflict_is_named_and_relaxing_them_together_ends_them(pool):
    found = diagnose(pool, DATE, **mandate())
    assert found.irreducible and found.solves <= 40
    named = {conflict.name: conflict for conflict in found.conflicts}
    limit, size = named["跟踪误差上限"], named["风格 size 相对基准上限"]
    assert limit.conflict_set != size.conflict_set
    assert not (limit.suffices or size.suffices)
    # Met at once, the two need more than either alone: a tracking error of
    # 6.4% needs the size tilt the style limit forbids.
    assert limit.together > limit.relaxation and size.together > size.relaxation
    relaxed = mandate(0.01 + limit.together + SLACK, 0.1 + size.together + SLACK)
    assert optimize_quietly(pool, relaxed).sum() == pytest.approx(1.0)
    assert diagnose(pool, DATE, **relaxed).feasible
    scaled = 0.95
    tighter = mandate(0.01 + scaled * limit.together, 0.1 + scaled * size.together)
    assert not diagnose(pool, DATE, **tighter).feasible
    lines = str(found).splitlines()
    assert lines[1:] == [
        "  第 1 组：",
        f"    {limit}",
        "  第 2 组：",
        *(f"    {c}" for c in found.conflicts if c.conflict_set == size.conflict_set),
    ]
    assert "跟踪误差上限 1.0% → 6.3%；同时放宽：1.0% → 7.0%" in lines[2]


def test_report_reads_in_house_style(pool):
    text = str(diagnose(pool, DATE, **floor_and_cap()))
    assert text.splitlines() == [
        "硬约束无法同时满足，冲突的约束及最小放宽：",
        "  行业 银行 下限 30.0% → 10.0%",
        "  行业 银行 上限 10.0% → 30.0%",
    ]


@pytest.mark.parametrize(
    ("case", "name"),
    [(case, name) for case, (_, rebuild) in PLANTED.items() for name in rebuild],
)
def test_relaxation_makes_the_problem_feasible_and_is_least(pool, case, name):
    build, rebuild = PLANTED[case]
    (conflict,) = [c for c in diagnose(pool, DATE, **build()).conflicts if c.name == name]
    loosen = 1.0 if conflict.limit < conflict.relaxed else -1.0
    arguments = rebuild[name](conflict.relaxed + loosen * SLACK)
    weights = optimize_quietly(pool, arguments)
    assert weights.sum() == pytest.approx(1.0)
    assert diagnose(pool, DATE, **arguments).feasible
    # A little less than the relaxation found does not do.
    tighter = rebuild[name](conflict.relaxed - loosen * 0.05 * conflict.relaxation)
    assert not diagnose(pool, DATE, **tighter).feasible


@pytest.mark.parametrize(
    "arguments",
    [
        {},
        {"cons": decoys()},
        {"bnds": {"*": (0.0, 0.05)}, "cons": [IndustryConstraint("银行", upper_limit=0.1)]},
        {"benchmark": INDEX, "cons": [TrackingErrorLimit(0.08), *decoys()]},
    ],
)
def test_feasible_problem_is_reported_feasible(pool, arguments):
    found = diagnose(pool, DATE, **arguments)
    assert found == Diagnosis(True, True, solves=found.solves)
    assert found.solves == 1
    assert str(found) == "约束可以同时满足"


def test_soft_conflict_is_named_when_the_hard_constraints_hold(pool):
    cons = [
        IndustryConstraint("银行", lower_limit=0.3, hard=False),
        *decoys(),
        IndustryConstraint("银行", upper_limit=0.1),
    ]
    found = diagnose(pool, DATE, cons=cons)
    assert found.feasible and not found.feasible_with_soft
    assert {(c.name, c.hard) for c in found.conflicts} == {
        ("行业 银行 下限", False),
        ("行业 银行 上限", True),
    }
    assert "行业 银行 下限（软约束） 30.0% → 10.0%" in str(found)


def test_many_conflicting_groups_stay_within_the_solve_budget(pool):
    # Every industry at least 10%: far more floors than 40 solves can filter.
    found = diagnose(pool, DATE, cons=[WildcardIndustryConstraint(lower_limit=0.1)])
    assert not found.feasible
    assert found.solves <= 40
    names = {conflict.name for conflict in found.conflicts}
    assert names and all(name == "权重之和" or name.startswith("行业 ") for name in names)


def test_ratio_objective_conflict(pool):
    found = diagnose(pool, DATE, MaxSharpeRatio(), benchmark=INDEX, **floor_and_cap())
    assert {c.name for c in found.conflicts} == {"行业 银行 下限", "行业 银行 上限"}


@pytest.mark.parametrize(
    ("pool_of", "date", "options", "named"),
    [
        (lambda pool: [*pool[:5], "999999.XSHE"], DATE, {}, "999999.XSHE"),
        (lambda pool: pool[:5], "2030-01-07", {}, "2030-01-07"),
        (lambda pool: pool[:5], "2015-01-06", {}, "2015-01-06"),
        (lambda pool: pool[:5], DATE, {"cons": ["junk"]}, "'junk' 不是约束对象"),
    ],
)
def test_bad_input_is_refused_naming_the_value(pool, pool_of, date, options, named):
    with pytest.raises(InvalidArgument, match=named):
        diagnose(pool_of(pool), date, **options)


def test_optimize_command_prints_the_diagnosis(capsys):
    status = main(
        [
            "optimize",
            "--index-pool",
            INDEX,
            "--date",
            str(DATE),
            "--benchmark",
            INDEX,
            "--tracking-error-limit",
            "0.005",
            "--bound",
            "*=0.002:0.004",
        ]
    )
    assert status == EXIT_FAILED
    err = capsys.readouterr().err
    assert "硬约束无法同时满足" in err and "跟踪误差上限 0.50% →" in err
    # What the failure means comes first, the failure itself last.
    assert err.index("no portfolio meets all the constraints") < err.index("硬约束无法同时满足")
    assert err.rstrip().splitlines()[-1].startswith("plovera: error: OptimizationFailed")

"""What a diagnosis found, and its short report."""

from __future__ import annotations

import dataclasses
import html


@dataclasses.dataclass(frozen=True)
class Conflict:
    """One culprit and the smallest relaxation of it, the others held.

    ``limit`` and ``relaxed`` are in the group's own units (weights and
    tracking error as fractions, style exposures as exposures); ``limit`` is
    None when the group has no single number, and then ``relaxation`` says by
    how much its rows must give; ``relaxation`` is None when it was not found
    (relaxing this alone cannot end a conflict set left reducible, or the
    solves ran out). ``order_book_ids`` lists the stocks of a
    bounds group.
    """

    name: str
    limit: float | None
    relaxed: float | None
    relaxation: float | None
    percent: bool = True
    hard: bool = True
    order_book_ids: tuple[str, ...] = ()
    # False when relaxing this alone would not make the whole problem feasible,
    # only the conflict set (another conflict remains elsewhere).
    suffices: bool = True
    # Which of the diagnosis's conflict sets this belongs to, from 0.
    conflict_set: int = 0
    # With several conflicts: the relaxation (as ``relaxation``) of a plan that
    # relaxes every member this way at once and so ends them all; None for the
    # budget, which the plan holds.
    together: float | None = None

    def __str__(self) -> str:
        soft = "" if self.hard else "（软约束）"
        if self.relaxation is None:
            limit = "" if self.limit is None else f" {self._number(self.limit)}"
            return f"{self.name}{soft}{limit}（未能求出单独的放宽）"
        alone = "" if self.suffices else "（仅放宽此项，其他约束仍有冲突）"
        if self.together is not None:
            alone = f"；同时放宽：{self._change(self.together)}"
        return f"{self.name}{soft} {self._change(self.relaxation)}{alone}"

    def _change(self, relaxation: float) -> str:
        if self.limit is None or self.relaxed is None:
            return f"需放宽 {self._number(relaxation)}"
        side = 1.0 if self.relaxed >= self.limit else -1.0
        return f"{self._number(self.limit)} → {self._number(self.limit + side * relaxation)}"

    def _number(self, value: float) -> str:
        value = 0.0 if abs(value) < 5e-6 else value  # no "-0.00%" from rounding
        if not self.percent:
            return f"{value:.3g}"
        # Small stock limits need a second decimal to show any change.
        return f"{value:.1%}" if abs(value) >= 0.01 else f"{value:.2%}"


@dataclasses.dataclass(frozen=True)
class Diagnosis:
    """Whether the constraints of one optimisation can hold together, and if not, why.

    ``feasible`` is about the hard constraints (budget, bounds, the objective's
    own constraints and the hard constraint objects), ``feasible_with_soft``
    about those and the soft ones too. ``conflicts`` is an irreducible set of
    groups that cannot hold together: the hard ones when ``feasible`` is
    false, otherwise those of hard and soft when ``feasible_with_soft`` is
    false, otherwise empty. A problem may hold several independent conflicts:
    each conflict's members share a ``conflict_set`` number, and relaxing one
    member of every conflict by its amount makes the problem feasible.
    ``irreducible`` is false when the solve budget ran out before every member
    was tested or every conflict found; ``solves`` counts the solves made.
    """

    feasible: bool
    feasible_with_soft: bool
    conflicts: tuple[Conflict, ...] = ()
    irreducible: bool = True
    solves: int = 0

    def __str__(self) -> str:
        if self.feasible_with_soft:
            return "约束可以同时满足"
        if self.feasible:
            head = "硬约束可以同时满足，加入软约束后无法满足，冲突的约束及最小放宽："
        else:
            head = "硬约束无法同时满足，冲突的约束及最小放宽："
        sets = 1 + max((conflict.conflict_set for conflict in self.conflicts), default=0)
        if sets == 1:
            lines = [head, *(f"  {conflict}" for conflict in self.conflicts)]
        else:
            lines = [
                f"{head[:-1]}。共 {sets} 组冲突，每组放宽其中一项（其他组不论）即可解除该组；"
                "各组相互牵连，要同时解除各组，按“同时放宽”一并放宽各项："
            ]
            for index in range(sets):
                lines.append(f"  第 {index + 1} 组：")
                lines.extend(f"    {c}" for c in self.conflicts if c.conflict_set == index)
        if not self.irreducible:
            lines.append("  求解次数已用尽，冲突集可能不是最小的，也可能还有其他冲突")
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        head = html.escape(str(self).splitlines()[0])
        if not self.conflicts:
            return f"<div><p>{head}</p></div>"
        several = len({conflict.conflict_set for conflict in self.conflicts}) > 1
        columns = ["冲突", "约束", "当前", "最小放宽后"] + (["同时放宽后"] if several else [])
        header = "".join(f"<th>{name}</th>" for name in columns)
        rows = []
        for conflict in self.conflicts:
            cells = [
                str(conflict.conflict_set + 1),
                conflict.name + ("" if conflict.hard else "（软约束）"),
                "" if conflict.limit is None else conflict._number(conflict.limit),
                "" if conflict.relaxation is None else conflict._change(conflict.relaxation),
            ]
            if several:
                cells.append(
                    "" if conflict.together is None else conflict._change(conflict.together)
                )
            rows.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>")
        return (
            f"<div><p>{head}</p><table><thead><tr>{header}</tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table></div>"
        )

// The docstrings of plovera.prepared, as users read them in help().
#pragma once

namespace plovera::prepared {

inline constexpr const char *kPrepareOptimizeDoc = R"doc(
    准备一次组合优化：参数与 :func:`portfolio_optimize` 相同，完成股票池清洗、数据读取与问题编译，
    返回尚未求解的 :class:`PreparedOptimization`。它可以 pickle，在另一个进程中求解；
    个股权重上下界在求解时仍可改变。
)doc";

inline constexpr const char *kPreparedOptimizationDoc =
    "已编译、尚未求解的组合优化问题，由 prepare_optimize 得到。";

inline constexpr const char *kPreparedSolveDoc = R"doc(
    求解并返回与 :func:`portfolio_optimize` 相同的结果。

    :param bnds: 可选，字典，key 为股票池中的 order_book_id 或 `'*'`（所有未在此字典中明确指定的
                 股票），value 为 (lower_limit, upper_limit)，替换准备时这些股票的上下界；
                 只有准备时给出了 bnds 才能使用。
                 每次求解都从准备时的上下界出发，前一次求解设定的上下界不会保留。
)doc";

inline constexpr const char *kPreparedFactorizeDoc = R"doc(
    现在就建立求解器并完成矩阵分解，而不是在第一次求解时。之后的求解只改变约束的常数项，
    沿用这次分解；pickle 时不带求解器，载入后第一次求解时重新分解。
)doc";

inline constexpr const char *kSetUpOptimizationDoc = R"doc(
    按 :func:`portfolio_optimize` 的顺序与提示信息检查同样的参数，返回清洗后的股票池和这次调用的
    数据 helper；股票池只有一只股票时 helper 为 None，它的权重不需要求解。
)doc";

inline constexpr const char *kAssembleProblemDoc = R"doc(
    用 :func:`portfolio_optimize` 自己的代码构建它要求解的问题，返回一个命名空间：cvxpy 问题
    ``problem``、变量 ``g`` 与 ``zeta``、``hard_cons`` 与 ``soft_cons``，以及每条约束的来源：
    权重之和 ``budget``、目标函数自身的约束 ``internal``、上下界约束 ``bound_cons`` 及其向量
    ``lower_bound`` 与 ``upper_bound``（未给出 bnds 时为 None），``objects`` 中每个约束对象一项
    (约束对象, hard, 约束列表)。给出 ``bounds`` 时，用这对 (lower, upper) 向量代替对 bnds 的解析。
)doc";

}  // namespace plovera::prepared

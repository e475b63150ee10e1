// The docstring of portfolio_optimize, as users read it in help().
#pragma once

namespace plovera::optimize {

inline constexpr const char *kPortfolioOptimizeDoc = R"doc(
    组合优化，根据给定的约束及目标函数计算最优组合权重。支持下列目标函数：
        * :class:`MinVariance`: 风险最小化
        * :class:`MeanVariance`: 均值（收益）方差（风险）模型
        * :class:`RiskParity`: 风险平价
        * :class:`MinTrackingError`: 最小追踪误差
        * :class:`MaxInformationRatio`: 最大信息比率
        * :class:`MaxSharpeRatio`: 最大夏普率
        * :class:`MaxIndicator`: 指标值最大化
        * :class:`MinStyleDeviation`: 风格偏离最小化
    支持以下约束类型：
        * :class:`TrackingErrorLimit`: 跟踪误差约束
        * :class:`TurnoverLimit`: 换手率约束
        * :class:`BenchmarkComponentWeightLimit`: 成分股权重约束，即要求优化结果中，基准成分股的权重之和的下限
        * :class:`IndustryConstraint`: 行业权重约束，默认行业分类为申万一级。可选中信一级及申万一级(拆分非银金融行业)
        * :class:`WildcardIndustryConstraint`:
        * :class:`StyleConstraint`: 风格约束
        * :class:`WildcardStyleConstraint`:

    :param order_book_ids: 候选合约
    :param date: 优化日期
    :param objective: 目标函数，默认为MinVariance（风险最小化）。
    :type objective: :class:`OptimizationObjective`
    :param bnds: 个股权重上下界。字典，key 为 order_book_id, value 为 (lower_limit, upper_limit) 组成的 tuple。
                 lower_limit/upper_limit 取值可以是 [0, 1] 的数或 None。当取值为 None 时，表示对应的界不做限制。
                 当 key 为 `'*'` 时，表示所有未在此字典中明确指定的其他合约。
                 所有合约默认上下界为 [0, 1]。
    :type bnds: {order_book_id | "*": (lower_limit, upper_limit)}
    :param cons: 约束列表
    :type cons: [:class:`OptimizationConstraint`]
    :param benchmark: 基准, 指数使用指数代码，自定义基准需要继承自 :class:`OptimizeBenchmark` 的类实例
    :type benchmark: str | :class:`OptimizeBenchmark`
    :param cov_model: 协方差模型，支持 daily/monthly/quarterly
    :return: pd.Series 组合最优化权重
    )doc";

}  // namespace plovera::optimize

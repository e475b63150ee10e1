"""Constants shared by the optimiser, the data helper and the constraints."""

from enum import Enum

# The style names and the trading year belong to the market data; the
# optimiser shares the same objects.
from quotaris.tables import STYLE_FACTORS, TRADING_DAYS_PER_YEAR

__all__ = [
    "INDUSTRY_CODES",
    "STYLE_FACTORS",
    "TRADING_DAYS_PER_YEAR",
    "CovModel",
    "IndustryClassification",
]


class CovModel(Enum):
    """Covariance models of the factor risk model, by forecast horizon."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"


class IndustryClassification(Enum):
    """Industry schemes of the industry constraints; the values are the market data's names."""

    SWS = "sws"
    CITIC = "citic"
    SWS_NONBANK_SPLIT = "sws_nonbank_split"


_SWS = {
    "801010": "农林牧渔",
    "801030": "基础化工",
    "801040": "钢铁",
    "801050": "有色金属",
    "801080": "电子",
    "801880": "汽车",
    "801110": "家用电器",
    "801120": "食品饮料",
    "801130": "纺织服饰",
    "801140": "轻工制造",
    "801150": "医药生物",
    "801160": "公用事业",
    "801170": "交通运输",
    "801180": "房地产",
    "801200": "商贸零售",
    "801210": "社会服务",
    "801230": "综合",
    "801710": "建筑材料",
    "801720": "建筑装饰",
    "801730": "电力设备",
    "801740": "国防军工",
    "801750": "计算机",
    "801760": "传媒",
    "801770": "通信",
    "801780": "银行",
    "801790": "非银金融",
    "801890": "机械设备",
    "801950": "煤炭",
    "801960": "石油石化",
    "801970": "环保",
    "801980": "美容护理",
}

_CITIC_NAMES = [
    "石油石化",
    "煤炭",
    "有色金属",
    "电力及公用事业",
    "钢铁",
    "基础化工",
    "建筑",
    "建材",
    "轻工制造",
    "机械",
    "电力设备及新能源",
    "国防军工",
    "汽车",
    "商贸零售",
    "消费者服务",
    "家电",
    "纺织服装",
    "医药",
    "食品饮料",
    "农林牧渔",
    "银行",
    "非银行金融",
    "房地产",
    "交通运输",
    "电子",
    "通信",
    "计算机",
    "传媒",
    "综合",
    "综合金融",
]

# 非银金融's level-2 parts take its place in the split scheme.
_NONBANK_PARTS = {"801193": "证券", "801194": "保险", "801191": "多元金融"}

#: Per scheme (the IndustryClassification value), industry code -> name, in the scheme's order.
INDUSTRY_CODES = {
    "sws": _SWS,
    "citic": {f"CI{5001 + k:06d}": name for k, name in enumerate(_CITIC_NAMES)},
    "sws_nonbank_split": {
        **{code: name for code, name in _SWS.items() if code != "801790"},
        **_NONBANK_PARTS,
    },
}

"""What the demo market is calibrated to: its size, industries, boards, indices and factors.

Windows are counted in trading days.  Listing ages, lock-ups and event rates
use the Shanghai calendar's own year of about 244 sessions; the windows of the
exposures use the risk model's conventional year.
"""

from __future__ import annotations

from typing import NamedTuple

import pandas as pd

from quotaris.tables import STYLE_FACTORS, TRADING_DAYS_PER_YEAR

__all__ = [
    "ANNOUNCE_LAG",
    "BETA_MARKET_LOADING",
    "BOARDS",
    "CITIC_CODES",
    "CITIC_DIVERSIFIED_FINANCIALS",
    "CITIC_INDUSTRIES",
    "CSI500",
    "CSI800",
    "CSI1000",
    "DELISTED_SHARE",
    "DIVERSIFIED_FINANCIALS_SHARE",
    "FACTOR_TAIL_DOF",
    "FIRST_PRICE",
    "FIRST_PRICE_RANGE",
    "GROWTH_TREND_MONTHS",
    "HALF_YEAR",
    "HISTORY_MONTHS",
    "HS300",
    "INDEX_BASE_LEVELS",
    "INDEX_MIN_LISTED",
    "INDEX_WEIGHT_LIMIT",
    "INDICES",
    "INDUSTRY_VOLATILITY",
    "IPO_ACTIVITY",
    "LISTED_BEFORE_START",
    "MARKET_RETURN",
    "MASS_SUSPENSION",
    "MASS_SUSPENSION_SHARE",
    "MIN_INDUSTRY_MEMBERS",
    "MONTH",
    "N_STOCKS",
    "QUARTER",
    "RECLASSIFIED_SHARE",
    "REGIME_LEVELS",
    "REGIME_SMOOTHING",
    "REGIME_SWITCH",
    "SECURITIES_SHARE",
    "SESSIONS_PER_YEAR",
    "SPECIFIC_VOLATILITY",
    "STAR_BOARD",
    "STEPPED_DOWN_MONTHS",
    "STEPPED_DOWN_SHARE",
    "STYLE_POSITION",
    "STYLE_RETURNS",
    "SW_BANKS",
    "SW_INDUSTRIES",
    "SW_NON_BANK",
    "SW_NON_BANK_PARTS",
    "SYLLABLES",
    "TAIL_DOF",
    "TWO_YEARS",
    "TYPICAL_TURNOVER",
    "WARM_UP_QUARTERS",
    "WARNED_BEFORE_DELISTING",
    "WARNED_SHARE",
    "WARNING_BEFORE_DELISTING_MONTHS",
    "WARNING_MONTHS",
    "YEAR",
    "Board",
    "IndexSpec",
    "Industry",
]

# Windows of the exposures, in trading days of the risk model's year.
YEAR = TRADING_DAYS_PER_YEAR
HALF_YEAR = YEAR // 2
QUARTER = YEAR // 4
MONTH = YEAR // 12
TWO_YEARS = 2 * YEAR

#: Sessions of the Shanghai exchange in a typical year.
SESSIONS_PER_YEAR = 244

N_STOCKS = 1100
MIN_INDUSTRY_MEMBERS = 3  # stocks of every industry, whatever the size of the market
LISTED_BEFORE_START = 0.82
DELISTED_SHARE = 0.02
RECLASSIFIED_SHARE = 0.015
GROWTH_TREND_MONTHS = 60  # growth shows in the data as the trend of five years
WARM_UP_QUARTERS = 3
HISTORY_MONTHS = GROWTH_TREND_MONTHS + 3 * WARM_UP_QUARTERS  # months simulated before the start


class Industry(NamedTuple):
    name: str
    code: str
    companies: int  # relative number of listed companies
    size: float  # typical market cap relative to the market's
    book_to_price: float  # relative to the market's
    equity_ratio: float  # book equity over total assets
    sales_to_book: float
    citic: int  # position in CITIC_INDUSTRIES
    endings: tuple[str, ...]  # endings of company short names


SW_INDUSTRIES = (
    Industry("农林牧渔", "801010", 100, 1.0, 0.8, 0.50, 1.2, 19, ("农业", "牧业", "种业", "渔业")),
    Industry("基础化工", "801030", 400, 1.0, 1.0, 0.50, 1.0, 5, ("化工", "化学", "新材")),
    Industry("钢铁", "801040", 45, 1.2, 1.6, 0.40, 1.5, 4, ("钢铁", "特钢", "钢管")),
    Industry("有色金属", "801050", 130, 1.2, 1.0, 0.45, 1.6, 2, ("矿业", "有色", "铝业", "锂业")),
    Industry("电子", "801080", 470, 1.0, 0.6, 0.55, 0.9, 24, ("电子", "微电", "光电", "芯源")),
    Industry("汽车", "801880", 270, 1.1, 0.9, 0.50, 1.2, 12, ("汽车", "汽配", "动力")),
    Industry("家用电器", "801110", 90, 1.5, 0.7, 0.45, 1.4, 15, ("电器", "家电", "厨电")),
    Industry("食品饮料", "801120", 120, 1.8, 0.4, 0.65, 0.8, 18, ("食品", "酒业", "乳业", "饮品")),
    Industry("纺织服饰", "801130", 110, 0.8, 0.9, 0.60, 1.0, 16, ("纺织", "服饰", "家纺")),
    Industry("轻工制造", "801140", 150, 0.8, 0.9, 0.55, 1.0, 8, ("纸业", "家居", "包装")),
    Industry("医药生物", "801150", 480, 1.1, 0.5, 0.65, 0.7, 17, ("医药", "药业", "生物", "医疗")),
    Industry("公用事业", "801160", 130, 1.5, 1.2, 0.35, 0.4, 3, ("电力", "能源", "燃气", "热电")),
    Industry("交通运输", "801170", 120, 1.4, 1.1, 0.45, 0.6, 23, ("物流", "航运", "港口", "高速")),
    Industry("房地产", "801180", 110, 1.3, 1.6, 0.25, 0.4, 22, ("地产", "置业", "发展")),
    Industry("商贸零售", "801200", 100, 0.9, 1.0, 0.45, 2.0, 13, ("商业", "百货", "贸易")),
    Industry("社会服务", "801210", 80, 0.9, 0.6, 0.60, 0.6, 14, ("旅游", "酒店", "教育")),
    Industry("综合", "801230", 20, 0.6, 1.0, 0.45, 0.6, 28, ("实业", "控股", "集团")),
    Industry("建筑材料", "801710", 70, 1.0, 1.1, 0.50, 0.9, 7, ("建材", "水泥", "玻璃")),
    Industry("建筑装饰", "801720", 160, 1.2, 1.5, 0.25, 1.4, 6, ("建设", "建工", "装饰")),
    Industry("电力设备", "801730", 350, 1.1, 0.6, 0.50, 0.9, 10, ("电气", "新能", "光伏", "储能")),
    Industry("国防军工", "801740", 130, 1.0, 0.5, 0.60, 0.6, 11, ("航天", "航空", "防务")),
    Industry("计算机", "801750", 330, 1.0, 0.4, 0.65, 0.7, 26, ("软件", "信息", "数据", "科技")),
    Industry("传媒", "801760", 150, 0.9, 0.6, 0.65, 0.6, 27, ("传媒", "文化", "影视", "网络")),
    Industry("通信", "801770", 120, 1.3, 0.7, 0.55, 0.8, 25, ("通信", "通讯", "光网")),
    Industry("银行", "801780", 42, 9.0, 2.2, 0.08, 0.15, 20, ("银行",)),
    Industry("非银金融", "801790", 90, 3.0, 1.2, 0.20, 0.3, 21, ("证券", "保险", "信托")),
    Industry("机械设备", "801890", 530, 1.0, 0.8, 0.50, 0.8, 9, ("机械", "重工", "装备", "智能")),
    Industry("煤炭", "801950", 38, 1.8, 1.5, 0.45, 0.9, 1, ("煤业", "矿能")),
    Industry("石油石化", "801960", 45, 4.0, 1.3, 0.45, 1.8, 0, ("石化", "石油", "油服")),
    Industry("环保", "801970", 130, 0.9, 0.9, 0.40, 0.5, 3, ("环保", "环境", "水务")),
    Industry("美容护理", "801980", 30, 1.0, 0.4, 0.60, 1.0, 5, ("美妆", "护理", "日化")),
)

CITIC_INDUSTRIES = (
    "石油石化", "煤炭", "有色金属", "电力及公用事业", "钢铁", "基础化工", "建筑", "建材",
    "轻工制造", "机械", "电力设备及新能源", "国防军工", "汽车", "商贸零售", "消费者服务",
    "家电", "纺织服装", "医药", "食品饮料", "农林牧渔", "银行", "非银行金融", "房地产",
    "交通运输", "电子", "通信", "计算机", "传媒", "综合", "综合金融",
)  # fmt: skip
CITIC_CODES = tuple(f"CI{5001 + i:06d}" for i in range(len(CITIC_INDUSTRIES)))
# Shenwan's non-bank financials splits under CITIC: brokers and insurers stay
# together, diversified financials (trusts, leasing, holdings) go apart.
_SW_POSITION = {industry.name: k for k, industry in enumerate(SW_INDUSTRIES)}
SW_BANKS = _SW_POSITION["银行"]
SW_NON_BANK = _SW_POSITION["非银金融"]
CITIC_DIVERSIFIED_FINANCIALS = 29
DIVERSIFIED_FINANCIALS_SHARE = 0.2
# Shenwan level 2 of 非银金融, for the scheme that splits it: the diversified
# financials are 多元金融, the others brokers or insurers.
SW_NON_BANK_PARTS = (("801193", "证券"), ("801194", "保险"), ("801191", "多元金融"))
SECURITIES_SHARE = 0.6  # of the brokers and insurers


class Board(NamedTuple):
    prefix: str
    exchange: str
    first_listing: str
    last_listing: str | None  # None while the board still lists companies
    weight: float  # relative share of the listings while open
    first_number: int
    spare_prefixes: tuple[str, ...]  # where the numbering goes on once the prefix is full


# A prefix holds a thousand codes, too few for the largest boards of a market
# several times the default size.  A board that runs out goes on, in order, in
# prefixes of its exchange that no board uses, each spare belonging to one
# board so that codes stay unique: the main boards in the free 60x and 00x,
# ChiNext in 30x, STAR in 689.  (These are code ranges; the trading boards the
# price limits follow, quotaris.limits.BOARDS, are read from the codes.)
BOARDS = (
    Board("600", "XSHG", "1990-12-19", "2012-12-31", 3.0, 0, ("602", "604", "606")),
    Board("601", "XSHG", "2006-01-01", None, 1.0, 0, ("607",)),
    Board("603", "XSHG", "2011-01-01", None, 2.5, 0, ("608",)),
    Board("605", "XSHG", "2020-01-01", None, 1.0, 0, ("609",)),
    Board("688", "XSHG", "2019-07-22", None, 1.5, 1, ("689",)),
    Board("000", "XSHE", "1991-01-01", "2007-12-31", 3.0, 1, ("004", "005")),
    Board("001", "XSHE", "2015-01-01", None, 0.5, 0, ("008",)),
    Board("002", "XSHE", "2004-05-27", "2021-04-05", 3.0, 0, ("006", "007")),
    Board("003", "XSHE", "2020-01-01", None, 0.7, 0, ("009",)),
    Board("300", "XSHE", "2009-10-30", None, 2.5, 1, ("302", "303")),
    Board("301", "XSHE", "2020-08-24", None, 2.0, 0, ("304",)),
)
STAR_BOARD = 4

# Relative number of IPOs by year, as the market saw them; other years 25.
IPO_ACTIVITY = {
    2015: 22, 2016: 23, 2017: 44, 2018: 10, 2019: 20, 2020: 43,
    2021: 52, 2022: 42, 2023: 31, 2024: 10, 2025: 11,
}  # fmt: skip

# The market closed down on a large part of its stocks in the July 2015 crash.
MASS_SUSPENSION = ("2015-07-06", "2015-07-09")
MASS_SUSPENSION_SHARE = 0.35

SYLLABLES = (
    "华东中金新海长国天宏恒瑞永远康嘉达通安盛鑫"
    "博凯隆光明兴泰德正信诚联合创星宇航润亚美鼎益万顺和福祥伟力"
)


class IndexSpec(NamedTuple):
    order_book_id: str
    symbol: str
    listed_date: str


HS300 = IndexSpec("000300.XSHG", "沪深300", "2005-04-08")
CSI500 = IndexSpec("000905.XSHG", "中证500", "2007-01-15")
CSI800 = IndexSpec("000906.XSHG", "中证800", "2007-01-15")
CSI1000 = IndexSpec("000852.XSHG", "中证1000", "2014-10-17")
INDICES = (HS300, CSI1000, CSI500, CSI800)  # in identifier order, as the tables hold them
INDEX_WEIGHT_LIMIT = 0.10
INDEX_MIN_LISTED = pd.Timedelta(days=91)
# The indices' closes before the first day, in points: levels of the order they stood at.
INDEX_BASE_LEVELS = {HS300: 3500.0, CSI500: 5200.0, CSI800: 3900.0, CSI1000: 5600.0}

# A stock's close before the first day (or on its listing day) in yuan: log-normal
# with this median and deviation of the logarithm, kept within the range.
FIRST_PRICE = (12.0, 0.7)
FIRST_PRICE_RANGE = (3.0, 80.0)
# Special treatment: a warning of delisting risk (*ST) after two years of losses,
# for this share of the market's stocks, the small ones more often; lasting a
# number of months in the range, some stepping down to plain ST for a while.
# Most companies that leave the market carry the warning for months before.
WARNED_SHARE = 0.03
WARNING_MONTHS = (4, 24)
STEPPED_DOWN_SHARE = 0.35
STEPPED_DOWN_MONTHS = (3, 12)
WARNED_BEFORE_DELISTING = 0.6
WARNING_BEFORE_DELISTING_MONTHS = (6, 18)

# Daily mean and calm-market volatility of the style factor returns.
STYLE_RETURNS = {
    "beta": (0.0, 0.0010),
    "momentum": (-0.00005, 0.0025),
    "size": (-0.0001, 0.0040),
    "earnings_yield": (0.00015, 0.0020),
    "residual_volatility": (-0.0001, 0.0030),
    "growth": (0.0001, 0.0015),
    "book_to_price": (0.00005, 0.0020),
    "leverage": (-0.00003, 0.0015),
    "liquidity": (-0.0002, 0.0025),
    "non_linear_size": (-0.00005, 0.0020),
}
BETA_MARKET_LOADING = 0.25  # a stock one standard deviation up in beta moves 1.25 times the market
MARKET_RETURN = (0.00015, 0.012)
INDUSTRY_VOLATILITY = 0.0055
SPECIFIC_VOLATILITY = 0.017
TYPICAL_TURNOVER = 0.012
TAIL_DOF = 4.5
FACTOR_TAIL_DOF = 5.0
REGIME_LEVELS = (0.7, 1.0, 1.7)
REGIME_SWITCH = 1 / 150  # daily chance of moving to a neighbouring regime
REGIME_SMOOTHING = 0.1

# Days after the period end by which reports come out: quarterly reports by
# the end of the next month, interim by the end of August, annual by April 30.
ANNOUNCE_LAG = {3: (20, 30), 6: (25, 62), 9: (20, 31), 12: (60, 119)}

STYLE_POSITION = {name: i for i, name in enumerate(STYLE_FACTORS)}

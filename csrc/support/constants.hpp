// Constants the extension modules share with each other and with the market data.
#pragma once

namespace plovera {

// Trading days in a year: daily change rates are annualised with this factor,
// and it is the default look-back window of every estimate.
constexpr int kTradingDaysPerYear = 252;

// The de_listed_date of an instrument that has not been delisted.
constexpr const char *kNotDelisted = "0000-00-00";

}  // namespace plovera

// A covariance X F Xᵀ + Δ in factor form, as the optimiser writes it: the K
// rows of Bᵀ = (X L)ᵀ with F = L Lᵀ, and the roots of the specific variances
// Δ.  A risk over n stocks then costs K + n rows of the problem, never an
// n × n matrix.
#pragma once

#include "support/function.hpp"

namespace plovera {

struct FactorForm {
    py::object loadings_t;     // K × n: (X L)ᵀ
    py::object specific_root;  // n: √Δ
};

// The factor form of a model with `exposures` (n × K), `factor_covariance`
// (K × K) and `specific_variance` (n), as the data helper hands it out.  F
// is factored by its eigenvalues, so a singular F (a caller's own model)
// factors too; eigenvalues and specific variances below zero count as 0.
FactorForm factor_form(const Globals &globals, py::handle model);

// ‖Bᵀx‖² + ‖√Δ∘x‖², xᵀΣx as a cvxpy expression of the vector expression x.
py::object factor_variance(const Globals &globals, const FactorForm &form, py::handle x);

// xᵀΣx of a numeric vector.
py::object factor_variance_of(const Globals &globals, const FactorForm &form, py::handle x);

// The active weights a = g' - zeta·b over a union of the n stocks of g and
// the benchmark's constituents outside them (g' is g followed by zeros), in
// factor form: Bᵀa = B_gᵀg - zeta·Bᵀb in K rows, the specific part of the n
// stocks of g, and that of the constituents outside, which g cannot hold, as
// one number times zeta.  A null `zeta` stands for 1.
struct ActiveParts {
    py::object common;
    py::object specific;
    py::object outside;  // None when every constituent is among the n
};

ActiveParts active_parts(const Globals &globals, const FactorForm &form, py::handle g,
                         py::handle zeta, py::handle benchmark_weight);

// aᵀΣa over the union, as a cvxpy expression.
py::object active_variance(const Globals &globals, const ActiveParts &parts);

// √(aᵀΣa), for cone constraints.
py::object active_volatility(const Globals &globals, const ActiveParts &parts);

}  // namespace plovera

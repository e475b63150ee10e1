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

// ‖[Bᵀx ; √Δ∘x]‖₂, √(xᵀΣx), for cone constraints.
py::object factor_volatility(const Globals &globals, const FactorForm &form, py::handle x);

// xᵀΣx of a numeric vector.
py::object factor_variance_of(const Globals &globals, const FactorForm &form, py::handle x);

}  // namespace plovera

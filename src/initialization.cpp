#include "initialization.hpp"

#include <cmath>

#include "kalman.hpp"

namespace tembrel {

namespace {
constexpr int LYAPUNOV_MAX_DOUBLINGS = 100;
constexpr double LYAPUNOV_RTOL = 1e-14;
constexpr int JITTER_STEPS = 8;
constexpr double JITTER_BASE = 1e-12;

bool cholesky_ok(const MatrixXd& p) {
    Eigen::LLT<MatrixXd> llt(p);
    return llt.info() == Eigen::Success;
}
}  // namespace

std::optional<MatrixXd> lyapunov_doubling(const MatrixXd& a, const MatrixXd& q) {
    TEMBREL_ENSURE(a.rows() == a.cols() && q.rows() == a.rows() && q.cols() == a.cols());
    const Eigen::Index m = a.rows();
    if (m == 0) return MatrixXd(0, 0);
    MatrixXd a_i = a, q_i = q;
    MatrixXd aq(m, m), q_next(m, m), a_next(m, m);
    // The powers of a companion-form block stay sparse for a while (those of
    // a pure moving-average block, a shift, stay sparse for good): while they
    // do, the products go through the sparse form, as in the filter.
    bool sparse = true;
    for (int i = 1; i <= LYAPUNOV_MAX_DOUBLINGS; ++i) {
        if (sparse) {
            const SparseT st = SparseT::from_dense(a_i);
            sparse = m > 3 && st.entries.size() * 4 < static_cast<std::size_t>(m * m);
            if (sparse) {
                st.sandwich(q_i, &q_i, aq, q_next);
                for (Eigen::Index c = 0; c < m; ++c) st.apply(a_i.col(c).data(), a_next.col(c).data());
            }
        }
        if (!sparse) {
            aq.noalias() = a_i * q_i;
            q_next = q_i;
            q_next.noalias() += aq * a_i.transpose();
            a_next.noalias() = a_i * a_i;
        }
        const double delta = (q_next - q_i).norm();
        const double tol = LYAPUNOV_RTOL * std::max(q_i.norm(), 1.0);
        q_i.swap(q_next);
        a_i.swap(a_next);
        if (tol > delta) {
            if (!q_i.allFinite()) return std::nullopt;
            return q_i;
        }
    }
    return std::nullopt;
}

std::optional<MatrixXd> solve_lyapunov_general(const MatrixXd& a, const MatrixXd& q) {
    auto p = lyapunov_doubling(a, q);
    if (!p) return std::nullopt;
    MatrixXd sym = 0.5 * (*p + p->transpose());
    return sym;
}

KalmanInit KalmanInit::from_config_default(const StateSpace& system, const SarimaxConfig& config) {
    const std::size_t k = system.k_states;
    if (!config.enforce_stationarity) return approximate_diffuse(k);

    const std::size_t S = config.simple_differencing ? 0 : config.d + config.s * config.D;
    const std::size_t X = config.k_order();
    if (!(S < k && X > 0)) return approximate_diffuse(k);
    TEMBREL_ENSURE(S + X <= k);

    const auto s0 = static_cast<Eigen::Index>(S);
    const auto x = static_cast<Eigen::Index>(X);
    const MatrixXd t_a = system.transition.block(s0, s0, x, x);
    const MatrixXd r_a = system.selection.middleRows(s0, x);
    const MatrixXd rqr_a = r_a * system.state_cov * r_a.transpose();

    auto solved = lyapunov_doubling(t_a, rqr_a);
    if (!solved) return approximate_diffuse(k);
    MatrixXd p = 0.5 * (*solved + solved->transpose());

    if (!cholesky_ok(p)) {
        // Push a semi-definite (or slightly indefinite) solution into the
        // positive-definite cone with diagonal jitters growing tenfold, scaled
        // to the largest variance.
        double m = 1.0;
        for (Eigen::Index i = 0; i < x; ++i) {
            const double diag = std::abs(p(i, i));
            if (!std::isnan(diag)) m = std::max(m, diag);
        }
        const double eps = JITTER_BASE * m;
        MatrixXd jittered = p;
        bool ok = false;
        double step = eps;
        for (int attempt = 0; attempt < JITTER_STEPS && !ok; ++attempt, step *= 10.0) {
            jittered.diagonal().array() += step;
            ok = cholesky_ok(jittered);
        }
        if (!ok) return approximate_diffuse(k);
        p = std::move(jittered);
    }

    KalmanInit init;
    init.kind = Kind::Stationary;
    init.diffuse_states = S;
    init.stationary_states = X;
    init.burn = S;
    init.P0 = MatrixXd::Zero(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k));
    for (Eigen::Index i = 0; i < s0; ++i) init.P0(i, i) = APPROX_DIFFUSE_VARIANCE;
    init.P0.block(s0, s0, x, x) = p;

    // A trend enters the state equation, so the stationary block does not sit
    // at zero: its mean solves μ = T_a μ + c_a with the intercept of the first
    // filtered observation. Starting at zero would make the first observations
    // look like outliers of the size of the level.
    init.a0 = VectorXd::Zero(static_cast<Eigen::Index>(k));
    const auto n_c = static_cast<std::size_t>(system.state_intercept.size());
    if (n_c >= k) {
        const VectorXd c_a = system.state_intercept.segment(s0, x);
        if (!c_a.isZero(0.0)) {
            const MatrixXd i_minus_t = MatrixXd::Identity(x, x) - t_a;
            Eigen::PartialPivLU<MatrixXd> lu(i_minus_t);
            const VectorXd mean = lu.solve(c_a);
            // A stable T_a (the doubling converged) keeps I − T_a invertible;
            // a non-finite mean would only come from overflow, and then the
            // diffuse start is the safe answer.
            if (!mean.allFinite()) return approximate_diffuse(k);
            init.a0.segment(s0, x) = mean;
        }
    }
    return init;
}

}  // namespace tembrel

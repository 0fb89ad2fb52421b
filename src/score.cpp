#include "score.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "initialization.hpp"
#include "polynomial.hpp"

namespace tembrel {

namespace {

// Polynomial coefficients at or below this size are treated as zero.
constexpr double COEFF_FLOOR = 1e-15;
constexpr double DEGENERATE_F_INV = 1e-10;

// Triples of ∂T for a derivative `a` of the reduced AR polynomial: T holds
// −a_m in column G, row G + m − 1.
std::vector<SparseT::Entry> ar_triples(const std::vector<double>& a, std::size_t g, std::size_t r) {
    std::vector<SparseT::Entry> triples;
    for (std::size_t m = 1; m <= r && m < a.size(); ++m)
        if (std::abs(a[m]) > COEFF_FLOOR)
            triples.push_back({static_cast<Eigen::Index>(g + m - 1), static_cast<Eigen::Index>(g),
                               -a[m]});
    return triples;
}

// ∂(RQRᵀ) for a derivative `b` of the reduced MA polynomial: R holds b_m at
// row G + m.
MatrixXd ma_drqr(const std::vector<double>& b, const StateSpace& system, std::size_t g,
                 std::size_t r) {
    const std::size_t k = system.k_states;
    VectorXd d_r = VectorXd::Zero(static_cast<Eigen::Index>(k));
    for (std::size_t m = 0; m < r && m < b.size(); ++m)
        if (std::abs(b[m]) > COEFF_FLOOR) d_r[static_cast<Eigen::Index>(g + m)] = b[m];
    return compute_drqr(d_r, system.selection, k, system.state_cov(0, 0));
}

std::vector<double> unit_poly(std::size_t length, std::size_t at, double value) {
    std::vector<double> e(length, 0.0);
    e[at] = value;
    return e;
}

}  // namespace

SystemDerivatives precompute_derivatives(const SarimaxConfig& config, const SarimaxParams& params,
                                         const StateSpace& system, std::size_t n,
                                         const ExogColumns* exog) {
    TEMBREL_ENSURE(system.state_cov.size() >= 1);
    const std::size_t n_params = config.n_params();
    const std::size_t k = system.k_states;
    const std::size_t g = config.k_diff();
    const std::size_t r = config.k_order();
    const std::size_t s = config.s;
    SystemDerivatives d;
    d.n_params = n_params;
    d.d_transition.resize(n_params);
    d.d_rqr.resize(n_params);
    d.d_obs_intercept.resize(n_params);
    d.d_state_intercept.resize(n_params);

    std::size_t i = 0;
    for (std::size_t j = 0; j < config.k_trend(); ++j, ++i) {
        std::vector<double> dc(n * k, 0.0);
        // The constant (of c and ct) moves every intercept by 1, the slope
        // (of t, and the second coefficient of ct) by t.
        const bool slope = config.trend_kind == Trend::t || j == 1;
        for (std::size_t t = 0; t < n; ++t) dc[t * k + g] = slope ? static_cast<double>(t) : 1.0;
        d.d_state_intercept[i] = std::move(dc);
    }
    for (std::size_t j = 0; j < config.n_exog; ++j, ++i) {
        if (exog == nullptr) continue;
        TEMBREL_ENSURE(j < exog->size());
        d.d_obs_intercept[i] = (*exog)[j];
    }
    const std::vector<double> big_phi = make_seasonal_ar_poly(params.seasonal_ar, s);
    const std::vector<double> big_theta = make_seasonal_ma_poly(params.seasonal_ma, s);
    const std::vector<double> phi = make_ar_poly(params.ar);
    const std::vector<double> theta = make_ma_poly(params.ma);
    for (std::size_t j = 1; j <= config.p; ++j, ++i)
        d.d_transition[i] = ar_triples(polymul(unit_poly(config.p + 1, j, -1.0), big_phi), g, r);
    for (std::size_t j = 1; j <= config.q; ++j, ++i)
        d.d_rqr[i] = ma_drqr(polymul(unit_poly(config.q + 1, j, 1.0), big_theta), system, g, r);
    for (std::size_t j = 1; j <= config.P; ++j, ++i)
        d.d_transition[i] = ar_triples(polymul(phi, unit_poly(config.P * s + 1, j * s, -1.0)), g, r);
    for (std::size_t j = 1; j <= config.Q; ++j, ++i)
        d.d_rqr[i] = ma_drqr(polymul(theta, unit_poly(config.Q * s + 1, j * s, 1.0)), system, g, r);
    if (!config.concentrate_scale) {
        const auto col = system.selection.col(0);
        d.d_rqr[i] = col * col.transpose();
        ++i;
    }
    TEMBREL_ENSURE(i == n_params);
    return d;
}

MatrixXd compute_drqr(const VectorXd& d_r, const MatrixXd& selection, std::size_t k,
                      double sigma2_q) {
    TEMBREL_ENSURE(selection.cols() >= 1);
    const auto ki = static_cast<Eigen::Index>(k);
    const auto r = selection.col(0);
    MatrixXd m(ki, ki);
    for (Eigen::Index b = 0; b < ki; ++b)
        for (Eigen::Index a = 0; a < ki; ++a) m(a, b) = sigma2_q * (r[a] * d_r[b] + d_r[a] * r[b]);
    return m;
}

void compute_dp_predict(std::span<const SparseT::Entry> d_transition, const MatrixXd* d_rqr,
                        const StateSpace& system, const MatrixXd& p, const SparseT& sparse_t,
                        const MatrixXd& dp, MatrixXd& work, VectorXd& column, MatrixXd& out) {
    const auto k = static_cast<Eigen::Index>(system.k_states);
    // T·dP·Tᵀ + D in one product.
    sparse_t.sandwich(dp, d_rqr, work, out);
    if (d_transition.empty()) return;
    // ∂T·P·Tᵀ + T·P·∂Tᵀ = M + Mᵀ with M = ∂T·P·Tᵀ. For a triple (i, j, v),
    // ∂T·P gains v·P[j, :] in row i, so M gains v·(T·P[:, j])ᵀ in row i (P
    // symmetric). The triples of one parameter share their column, so T·P[:, j]
    // is formed once per distinct column.
    Eigen::Index last_col = -1;
    for (const auto& e : d_transition) {
        if (e.col != last_col) {
            sparse_t.apply(p.col(e.col).data(), column.data());
            last_col = e.col;
        }
        const double v = e.value;
        for (Eigen::Index x = 0; x < k; ++x) {
            const double term = v * column[x];
            out(e.row, x) += term;
            out(x, e.row) += term;
        }
    }
}

void ScoreSums::record(std::span<const double> dv, std::span<const double> df, double v,
                       double f_inv) {
    const double vf = v * f_inv;
    const double v2f2 = vf * vf;
    for (std::size_t i = 0; i < dv.size(); ++i) {
        sum_v_dv[i] += vf * dv[i];
        sum_v2_df[i] += v2f2 * df[i];
        sum_df[i] += f_inv * df[i];
    }
}

void ScoreSums::clear() {
    std::fill(sum_v_dv.begin(), sum_v_dv.end(), 0.0);
    std::fill(sum_v2_df.begin(), sum_v2_df.end(), 0.0);
    std::fill(sum_df.begin(), sum_df.end(), 0.0);
}

void ObsRecords::clear() {
    innovations.clear();
    inv_variances.clear();
    d_innovations.clear();
    d_variances.clear();
}

void ObsRecords::record(std::span<const double> dv, std::span<const double> df, double v,
                        double f_inv) {
    innovations.push_back(v);
    inv_variances.push_back(f_inv);
    d_innovations.emplace_back(dv.begin(), dv.end());
    d_variances.emplace_back(df.begin(), df.end());
}

namespace {

// The derivative of the factored covariance step (see detail::LowRankState).
// With A = dW·M, so that dδ = A·Wᵀ + W·Aᵀ + W·dM·Wᵀ, and α = Aᵀ·Z = M·du,
//     dm = dM·u + α,            dF' = dF + αᵀu + uᵀdm,
//     dPZ' = dPZ + A·u + W·dm,  dK' = dK + ∂T·W·m + T·A·u + T·W·dm,
//     dM' = dM − (dm·mᵀ + m·dmᵀ)/F' + m·mᵀ·dF'/F'²,
//     A' = (∂T·W)·M' + T·A − (T·A·u)·mᵀ/F' − dK·mᵀ/F' − K·αᵀ/F
//          + K·mᵀ·(αᵀu + dF)/(F·F'),
// which needs no inverse of M (obtained from dW' = ∂T·W + T·dW − dK·uᵀ/F −
// K·duᵀ/F + K·uᵀ·dF/F² with M' = M·(I − u·mᵀ/F') and uᵀM' = mᵀ·F/F').
struct LowRankDerivative {
    MatrixXd a, a_next;        // A and its successor (k × r)
    MatrixXd dm_mat;           // dM (r × r)
    VectorXd dpz, dgain;       // d(P·Z), dK of the current step
    double df = 0.0;           // dF of the current step
};

template <class Sink>
double tlkf_pass_impl(std::span<const double> y, const StateSpace& system, const KalmanInit& init,
                      const SystemDerivatives& derivs, Sink& sink, bool low_rank,
                      bool& fell_back) {
    fell_back = false;
    const std::size_t n = y.size();
    const std::size_t k = system.k_states;
    const auto ki = static_cast<Eigen::Index>(k);
    const std::size_t np = derivs.n_params;
    const std::size_t burn = init.burn;
    TEMBREL_ENSURE(init.a0.size() == ki && init.P0.rows() == ki);
    TEMBREL_ENSURE(derivs.d_transition.size() == np && derivs.d_rqr.size() == np);

    const MatrixXd& T = system.transition;
    const VectorXd& Z = system.design;
    const MatrixXd rqr = system.selection * system.state_cov * system.selection.transpose();
    const SparseT sparse_t = SparseT::from_dense(T);
    const SparseZ sparse_z = SparseZ::from_dense(Z);
    const KalmanStrategy strategy = KalmanStrategy::choose(sparse_t);
    MatrixXd transition_t;
    if (strategy.kind == KalmanStrategy::Kind::Dense) transition_t = T.transpose();

    // Filter state, as in kalman_core.
    VectorXd a = init.a0, a_next(ki), a_f(ki);
    MatrixXd P = init.P0, P_next(ki, ki), work(ki, ki);
    VectorXd pz(ki), gain(ki), pz_new(ki), pz_star(ki), column(ki), tmp(ki);
    SteadyStateTest steady(k);

    // Derivatives, one per parameter; every buffer is sized here.
    std::vector<VectorXd> da(np, VectorXd::Zero(ki));
    std::vector<MatrixXd> dP(np, MatrixXd::Zero(ki, ki));
    std::vector<VectorXd> dpz(np, VectorXd::Zero(ki));
    std::vector<double> dv(np, 0.0), df(np, 0.0);
    MatrixXd dP_next(ki, ki);

    // Derivatives of the stationary start: the covariance block solves
    // X = T_b X T_bᵀ + ∂T_b P_b T_bᵀ + T_b P_b ∂T_bᵀ + ∂(RQR)_b, and the mean
    // block μ = (I − T_b)⁻¹ c_b solves (I − T_b) ∂μ = ∂T_b μ + ∂c_b.
    if (init.kind == KalmanInit::Kind::Stationary && init.stationary_states > 0) {
        const auto s0 = static_cast<Eigen::Index>(init.diffuse_states);
        const auto x = static_cast<Eigen::Index>(init.stationary_states);
        const MatrixXd t_b = T.block(s0, s0, x, x);
        const MatrixXd p_b = init.P0.block(s0, s0, x, x);
        const VectorXd mu = init.a0.segment(s0, x);
        const bool has_mean = !mu.isZero(0.0);
        Eigen::PartialPivLU<MatrixXd> i_minus_t;
        if (has_mean) i_minus_t.compute(MatrixXd::Identity(x, x) - t_b);
        for (std::size_t i = 0; i < np; ++i) {
            MatrixXd dt_b = MatrixXd::Zero(x, x);
            bool moves_t = false;
            for (const auto& e : derivs.d_transition[i]) {
                if (e.row >= s0 && e.row < s0 + x && e.col >= s0 && e.col < s0 + x) {
                    dt_b(e.row - s0, e.col - s0) += e.value;
                    moves_t = true;
                }
            }
            MatrixXd c = MatrixXd::Zero(x, x);
            bool touched = false;
            if (moves_t) {
                const MatrixXd m = dt_b * p_b * t_b.transpose();
                c = m + m.transpose();
                touched = true;
            }
            if (derivs.d_rqr[i]) {
                c += derivs.d_rqr[i]->block(s0, s0, x, x);
                touched = true;
            }
            if (touched) {
                if (auto solved = solve_lyapunov_general(t_b, c)) dP[i].block(s0, s0, x, x) = *solved;
            }
            if (has_mean) {
                VectorXd rhs = VectorXd::Zero(x);
                if (moves_t) rhs += dt_b * mu;
                const auto& dc = derivs.d_state_intercept[i];
                if (dc.size() >= k)
                    for (Eigen::Index j = 0; j < x; ++j) rhs[j] += dc[static_cast<std::size_t>(s0 + j)];
                if (!rhs.isZero(0.0)) da[i].segment(s0, x) = i_minus_t.solve(rhs);
            }
        }
    }

    const bool use_c = static_cast<std::size_t>(system.state_intercept.size()) == n * k;
    const auto n_d = static_cast<std::size_t>(system.obs_intercept.size());
    auto d_obs = [&](std::size_t i, std::size_t t) {
        const auto& dd = derivs.d_obs_intercept[i];
        return t < dd.size() ? dd[t] : 0.0;
    };
    // da_i ← T·da_i + ∂T_i·a_src + dc_i(t).
    auto predict_mean_derivative = [&](std::size_t i, const VectorXd& a_src, std::size_t t) {
        if (k == 1) {
            // Scalar models: one multiply-add and the intercept derivative.
            double next = T(0, 0) * da[i][0];
            for (const auto& e : derivs.d_transition[i]) next += e.value * a_src[e.col];
            const auto& dc = derivs.d_state_intercept[i];
            if (dc.size() == n) next += dc[t];
            da[i][0] = next;
            return;
        }
        strategy.predict_state(T, sparse_t, da[i].data(), nullptr, tmp.data());
        for (const auto& e : derivs.d_transition[i]) tmp[e.row] += e.value * a_src[e.col];
        const auto& dc = derivs.d_state_intercept[i];
        if (dc.size() == n * k)
            for (std::size_t x = 0; x < k; ++x) tmp[static_cast<Eigen::Index>(x)] += dc[t * k + x];
        da[i].swap(tmp);
    };

    double sum_v2_f = 0.0;
    bool converged = false;
    double f_star = 0.0;

    // After the burn-in the covariance and its derivatives may move in the
    // factored form, exactly where the likelihood pass switches.
    bool try_low_rank = low_rank && strategy.kind == KalmanStrategy::Kind::Sparse && np > 0;
    const Eigen::Index max_rank = std::max<Eigen::Index>(1, ki / 4);
    detail::LowRankState lr;
    std::vector<LowRankDerivative> lrd;
    bool lr_active = false;
    double f_lr = 0.0;
    std::vector<MatrixXd> dP_start;
    MatrixXd w_old;
    VectorXd gain_old(ki), vec_a(ki), vec_b(ki), vec_c(ki);
    VectorXd alpha_buf(max_rank), dm_buf(max_rank);

    // At the switch (after step t, with P = P_t, P_next = P_{t+1}, and dP the
    // derivatives of P_{t+1}, dP_start those of P_t): with W = Q orthonormal,
    // dδ = dP_{t+1} − dP_t splits into dM = Qᵀ·dδ·Q and A = (I − Q·Qᵀ)·dδ·Q.
    // The current step's dF, d(P·Z) and dK = ∂T·P·Z + T·d(P·Z) seed the recursion.
    auto start_low_rank = [&]() {
        const Eigen::Index r = lr.rank;
        lrd.assign(np, LowRankDerivative{});
        MatrixXd d_delta(ki, ki), dq(ki, r);
        for (std::size_t i = 0; i < np; ++i) {
            LowRankDerivative& ld = lrd[i];
            d_delta = dP[i] - dP_start[i];
            dq.noalias() = d_delta * lr.w;
            ld.dm_mat = lr.w.transpose() * dq;
            ld.dm_mat = (0.5 * (ld.dm_mat + ld.dm_mat.transpose())).eval();
            ld.a = dq - lr.w * ld.dm_mat;
            ld.a_next.resize(ki, r);
            ld.dpz = dpz[i];
            ld.df = df[i];
            ld.dgain.resize(ki);
            strategy.predict_state(T, sparse_t, dpz[i].data(), nullptr, ld.dgain.data());
            for (const auto& e : derivs.d_transition[i]) ld.dgain[e.row] += e.value * pz[e.col];
        }
        w_old.resize(ki, r);
    };

    // One factored step of the filter quantities and of every derivative.
    auto advance_low_rank = [&](double f) {
        const Eigen::Index r = lr.rank;
        w_old = lr.w;
        gain_old = gain;
        lr.advance(sparse_t, sparse_z, f_lr, pz, gain);
        const double f_new = f_lr;
        const VectorXd& u = lr.u;
        const VectorXd& m = lr.m;
        const MatrixXd& tw_old = lr.tw;
        const MatrixXd& m_new = lr.m_mat;
        auto alpha = alpha_buf.head(r);
        auto dm = dm_buf.head(r);
        for (std::size_t i = 0; i < np; ++i) {
            LowRankDerivative& ld = lrd[i];
            for (Eigen::Index j = 0; j < r; ++j) alpha[j] = sparse_z.dot(ld.a.col(j).data());
            // The products below have r ≤ k/4 columns: plain loops, which for
            // such shapes beat the general matrix products.
            double alpha_u = 0.0, u_dm = 0.0;
            for (Eigen::Index q = 0; q < r; ++q) {
                double acc = alpha[q];
                for (Eigen::Index j = 0; j < r; ++j) acc += ld.dm_mat(q, j) * u[j];
                dm[q] = acc;
                alpha_u += alpha[q] * u[q];
                u_dm += u[q] * acc;
            }
            const double df_new = ld.df + alpha_u + u_dm;
            // vec_a = A·u, vec_c = old dK (kept for A'), then
            // dPZ' = dPZ + A·u + W·dm and dK' = dK + T·A·u + T·W·dm (+ ∂T·W·m below).
            vec_c = ld.dgain;
            for (Eigen::Index x = 0; x < ki; ++x) {
                double au = 0.0, wdm = 0.0, twdm = 0.0;
                for (Eigen::Index j = 0; j < r; ++j) {
                    au += ld.a(x, j) * u[j];
                    wdm += w_old(x, j) * dm[j];
                    twdm += tw_old(x, j) * dm[j];
                }
                vec_a[x] = au;
                ld.dpz[x] += au + wdm;
                ld.dgain[x] += twdm;
            }
            sparse_t.apply(vec_a.data(), vec_b.data());
            ld.dgain += vec_b;
            // A' = T·A + (∂T·W)·M' − (T·A·u + dK)·mᵀ/F' − K·αᵀ/F + K·mᵀ·(αᵀu + dF)/(F·F').
            for (Eigen::Index j = 0; j < r; ++j)
                sparse_t.apply(ld.a.col(j).data(), ld.a_next.col(j).data());
            // ∂T·W has nonzero rows only at the triples' rows: row `row` gains
            // value × row `col` of W.
            for (const auto& e : derivs.d_transition[i]) {
                double wm = 0.0;
                for (Eigen::Index j = 0; j < r; ++j) wm += w_old(e.col, j) * m[j];
                ld.dgain[e.row] += e.value * wm;
                for (Eigen::Index j = 0; j < r; ++j) {
                    double wn = 0.0;
                    for (Eigen::Index q = 0; q < r; ++q) wn += w_old(e.col, q) * m_new(q, j);
                    ld.a_next(e.row, j) += e.value * wn;
                }
            }
            const double km = (alpha_u + ld.df) / (f * f_new);
            for (Eigen::Index j = 0; j < r; ++j) {
                const double mj = m[j] / f_new, aj = alpha[j] / f, kj = m[j] * km;
                double* col = ld.a_next.col(j).data();
                for (Eigen::Index x = 0; x < ki; ++x)
                    col[x] += -(vec_b[x] + vec_c[x]) * mj - gain_old[x] * aj + gain_old[x] * kj;
            }
            ld.a.swap(ld.a_next);
            // dM' = dM − (dm·mᵀ + m·dmᵀ)/F' + m·mᵀ·dF'/F'².
            const double w2 = df_new / (f_new * f_new);
            for (Eigen::Index j = 0; j < r; ++j)
                for (Eigen::Index q = 0; q < r; ++q)
                    ld.dm_mat(q, j) += -(dm[q] * m[j] + m[q] * dm[j]) / f_new + m[q] * m[j] * w2;
            ld.df = df_new;
        }
    };

    for (std::size_t t = 0; t < n; ++t) {
        const double d_t = t < n_d ? system.obs_intercept[static_cast<Eigen::Index>(t)] : 0.0;
        const double v = y[t] - sparse_z.dot(a.data()) - d_t;
        const double* c_t = use_c ? system.state_intercept.data() + t * k : nullptr;
        for (std::size_t i = 0; i < np; ++i) dv[i] = -d_obs(i, t) - sparse_z.dot(da[i].data());

        if (converged) {
            if (t >= burn) {
                sink.record(dv, df, v, 1.0 / f_star);
                sum_v2_f += v * v / f_star;
            }
            const double vf = v / f_star;
            const double inv_f = 1.0 / f_star;
            for (std::size_t x = 0; x < k; ++x)
                a_f[static_cast<Eigen::Index>(x)] =
                    a[static_cast<Eigen::Index>(x)] + pz_star[static_cast<Eigen::Index>(x)] * vf;
            for (std::size_t i = 0; i < np; ++i) {
                const double coef = dv[i] * inv_f - df[i] * v * inv_f * inv_f;
                double* dai = da[i].data();
                const double* dpzi = dpz[i].data();
                const double* pzs = pz_star.data();
                for (std::size_t x = 0; x < k; ++x) dai[x] += dpzi[x] * vf + pzs[x] * coef;
                predict_mean_derivative(i, a_f, t);
            }
            strategy.predict_state(T, sparse_t, a_f.data(), c_t, a_next.data());
            a.swap(a_next);
            continue;
        }

        const double f = lr_active ? f_lr : strategy.compute_pz_and_f(P, Z, sparse_z, pz);
        if (lr_active && f <= 0.0) {
            fell_back = true;
            return 0.0;
        }
        if (!(f <= 0.0)) {
            // Regular step (a NaN variance also takes it, and yields a NaN score).
            for (std::size_t i = 0; i < np; ++i) {
                if (lr_active) {
                    dpz[i] = lrd[i].dpz;
                } else {
                    sparse_z.product(dP[i], dpz[i]);
                }
                df[i] = sparse_z.dot(dpz[i].data());
            }
            if (t >= burn) {
                sink.record(dv, df, v, 1.0 / f);
                sum_v2_f += v * v * (1.0 / f);
            }
            const double vf = v / f;
            a_f = a + pz * vf;
            for (std::size_t i = 0; i < np; ++i) {
                da[i] += dpz[i] * vf + pz * (dv[i] / f - df[i] * v / (f * f));
                predict_mean_derivative(i, a_f, t);
            }
            const bool switching = !lr_active && try_low_rank && t >= burn;
            if (!lr_active) {
                strategy.predict_state(T, sparse_t, pz.data(), nullptr, gain.data());
                if (switching) dP_start = dP;
                // dP_{t+1} = T·dP_f·Tᵀ + ∂T·P_f·Tᵀ + T·P_f·∂Tᵀ + D with the update
                // dP_f = dP − (dPZ·PZᵀ + PZ·dPZᵀ)/F + PZ·PZᵀ·dF/F² carried through T:
                // T·dP_f·Tᵀ = T·dP·Tᵀ − (T·dPZ·gᵀ + g·(T·dPZ)ᵀ)/F + g·gᵀ·dF/F², g = T·PZ,
                // so neither the updated dP nor P_f is formed.
                for (std::size_t i = 0; i < np; ++i) {
                    sparse_t.apply(dpz[i].data(), tmp.data());
                    const MatrixXd* d_rqr = derivs.d_rqr[i] ? &*derivs.d_rqr[i] : nullptr;
                    sparse_t.sandwich(dP[i], d_rqr, work, dP_next);
                    const double w2 = df[i] / (f * f);
                    for (Eigen::Index col = 0; col < ki; ++col) {
                        const double gc = gain[col], tc = tmp[col];
                        double* out = dP_next.col(col).data();
                        for (Eigen::Index row = 0; row < ki; ++row)
                            out[row] += -(tmp[row] * gc + gain[row] * tc) / f + gain[row] * gc * w2;
                    }
                    // ∂T·P_f·Tᵀ + its transpose; T·P_f[:, j] = T·P[:, j] − g·PZ_j/F.
                    Eigen::Index last_col = -1;
                    for (const auto& e : derivs.d_transition[i]) {
                        if (e.col != last_col) {
                            sparse_t.apply(P.col(e.col).data(), column.data());
                            column -= gain * (pz[e.col] / f);
                            last_col = e.col;
                        }
                        for (Eigen::Index x = 0; x < ki; ++x) {
                            const double term = e.value * column[x];
                            dP_next(e.row, x) += term;
                            dP_next(x, e.row) += term;
                        }
                    }
                    dP[i].swap(dP_next);
                }
            }
            // The filter's own update and prediction, term for term.
            strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
            a_next += gain * vf;
            a.swap(a_next);

            if (lr_active) {
                advance_low_rank(f);
            } else {
                strategy.predict_updated_cov(T, transition_t, sparse_t, P, rqr, gain, f, work,
                                             P_next);
                if (switching) {
                    try_low_rank = false;
                    if (detail::factor_step(P_next, P, max_rank, work, lr)) {
                        start_low_rank();
                        lr_active = true;
                        f_lr = f;
                        advance_low_rank(f);
                    }
                    dP_start.clear();
                }
                P.swap(P_next);
            }

            if (t >= burn + STEADY_FIRST_TEST) {
                if (lr_active) {
                    pz_new = pz;
                } else {
                    sparse_z.product(P, pz_new);
                }
                if (steady.settled(pz_new) && !sparse_z.entries.empty()) {
                    const double f_candidate = sparse_z.dot(pz_new.data());
                    if (std::isfinite(f_candidate) && f_candidate > 0.0) {
                        converged = true;
                        f_star = f_candidate;
                        pz_star = pz_new;
                    }
                }
            }
            continue;
        }

        // Degenerate step, F ≤ 0: no update.
        if (t >= burn) {
            std::fill(df.begin(), df.end(), 0.0);
            sink.record(dv, df, v, DEGENERATE_F_INV);
            sum_v2_f += v * v * DEGENERATE_F_INV;
        }
        for (std::size_t i = 0; i < np; ++i) {
            predict_mean_derivative(i, a, t);
            compute_dp_predict(derivs.d_transition[i], derivs.d_rqr[i] ? &*derivs.d_rqr[i] : nullptr,
                               system, P, sparse_t, dP[i], work, column, dP_next);
            dP[i].swap(dP_next);
        }
        strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
        a.swap(a_next);
        strategy.predict_cov(T, transition_t, sparse_t, P, rqr, work, P_next);
        P.swap(P_next);
    }
    return sum_v2_f;
}

Result<double> score_scale(std::size_t n, std::size_t burn, double sum_v2_f,
                           bool concentrate_scale, const char* where) {
    if (!concentrate_scale) return 1.0;
    const double x = sum_v2_f / static_cast<double>(n - burn);
    if (!(x > 0.0))
        return fail(SarimaxError::data(std::string("concentrated sigma^2 <= 0 in ") + where +
                                       " computation"));
    return x;
}

std::optional<SarimaxError> check_length(std::size_t n, std::size_t burn) {
    if (n > burn) return std::nullopt;
    return SarimaxError::data("Not enough observations: n=" + std::to_string(n) +
                              " <= burn=" + std::to_string(burn));
}

}  // namespace

namespace {
// The factored pass first; a non-positive variance in its factored phase
// reruns the pass with the plain recursion, which owns the treatment of such
// steps (as the likelihood pass does).
template <class Sink>
double tlkf_pass_with_fallback(std::span<const double> y, const StateSpace& system,
                               const KalmanInit& init, const SystemDerivatives& derivs, Sink& sink) {
    bool fell_back = false;
    const double sum_v2_f = tlkf_pass_impl(y, system, init, derivs, sink, true, fell_back);
    if (!fell_back) return sum_v2_f;
    sink.clear();
    return tlkf_pass_impl(y, system, init, derivs, sink, false, fell_back);
}
}  // namespace

double tlkf_pass(std::span<const double> y, const StateSpace& system, const KalmanInit& init,
                 const SystemDerivatives& derivs, ScoreSums& sink) {
    return tlkf_pass_with_fallback(y, system, init, derivs, sink);
}

double tlkf_pass(std::span<const double> y, const StateSpace& system, const KalmanInit& init,
                 const SystemDerivatives& derivs, ObsRecords& sink) {
    return tlkf_pass_with_fallback(y, system, init, derivs, sink);
}

Result<std::vector<double>> score(std::span<const double> y, const StateSpace& system,
                                  const KalmanInit& init, const SarimaxConfig& config,
                                  const SarimaxParams& params, bool concentrate_scale,
                                  const ExogColumns* exog) {
    if (auto error = check_length(y.size(), init.burn)) return fail(std::move(*error));
    const SystemDerivatives derivs = precompute_derivatives(config, params, system, y.size(), exog);
    if (derivs.n_params == 0) return std::vector<double>{};
    ScoreSums sums(derivs.n_params);
    const double sum_v2_f = tlkf_pass(y, system, init, derivs, sums);
    auto x = score_scale(y.size(), init.burn, sum_v2_f, concentrate_scale, "score");
    if (!x) return fail(std::move(x.error()));
    std::vector<double> gradient(derivs.n_params);
    for (std::size_t i = 0; i < derivs.n_params; ++i)
        gradient[i] = 0.5 * sums.sum_v2_df[i] / *x - sums.sum_v_dv[i] / *x - 0.5 * sums.sum_df[i];
    return gradient;
}

Result<std::vector<std::vector<double>>> score_obs(std::span<const double> y,
                                                   const StateSpace& system,
                                                   const KalmanInit& init,
                                                   const SarimaxConfig& config,
                                                   const SarimaxParams& params,
                                                   bool concentrate_scale,
                                                   const ExogColumns* exog) {
    if (auto error = check_length(y.size(), init.burn)) return fail(std::move(*error));
    const SystemDerivatives derivs = precompute_derivatives(config, params, system, y.size(), exog);
    const std::size_t rows = y.size() - init.burn;
    if (derivs.n_params == 0) return std::vector<std::vector<double>>(rows);
    ObsRecords records;
    records.innovations.reserve(rows);
    records.inv_variances.reserve(rows);
    records.d_innovations.reserve(rows);
    records.d_variances.reserve(rows);
    const double sum_v2_f = tlkf_pass(y, system, init, derivs, records);
    auto x = score_scale(y.size(), init.burn, sum_v2_f, concentrate_scale, "score_obs");
    if (!x) return fail(std::move(x.error()));
    std::vector<std::vector<double>> out(records.innovations.size(),
                                         std::vector<double>(derivs.n_params));
    for (std::size_t t = 0; t < out.size(); ++t) {
        const double v = records.innovations[t], f_inv = records.inv_variances[t];
        for (std::size_t i = 0; i < derivs.n_params; ++i) {
            const double df = records.d_variances[t][i], dv = records.d_innovations[t][i];
            out[t][i] = 0.5 * (v * v * f_inv * f_inv * df / *x - f_inv * df) - f_inv * v * dv / *x;
        }
    }
    return out;
}

}  // namespace tembrel

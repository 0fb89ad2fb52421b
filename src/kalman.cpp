#include "kalman.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace tembrel {

namespace {

// A step whose innovation variance is not positive is not used for the update;
// it contributes ln(10¹⁰) and v²/10¹⁰ as if F were 10¹⁰.
constexpr double DEGENERATE_F = 1e10;
constexpr double LN_DEGENERATE_F = 23.025850929940457;
constexpr double LN_2PI = 1.8378770664093453;

// Steady-state detection: the relative change of P·Z must stay below the
// tolerance for this many consecutive tests, which start this many steps
// after the burn-in.
constexpr double STEADY_TOL = 1e-9;
constexpr std::size_t STEADY_COUNT = 3;
constexpr std::size_t STEADY_FIRST_TEST = 5;

using ConstVecMap = Eigen::Map<const VectorXd>;
using VecMap = Eigen::Map<VectorXd>;

}  // namespace

KalmanInit KalmanInit::approximate_diffuse(std::size_t k) {
    KalmanInit init;
    init.kind = Kind::ApproximateDiffuse;
    init.a0 = VectorXd::Zero(static_cast<Eigen::Index>(k));
    init.P0 = MatrixXd::Identity(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k)) *
              APPROX_DIFFUSE_VARIANCE;
    init.burn = k;
    return init;
}

SparseT SparseT::from_dense(const MatrixXd& transition) {
    SparseT sparse;
    sparse.k = static_cast<std::size_t>(transition.rows());
    // Runs still open after the previous row, found by the column they expect
    // next; an entry continues the run ending just above-left of it with the
    // same value, or starts a new one.
    std::vector<std::size_t> open, still_open;
    for (Eigen::Index i = 0; i < transition.rows(); ++i) {
        still_open.clear();
        for (Eigen::Index j = 0; j < transition.cols(); ++j) {
            const double value = transition(i, j);
            if (value == 0.0 && !std::isnan(value)) continue;
            sparse.entries.push_back({i, j, value});
            std::size_t target = sparse.runs.size();
            for (std::size_t r : open) {
                const Run& run = sparse.runs[r];
                if (run.col + run.length == j && run.row + run.length == i &&
                    run.value == value) {
                    target = r;
                    break;
                }
            }
            if (target == sparse.runs.size())
                sparse.runs.push_back({i, j, 1, value});
            else
                ++sparse.runs[target].length;
            still_open.push_back(target);
        }
        open.swap(still_open);
    }
    return sparse;
}

SparseZ SparseZ::from_dense(const VectorXd& design) {
    SparseZ sparse;
    for (Eigen::Index i = 0; i < design.size(); ++i) {
        const double value = design[i];
        if (value != 0.0 || std::isnan(value)) sparse.entries.emplace_back(i, value);
    }
    return sparse;
}

KalmanStrategy KalmanStrategy::choose(const SparseT& sparse_t) {
    const std::size_t k = sparse_t.k;
    if (k > 1 && sparse_t.entries.size() < (k * k) / 2) return {Kind::Sparse};
    return {Kind::Dense};
}

namespace {

// The covariance kernels carry the O(k²) work of every step. They are built
// twice, for baseline x86-64 and for AVX2/FMA machines, and the loader picks
// the better one at run time, so a wheel built here runs everywhere.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define TEMBREL_MULTIVERSION __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define TEMBREL_MULTIVERSION
#endif

// dst += T·src for vectors of length k.
inline void add_product(const SparseT& t, const double* src, double* dst) {
    for (const auto& run : t.runs) {
        const double* s = src + run.col;
        double* d = dst + run.row;
        const double v = run.value;
        for (Eigen::Index m = 0; m < run.length; ++m) d[m] += v * s[m];
    }
}

// out = T·X·Tᵀ + RQR − w·g·gᵀ (the last term only when g is not null), for
// column-major k × k matrices, X symmetric.
//
// W = X·Tᵀ is formed by columns, W[:, i] = Σ_j T[i, j]·X[:, j]: a run of
// length L adds L contiguous columns of X into L contiguous columns of W.
// Then (T·W)[:, c] = T·W[:, c], where a run adds a contiguous segment of the
// column. Everything but the scattered single entries is a block operation.
TEMBREL_MULTIVERSION
void sparse_sandwich(const SparseT& t, const double* x, const double* rqr, const double* g,
                     double w, double* work, double* out) {
    const std::size_t k = t.k;
    for (std::size_t r = 0; r < k * k; ++r) work[r] = 0.0;
    for (const auto& run : t.runs) {
        const std::size_t len = static_cast<std::size_t>(run.length) * k;
        const double* s = x + static_cast<std::size_t>(run.col) * k;
        double* d = work + static_cast<std::size_t>(run.row) * k;
        const double v = run.value;
        for (std::size_t r = 0; r < len; ++r) d[r] += v * s[r];
    }
    for (std::size_t c = 0; c < k; ++c) {
        double* dst = out + c * k;
        const double* q = rqr + c * k;
        if (g != nullptr) {
            const double gc = w * g[c];
            for (std::size_t r = 0; r < k; ++r) dst[r] = q[r] - g[r] * gc;
        } else {
            for (std::size_t r = 0; r < k; ++r) dst[r] = q[r];
        }
        add_product(t, work + c * k, dst);
    }
}

// P ← P − w·u·uᵀ (column-major k × k).
TEMBREL_MULTIVERSION
void rank_one_downdate(std::size_t k, const double* u, double w, double* p) {
    for (std::size_t c = 0; c < k; ++c) {
        const double uc = w * u[c];
        double* dst = p + c * k;
        for (std::size_t r = 0; r < k; ++r) dst[r] -= u[r] * uc;
    }
}

}  // namespace

void KalmanStrategy::predict_state(const MatrixXd& transition, const SparseT& sparse_t,
                                   const double* a, const double* c, double* out) const {
    const Eigen::Index k = transition.rows();
    if (kind == Kind::Dense) {
        VecMap(out, k).noalias() = transition * ConstVecMap(a, k);
    } else {
        for (Eigen::Index i = 0; i < k; ++i) out[i] = 0.0;
        add_product(sparse_t, a, out);
    }
    if (c != nullptr)
        for (Eigen::Index i = 0; i < k; ++i) out[i] += c[i];
}

void KalmanStrategy::predict_cov(const MatrixXd& transition, const MatrixXd& transition_t,
                                 const SparseT& sparse_t, const MatrixXd& p, const MatrixXd& rqr,
                                 MatrixXd& work, MatrixXd& out) const {
    if (kind == Kind::Dense) {
        work.noalias() = p * transition_t;
        out.noalias() = transition * work;
        out += rqr;
        return;
    }
    sparse_sandwich(sparse_t, p.data(), rqr.data(), nullptr, 0.0, work.data(), out.data());
}

void KalmanStrategy::predict_updated_cov(const MatrixXd& transition,
                                         const MatrixXd& transition_t, const SparseT& sparse_t,
                                         const MatrixXd& p, const MatrixXd& rqr,
                                         const VectorXd& gain, double weight, MatrixXd& work,
                                         MatrixXd& out) const {
    if (kind == Kind::Dense) {
        work.noalias() = p * transition_t;
        out.noalias() = transition * work;
        out += rqr;
        rank_one_downdate(static_cast<std::size_t>(out.rows()), gain.data(), weight, out.data());
        return;
    }
    sparse_sandwich(sparse_t, p.data(), rqr.data(), gain.data(), weight, work.data(),
                    out.data());
}

double KalmanStrategy::compute_pz_and_f(const MatrixXd& p, const VectorXd& design,
                                        const SparseZ& sparse_z, VectorXd& pz) const {
    const Eigen::Index k = p.rows();
    if (kind == Kind::Dense) {
        pz.noalias() = p * design;
        return design.dot(pz);
    }
    pz.setZero();
    for (const auto& [j, z] : sparse_z.entries) {
        const double* col = p.col(j).data();
        for (Eigen::Index r = 0; r < k; ++r) pz[r] += z * col[r];
    }
    return sparse_z.dot(pz.data());
}

Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& system,
                                       const KalmanInit& init, bool concentrate_scale,
                                       bool store_full, const SnapshotRequest* snapshots) {
    const std::size_t n = y.size();
    const std::size_t k = system.k_states;
    const auto ki = static_cast<Eigen::Index>(k);
    TEMBREL_ENSURE(k >= 1);
    TEMBREL_ENSURE(system.transition.rows() == ki && system.transition.cols() == ki);
    TEMBREL_ENSURE(system.design.size() == ki && system.selection.rows() == ki);
    TEMBREL_ENSURE(init.a0.size() == ki && init.P0.rows() == ki && init.P0.cols() == ki);
    TEMBREL_ENSURE(snapshots == nullptr || snapshots->out != nullptr);

    if (init.burn >= n)
        return fail(SarimaxError::data("Not enough observations: n=" + std::to_string(n) +
                                       " <= burn=" + std::to_string(init.burn)));

    const MatrixXd& T = system.transition;
    const VectorXd& Z = system.design;
    const std::size_t burn = init.burn;

    // Every buffer of the pass is sized here; the loop below only reuses them.
    VectorXd a = init.a0, a_next(ki);
    MatrixXd P = init.P0, P_next(ki, ki), work(ki, ki);
    const MatrixXd rqr = system.selection * system.state_cov * system.selection.transpose();
    const SparseZ sparse_z = SparseZ::from_dense(Z);
    const SparseT sparse_t = SparseT::from_dense(T);
    const KalmanStrategy strategy = KalmanStrategy::choose(sparse_t);
    MatrixXd transition_t;
    if (strategy.kind == KalmanStrategy::Kind::Dense) transition_t = T.transpose();
    VectorXd pz(ki), pz_new(ki), pz_prev = VectorXd::Zero(ki);
    VectorXd pz_star(ki), gain(ki), gain_star(ki);

    KalmanFilterOutput out;
    out.innovations.reserve(n);
    out.filtered_state = VectorXd::Zero(ki);
    out.filtered_cov = MatrixXd::Zero(ki, ki);
    if (store_full) out.innovation_vars.reserve(n);

    // The intercept rows are added only when the system carries one per
    // observation and at least one of them is nonzero.
    const bool use_c = static_cast<std::size_t>(system.state_intercept.size()) == n * k &&
                       !system.state_intercept.isZero(0.0);
    const double* c_base = use_c ? system.state_intercept.data() : nullptr;
    const auto n_d = static_cast<std::size_t>(system.obs_intercept.size());

    std::size_t next_origin = 0;
    auto take_snapshots = [&](std::size_t t) {
        if (snapshots == nullptr) return;
        while (next_origin < snapshots->origins.size() && snapshots->origins[next_origin] == t) {
            snapshots->out->push_back(StateSnapshot{a, P, t});
            ++next_origin;
        }
    };
    auto predict = [&](const double* c_t) {
        strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
        a.swap(a_next);
        strategy.predict_cov(T, transition_t, sparse_t, P, rqr, work, P_next);
        P.swap(P_next);
    };

    double sum_log_f = 0.0;  // Σ ln F_t over t ≥ burn
    double sum_v2_f = 0.0;   // Σ v_t²/F_t over t ≥ burn
    bool converged = false;
    std::size_t steady_count = 0;
    double f_star = 0.0, log_f_star = 0.0;

    for (std::size_t t = 0; t < n; ++t) {
        take_snapshots(t);
        const double d_t = t < n_d ? system.obs_intercept[static_cast<Eigen::Index>(t)] : 0.0;
        const double v = y[t] - sparse_z.dot(a.data()) - d_t;
        out.innovations.push_back(v);
        const double* c_t = use_c ? c_base + t * k : nullptr;

        if (converged) {
            // Frozen gain: P no longer changes, a moves by the steady gain.
            if (store_full) {
                out.innovation_vars.push_back(f_star);
                out.filtered_state = a + pz_star * (v / f_star);
            }
            strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
            a_next += gain_star * (v / f_star);
            a.swap(a_next);
            if (t >= burn) {
                sum_log_f += log_f_star;
                sum_v2_f += v * v / f_star;
            }
            continue;
        }

        const double f = strategy.compute_pz_and_f(P, Z, sparse_z, pz);
        if (store_full) out.innovation_vars.push_back(f);

        if (!(f > 0.0)) {
            if (store_full) {
                out.filtered_state = a;
                out.filtered_cov = P;
            }
            predict(c_t);
            if (t >= burn) {
                sum_log_f += LN_DEGENERATE_F;
                sum_v2_f += v * v / DEGENERATE_F;
            }
            continue;
        }

        // Measurement update and prediction in one step: with the gain
        // g = T·PZ, a ← T·a + c + g·v/F and P ← T·P·Tᵀ + RQR − g·gᵀ/F, which is
        // T·(a + PZ·v/F) + c and T·(P − PZ·PZᵀ/F)·Tᵀ + RQR.
        const double scaled_v = v / f;
        if (store_full) {
            out.filtered_state = a + pz * scaled_v;
            out.filtered_cov = P;
            rank_one_downdate(k, pz.data(), 1.0 / f, out.filtered_cov.data());
        }
        strategy.predict_state(T, sparse_t, pz.data(), nullptr, gain.data());
        strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
        a_next += gain * scaled_v;
        a.swap(a_next);
        strategy.predict_updated_cov(T, transition_t, sparse_t, P, rqr, gain, 1.0 / f, work,
                                     P_next);
        P.swap(P_next);
        if (t >= burn) {
            sum_log_f += std::log(f);
            sum_v2_f += v * v * (1.0 / f);
        }

        if (t >= burn + STEADY_FIRST_TEST) {
            pz_new.setZero();
            for (const auto& [j, z] : sparse_z.entries) pz_new += z * P.col(j);
            const double delta = (pz_new - pz_prev).norm();
            const double nu = std::max(pz_prev.norm(), 1e-15);
            const bool small = delta / nu < STEADY_TOL;
            steady_count = small ? steady_count + 1 : 0;
            if (small && steady_count >= STEADY_COUNT) {
                const double f_candidate = sparse_z.dot(pz_new.data());
                if (std::isfinite(f_candidate) && f_candidate > 0.0) {
                    converged = true;
                    f_star = f_candidate;
                    log_f_star = std::log(f_candidate);
                    pz_star = pz_new;
                    strategy.predict_state(T, sparse_t, pz_star.data(), nullptr, gain_star.data());
                }
            }
            pz_prev.swap(pz_new);
        }
    }

    take_snapshots(n);
    if (snapshots != nullptr && next_origin < snapshots->origins.size()) {
        snapshots->out->clear();
        return fail(SarimaxError::invalid_input(
            "snapshot origins must be sorted ascending and <= n=" + std::to_string(n) + ", got " +
            format_list(snapshots->origins.data(), snapshots->origins.size())));
    }
    if (!std::isfinite(sum_log_f) || !std::isfinite(sum_v2_f))
        return fail(SarimaxError::data(
            "non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"));

    const double n_eff = static_cast<double>(n - burn);
    double loglike = 0.0, scale = 0.0;
    if (concentrate_scale) {
        scale = sum_v2_f / n_eff;
        loglike = -0.5 * n_eff * LN_2PI - 0.5 * n_eff * std::log(std::max(scale, 1e-300)) -
                  0.5 * n_eff - 0.5 * sum_log_f;
    } else {
        scale = system.state_cov(0, 0);
        loglike = -0.5 * n_eff * LN_2PI - 0.5 * sum_log_f - 0.5 * sum_v2_f;
    }
    if (!std::isfinite(loglike) || !std::isfinite(scale))
        return fail(SarimaxError::data("non-finite loglike/scale produced by Kalman filter"));

    out.loglike = loglike;
    out.scale = scale;
    out.n_eff = n - burn;
    out.predicted_state = std::move(a);
    out.predicted_cov = std::move(P);
    return out;
}

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& system,
                                    const KalmanInit& init, bool concentrate_scale) {
    auto full = kalman_core(y, system, init, concentrate_scale, false);
    if (!full) return fail(std::move(full.error()));
    return KalmanOutput{std::move(full->innovations), full->loglike, full->scale, full->n_eff};
}

Result<std::pair<KalmanFilterOutput, std::vector<StateSnapshot>>> kalman_filter_with_snapshots(
    std::span<const double> y, const StateSpace& system, const KalmanInit& init,
    bool concentrate_scale, std::span<const std::size_t> origins) {
    std::vector<StateSnapshot> saved;
    saved.reserve(origins.size());
    SnapshotRequest request{origins, &saved};
    auto full = kalman_core(y, system, init, concentrate_scale, true, &request);
    if (!full) return fail(std::move(full.error()));
    return std::pair{std::move(*full), std::move(saved)};
}

}  // namespace tembrel

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
    // Runs still open after the previous row; an entry continues the run
    // ending just above-left of it with the same value and the same leading
    // status, or starts a new one.
    std::vector<std::size_t> open, still_open;
    open.reserve(sparse.k);
    still_open.reserve(sparse.k);
    sparse.entries.reserve(3 * sparse.k);
    sparse.runs.reserve(sparse.k);
    for (Eigen::Index i = 0; i < transition.rows(); ++i) {
        still_open.clear();
        bool leads = true;
        for (Eigen::Index j = 0; j < transition.cols(); ++j) {
            const double value = transition(i, j);
            if (value == 0.0 && !std::isnan(value)) continue;
            sparse.entries.push_back({i, j, value});
            std::size_t target = sparse.runs.size();
            for (std::size_t r : open) {
                const Run& run = sparse.runs[r];
                if (run.col + run.length == j && run.row + run.length == i &&
                    run.value == value && run.leads == leads) {
                    target = r;
                    break;
                }
            }
            if (target == sparse.runs.size())
                sparse.runs.push_back({i, j, 1, value, leads});
            else
                ++sparse.runs[target].length;
            still_open.push_back(target);
            leads = false;
        }
        if (leads) sparse.empty_rows.push_back(i);
        open.swap(still_open);
    }
    std::stable_partition(sparse.runs.begin(), sparse.runs.end(),
                          [](const Run& run) { return run.leads; });
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

// dst = T·src for vectors of length k (dst and src distinct).
inline void apply_transition(const SparseT& t, const double* src, double* dst) {
    for (Eigen::Index i : t.empty_rows) dst[i] = 0.0;
    for (const auto& run : t.runs) {
        const double* s = src + run.col;
        double* d = dst + run.row;
        const double v = run.value;
        // Single entries (AR coefficients, level links) skip the loop set-up.
        if (run.length == 1) {
            d[0] = run.leads ? v * s[0] : d[0] + v * s[0];
            continue;
        }
        if (run.leads)
            for (Eigen::Index m = 0; m < run.length; ++m) d[m] = v * s[m];
        else
            for (Eigen::Index m = 0; m < run.length; ++m) d[m] += v * s[m];
    }
}

// out = T·X·Tᵀ + RQR − g·gᵀ/f (the last term only when g is not null), for
// column-major k × k matrices.
//
// W = X·Tᵀ is formed by columns, W[:, i] = Σ_j T[i, j]·X[:, j]: a run of
// length L adds L contiguous columns of X into L contiguous columns of W.
// Then (T·W)[:, c] = T·W[:, c], where a run adds a contiguous segment of the
// column. Everything but the scattered single entries is a block operation.
TEMBREL_MULTIVERSION
void sparse_sandwich(const SparseT& t, const double* x, const double* rqr, const double* g,
                     double f, double* work, double* out) {
    const std::size_t k = t.k;
    for (Eigen::Index i : t.empty_rows) {
        double* d = work + static_cast<std::size_t>(i) * k;
        for (std::size_t r = 0; r < k; ++r) d[r] = 0.0;
    }
    for (const auto& run : t.runs) {
        const std::size_t len = static_cast<std::size_t>(run.length) * k;
        const double* s = x + static_cast<std::size_t>(run.col) * k;
        double* d = work + static_cast<std::size_t>(run.row) * k;
        const double v = run.value;
        if (run.leads)
            for (std::size_t r = 0; r < len; ++r) d[r] = v * s[r];
        else
            for (std::size_t r = 0; r < len; ++r) d[r] += v * s[r];
    }
    // T·W is summed in full before RQR and the gain term are added: its large
    // diffuse parts then cancel against the gain term in one rounding.
    for (std::size_t c = 0; c < k; ++c) {
        double* dst = out + c * k;
        apply_transition(t, work + c * k, dst);
        if (rqr == nullptr) continue;
        const double* q = rqr + c * k;
        if (g != nullptr) {
            // (g_r·g_c)/F, rounded once: the same value for (r, c) and (c, r),
            // and the value whose large diffuse part cancels exactly against
            // that of T·P·Tᵀ. Scaling by a rounded 1/F instead leaves errors of
            // the size of the diffuse variance times the rounding unit.
            const double gc = g[c];
            for (std::size_t r = 0; r < k; ++r) dst[r] += q[r] - (g[r] * gc) / f;
        } else {
            for (std::size_t r = 0; r < k; ++r) dst[r] += q[r];
        }
    }
}

// P ← P − u·uᵀ/f (column-major k × k), exactly symmetric in (r, c).
TEMBREL_MULTIVERSION
void rank_one_downdate(std::size_t k, const double* u, double f, double* p) {
    for (std::size_t c = 0; c < k; ++c) {
        const double uc = u[c];
        double* dst = p + c * k;
        for (std::size_t r = 0; r < k; ++r) dst[r] -= (u[r] * uc) / f;
    }
}

// The dense form of `sparse_sandwich`, for the small systems whose transition
// is not sparse (k of 3 or less in practice): plain loops, which for such sizes
// beat any general matrix product.
void dense_sandwich(const MatrixXd& t, const MatrixXd& t_t, const MatrixXd& x, const MatrixXd& rqr,
                    const double* g, double f, MatrixXd& work, MatrixXd& out) {
    const Eigen::Index k = t.rows();
    for (Eigen::Index i = 0; i < k; ++i)
        for (Eigen::Index r = 0; r < k; ++r) {
            double acc = 0.0;
            for (Eigen::Index j = 0; j < k; ++j) acc += x(r, j) * t_t(j, i);
            work(r, i) = acc;
        }
    for (Eigen::Index c = 0; c < k; ++c) {
        const double gc = g != nullptr ? g[c] : 0.0;
        for (Eigen::Index r = 0; r < k; ++r) {
            double acc = 0.0;
            for (Eigen::Index j = 0; j < k; ++j) acc += t(r, j) * work(j, c);
            out(r, c) = acc + (rqr(r, c) - (g != nullptr ? (g[r] * gc) / f : 0.0));
        }
    }
}

}  // namespace

void SparseT::apply(const double* src, double* dst) const { apply_transition(*this, src, dst); }

void SparseT::sandwich(const MatrixXd& x, const MatrixXd* add, MatrixXd& work,
                       MatrixXd& out) const {
    const auto ki = static_cast<Eigen::Index>(k);
    TEMBREL_ENSURE(x.rows() == ki && x.cols() == ki);
    TEMBREL_ENSURE(add == nullptr || (add->rows() == ki && add->cols() == ki));
    TEMBREL_ENSURE(work.rows() == ki && work.cols() == ki && out.rows() == ki && out.cols() == ki);
    sparse_sandwich(*this, x.data(), add != nullptr ? add->data() : nullptr, nullptr, 1.0,
                    work.data(), out.data());
}

void KalmanStrategy::predict_state(const MatrixXd& transition, const SparseT& sparse_t,
                                   const double* a, const double* c, double* out) const {
    const Eigen::Index k = transition.rows();
    if (kind == Kind::Dense) {
        for (Eigen::Index i = 0; i < k; ++i) {
            double acc = 0.0;
            for (Eigen::Index j = 0; j < k; ++j) acc += transition(i, j) * a[j];
            out[i] = acc;
        }
    } else {
        apply_transition(sparse_t, a, out);
    }
    if (c != nullptr)
        for (Eigen::Index i = 0; i < k; ++i) out[i] += c[i];
}

void KalmanStrategy::predict_cov(const MatrixXd& transition, const MatrixXd& transition_t,
                                 const SparseT& sparse_t, const MatrixXd& p, const MatrixXd& rqr,
                                 MatrixXd& work, MatrixXd& out) const {
    if (kind == Kind::Dense) {
        dense_sandwich(transition, transition_t, p, rqr, nullptr, 0.0, work, out);
        return;
    }
    sparse_sandwich(sparse_t, p.data(), rqr.data(), nullptr, 0.0, work.data(), out.data());
}

void KalmanStrategy::predict_updated_cov(const MatrixXd& transition,
                                         const MatrixXd& transition_t, const SparseT& sparse_t,
                                         const MatrixXd& p, const MatrixXd& rqr,
                                         const VectorXd& gain, double f, MatrixXd& work,
                                         MatrixXd& out) const {
    if (kind == Kind::Dense) {
        dense_sandwich(transition, transition_t, p, rqr, gain.data(), f, work, out);
        return;
    }
    sparse_sandwich(sparse_t, p.data(), rqr.data(), gain.data(), f, work.data(), out.data());
}

double KalmanStrategy::compute_pz_and_f(const MatrixXd& p, const VectorXd& design,
                                        const SparseZ& sparse_z, VectorXd& pz) const {
    const Eigen::Index k = p.rows();
    if (kind == Kind::Dense) {
        double f = 0.0;
        for (Eigen::Index r = 0; r < k; ++r) {
            double acc = 0.0;
            for (Eigen::Index j = 0; j < k; ++j) acc += p(r, j) * design[j];
            pz[r] = acc;
            f += design[r] * acc;
        }
        return f;
    }
    sparse_z.product(p, pz);
    return sparse_z.dot(pz.data());
}

namespace {

// The vector part of a factored step, for W and T·W of k × r (by columns):
//     pz_next = pz + W·m,  gain_next = gain + (T·W)·m,  W ← T·W − gain·uᵀ/F.
// After the burn-in every quantity here is of the size of the data's
// variance, so scaling by 1/F loses nothing.
TEMBREL_MULTIVERSION
void update_vectors(Eigen::Index k, Eigen::Index r, double* __restrict w,
                    const double* __restrict tw, const double* __restrict m,
                    const double* __restrict u, double inv_f, const double* __restrict pz,
                    const double* __restrict gain, double* __restrict pz_next,
                    double* __restrict gain_next) {
    for (Eigen::Index x = 0; x < k; ++x) {
        pz_next[x] = pz[x];
        gain_next[x] = gain[x];
    }
    for (Eigen::Index j = 0; j < r; ++j) {
        const double mj = m[j];
        const double* wc = w + j * k;
        const double* twc = tw + j * k;
        for (Eigen::Index x = 0; x < k; ++x) {
            pz_next[x] += mj * wc[x];
            gain_next[x] += mj * twc[x];
        }
    }
    for (Eigen::Index j = 0; j < r; ++j) {
        const double uj = u[j] * inv_f;
        double* dst = w + j * k;
        const double* src = tw + j * k;
        for (Eigen::Index x = 0; x < k; ++x) dst[x] = src[x] - gain[x] * uj;
    }
}

}  // namespace

void detail::LowRankState::advance(const SparseT& t, const SparseZ& z, double& f, VectorXd& pz,
                               VectorXd& gain) {
    const Eigen::Index k = w.rows();
    const Eigen::Index r = rank;
    double* wd = w.data();
    double* twd = tw.data();
    for (Eigen::Index j = 0; j < r; ++j) u[j] = z.dot(wd + j * k);
    double um = 0.0;
    for (Eigen::Index i = 0; i < r; ++i) {
        double acc = 0.0;
        for (Eigen::Index j = 0; j < r; ++j) acc += m_mat(i, j) * u[j];
        m[i] = acc;
        um += u[i] * acc;
    }
    const double f_next = f + um;
    for (Eigen::Index j = 0; j < r; ++j) apply_transition(t, wd + j * k, twd + j * k);
    update_vectors(k, r, wd, twd, m.data(), u.data(), 1.0 / f, pz.data(), gain.data(),
                   pz_next.data(), gain_next.data());
    for (Eigen::Index j = 0; j < r; ++j)
        for (Eigen::Index i = 0; i < r; ++i) m_mat(i, j) -= (m[i] * m[j]) / f_next;
    f = f_next;
    pz.swap(pz_next);
    gain.swap(gain_next);
}

bool detail::factor_step(const MatrixXd& p_next, const MatrixXd& p, Eigen::Index max_rank,
                         MatrixXd& work, LowRankState& lr) {
    const Eigen::Index k = p.rows();
    const double tol =
        LOW_RANK_RTOL * std::max(p.cwiseAbs().maxCoeff(), p_next.cwiseAbs().maxCoeff());
    work = p_next - p;
    lr.w.resize(k, max_rank);
    Eigen::Index rank = 0;
    for (;;) {
        Eigen::Index pivot = 0;
        double best = -1.0;
        for (Eigen::Index j = 0; j < k; ++j) {
            const double norm2 = work.col(j).squaredNorm();
            if (norm2 > best) best = norm2, pivot = j;
        }
        if (!(best >= 0.0) || !std::isfinite(best)) return false;
        if (std::sqrt(best) <= tol) break;
        if (rank == max_rank) return false;
        auto q = lr.w.col(rank);
        q = work.col(pivot) / std::sqrt(best);
        // One reorthogonalisation pass keeps the basis orthonormal to rounding.
        for (Eigen::Index i = 0; i < rank; ++i) q -= lr.w.col(i).dot(q) * lr.w.col(i);
        q.normalize();
        for (Eigen::Index j = 0; j < k; ++j) work.col(j) -= q.dot(work.col(j)) * q;
        ++rank;
    }
    if (rank == 0) return false;
    lr.rank = rank;
    lr.w.conservativeResize(k, rank);
    // M = Wᵀ δ W, with δ formed again (the pivoting consumed `work`).
    work = p_next - p;
    lr.m_mat.resize(rank, rank);
    VectorXd delta_w(k);
    for (Eigen::Index j = 0; j < rank; ++j) {
        delta_w.noalias() = work * lr.w.col(j);
        for (Eigen::Index i = 0; i <= j; ++i)
            lr.m_mat(i, j) = lr.m_mat(j, i) = lr.w.col(i).dot(delta_w);
    }
    lr.tw.resize(k, rank);
    lr.u.resize(rank);
    lr.m.resize(rank);
    lr.pz_next.resize(k);
    lr.gain_next.resize(k);
    return true;
}

namespace {

// The rest of a likelihood-only pass once the gain is frozen: P no longer
// moves, so each step is the innovation and the mean update. Kept apart from
// the general loop so that the sums and the state stay in registers.
struct SteadyTail {
    const double* y;
    const double* obs_intercept;
    std::size_t n_d;
    const double* c_base;  // null without state intercept
    std::size_t burn;
    double f_star, log_f_star, inv_f_star;
};

void run_steady_tail(const SteadyTail& s, std::size_t t0, std::size_t n, const StateSpace& system,
                     const SparseT& sparse_t, const SparseZ& sparse_z,
                     const KalmanStrategy& strategy, const VectorXd& gain, VectorXd& a,
                     VectorXd& a_next, double* innovations, double& sum_log_f, double& sum_v2_f) {
    const std::size_t k = system.k_states;
    double slf = sum_log_f, svf = sum_v2_f;
    if (k == 1) {
        // Scalar models (white noise, AR(1)): a ← (T − K*Z/F*)·a + K*·(y − d)/F* + c
        // keeps a single multiply-add on the chain from a_t to a_{t+1}.
        const double z = system.design[0];
        const double g = gain[0] * s.inv_f_star;
        const double l = system.transition(0, 0) - g * z;
        double a0 = a[0];
        for (std::size_t t = t0; t < n; ++t) {
            const double d_t = t < s.n_d ? s.obs_intercept[t] : 0.0;
            const double v = s.y[t] - z * a0 - d_t;
            innovations[t] = v;
            a0 = l * a0 + g * (s.y[t] - d_t) + (s.c_base != nullptr ? s.c_base[t] : 0.0);
            if (t >= s.burn) {
                slf += s.log_f_star;
                svf += v * (v * s.inv_f_star);
            }
        }
        a[0] = a0;
    } else {
        const auto ki = static_cast<Eigen::Index>(k);
        for (std::size_t t = t0; t < n; ++t) {
            const double d_t = t < s.n_d ? s.obs_intercept[t] : 0.0;
            const double v = s.y[t] - sparse_z.dot(a.data()) - d_t;
            innovations[t] = v;
            const double scaled = v * s.inv_f_star;
            strategy.predict_state(system.transition, sparse_t, a.data(),
                                   s.c_base != nullptr ? s.c_base + t * k : nullptr,
                                   a_next.data());
            double* next = a_next.data();
            const double* g = gain.data();
            for (Eigen::Index i = 0; i < ki; ++i) next[i] += g[i] * scaled;
            a.swap(a_next);
            if (t >= s.burn) {
                slf += s.log_f_star;
                svf += v * scaled;
            }
        }
    }
    sum_log_f = slf;
    sum_v2_f = svf;
}


// One filter pass. With `low_rank` (likelihood-only passes) the covariance
// recursion switches to the factored form after the burn-in when the step has
// low rank; if a non-positive F then shows up, the pass gives up and sets
// `fell_back`, and the caller reruns it with the plain recursion, which owns
// the documented treatment of such steps.
Result<KalmanFilterOutput> run_pass(std::span<const double> y, const StateSpace& system,
                                    const KalmanInit& init, bool concentrate_scale,
                                    bool store_full, const SnapshotRequest* snapshots,
                                    bool low_rank, bool& fell_back) {
    fell_back = false;
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
    VectorXd pz(ki), pz_new(ki), pz_star(ki), gain(ki), gain_star(ki);
    SteadyStateTest steady(k);

    KalmanFilterOutput out;
    out.innovations.resize(n);
    out.filtered_state = VectorXd::Zero(ki);
    out.filtered_cov = MatrixXd::Zero(ki, ki);
    if (store_full) out.innovation_vars.reserve(n);

    // The intercept rows are added only when the system carries one per
    // observation (a system without a trend carries none).
    const bool use_c = static_cast<std::size_t>(system.state_intercept.size()) == n * k;
    const double* c_base = use_c ? system.state_intercept.data() : nullptr;
    const auto n_d = static_cast<std::size_t>(system.obs_intercept.size());
    const double* obs_intercept = system.obs_intercept.data();

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
    double f_star = 0.0, log_f_star = 0.0, inv_f_star = 0.0;

    // The factored form pays off when its rank is well below k; it is tried
    // once, at the first regular step after the burn-in.
    bool try_low_rank = low_rank && strategy.kind == KalmanStrategy::Kind::Sparse;
    const Eigen::Index max_rank = std::max<Eigen::Index>(1, ki / 4);
    detail::LowRankState lr;
    bool lr_active = false;
    double f_lr = 0.0;

    for (std::size_t t = 0; t < n; ++t) {
        take_snapshots(t);
        const double d_t = t < n_d ? obs_intercept[t] : 0.0;
        const double v = y[t] - sparse_z.dot(a.data()) - d_t;
        out.innovations[t] = v;
        const double* c_t = use_c ? c_base + t * k : nullptr;

        if (converged) {
            // Frozen gain: P no longer changes, a moves by the steady gain.
            // (v·(1/F*) rather than v/F*: the division would sit on the
            // step-to-step dependency chain of a.)
            const double scaled = v * inv_f_star;
            if (store_full) {
                out.innovation_vars.push_back(f_star);
                out.filtered_state = a + pz_star * scaled;
            }
            strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
            double* next = a_next.data();
            const double* g = gain_star.data();
            for (std::size_t i = 0; i < k; ++i) next[i] += g[i] * scaled;
            a.swap(a_next);
            if (t >= burn) {
                sum_log_f += log_f_star;
                sum_v2_f += v * scaled;
            }
            continue;
        }

        const double f = lr_active ? f_lr : strategy.compute_pz_and_f(P, Z, sparse_z, pz);
        if (store_full) out.innovation_vars.push_back(f);

        if (!(f > 0.0)) {
            if (lr_active) {
                fell_back = true;
                return fail(SarimaxError::data("low-rank recursion met a non-positive variance"));
            }
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
            rank_one_downdate(k, pz.data(), f, out.filtered_cov.data());
        }
        if (!lr_active) strategy.predict_state(T, sparse_t, pz.data(), nullptr, gain.data());
        strategy.predict_state(T, sparse_t, a.data(), c_t, a_next.data());
        a_next += gain * scaled_v;
        a.swap(a_next);
        if (t >= burn) {
            sum_log_f += std::log(f);
            sum_v2_f += v * v * (1.0 / f);
        }

        // Covariance to the next step: F, P·Z and the gain move in the
        // factored form once it is active; otherwise P itself is propagated.
        if (lr_active) {
            lr.advance(sparse_t, sparse_z, f_lr, pz, gain);
        } else {
            strategy.predict_updated_cov(T, transition_t, sparse_t, P, rqr, gain, f, work, P_next);
            if (try_low_rank && t >= burn) {
                try_low_rank = false;
                if (detail::factor_step(P_next, P, max_rank, work, lr)) {
                    lr_active = true;
                    f_lr = f;
                    lr.advance(sparse_t, sparse_z, f_lr, pz, gain);
                }
            }
            P.swap(P_next);
        }

        if (t >= burn + STEADY_FIRST_TEST) {
            if (lr_active) {
                pz_new = pz;
            } else {
                sparse_z.product(P, pz_new);
            }
            if (steady.settled(pz_new)) {
                const double f_candidate = sparse_z.dot(pz_new.data());
                if (std::isfinite(f_candidate) && f_candidate > 0.0) {
                    converged = true;
                    f_star = f_candidate;
                    log_f_star = std::log(f_candidate);
                    inv_f_star = 1.0 / f_candidate;
                    pz_star = pz_new;
                    strategy.predict_state(T, sparse_t, pz_star.data(), nullptr, gain_star.data());
                    if (!store_full && snapshots == nullptr) {
                        run_steady_tail({y.data(), obs_intercept, n_d, c_base, burn, f_star,
                                         log_f_star, inv_f_star},
                                        t + 1, n, system, sparse_t, sparse_z, strategy, gain_star,
                                        a, a_next, out.innovations.data(), sum_log_f, sum_v2_f);
                        break;
                    }
                }
            }
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

}  // namespace

Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& system,
                                       const KalmanInit& init, bool concentrate_scale,
                                       bool store_full, const SnapshotRequest* snapshots) {
    bool fell_back = false;
    return run_pass(y, system, init, concentrate_scale, store_full, snapshots, false, fell_back);
}

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& system,
                                    const KalmanInit& init, bool concentrate_scale) {
    // Only the likelihood is asked for, so the covariance itself need not be
    // kept: the factored recursion may carry the pass.
    bool fell_back = false;
    auto full = run_pass(y, system, init, concentrate_scale, false, nullptr, true, fell_back);
    if (fell_back)
        full = run_pass(y, system, init, concentrate_scale, false, nullptr, false, fell_back);
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

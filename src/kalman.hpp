#pragma once
// One pass of the Kalman filter over a univariate series, accumulating the
// exact Gaussian log-likelihood (optionally with the scale concentrated out).

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "linalg.hpp"
#include "state_space.hpp"
#include "types.hpp"

namespace tembrel {

/// Variance given to a state whose initial value is treated as unknown.
inline constexpr double APPROX_DIFFUSE_VARIANCE = 1e6;

/// Steady-state detection, shared by the filter and its tangent-linear pass:
/// the relative change of P·Z must stay below `STEADY_TOL` for at least
/// `steady_window(k)` consecutive tests, which start `STEADY_FIRST_TEST`
/// steps after the burn-in.
inline constexpr double STEADY_TOL = 1e-9;
inline constexpr std::size_t STEADY_COUNT = 3;
inline constexpr std::size_t STEADY_FIRST_TEST = 5;

/// A change of the covariance can take up to k steps to reach P·Z: in a
/// seasonal model P·Z may stand still for most of a season and then move
/// again at the seasonal lag. So P·Z must have stood still for k consecutive
/// steps, not just a few, before the gain is frozen; otherwise the filter
/// freezes a covariance that is still converging and the likelihood is wrong.
constexpr std::size_t steady_window(std::size_t k) noexcept {
    return k > STEADY_COUNT ? k : STEADY_COUNT;
}

/// The steady-state test, fed with P·Z of each new prediction from
/// `STEADY_FIRST_TEST` steps after the burn-in on.
class SteadyStateTest {
public:
    explicit SteadyStateTest(std::size_t k)
        : previous_(VectorXd::Zero(static_cast<Eigen::Index>(k))), needed_(steady_window(k)) {}
    /// True when P·Z has stood still (relative change below `STEADY_TOL`) for
    /// the whole window; `pz` then becomes the reference of the next test.
    bool settled(const VectorXd& pz) {
        const double delta = (pz - previous_).norm();
        const double nu = std::max(previous_.norm(), 1e-15);
        const bool small = delta / nu < STEADY_TOL;
        count_ = small ? count_ + 1 : 0;
        previous_ = pz;
        return small && count_ >= needed_;
    }

private:
    VectorXd previous_;
    std::size_t count_ = 0;
    std::size_t needed_;
};

/// The initial state of a pass: mean `a0` (k), covariance `P0` (k × k) and
/// the number `burn` of leading observations left out of the likelihood.
struct KalmanInit {
    enum class Kind {
        ApproximateDiffuse,  ///< every state diffuse
        Stationary,          ///< ARMA block stationary, differencing states diffuse
    };
    Kind kind = Kind::ApproximateDiffuse;
    std::size_t diffuse_states = 0;     ///< S leading diffuse states (Stationary only)
    std::size_t stationary_states = 0;  ///< size X of the stationary block (Stationary only)
    VectorXd a0;
    MatrixXd P0;
    std::size_t burn = 0;

    /// Every state diffuse: a0 = 0, P0 = 10⁶·I_k, burn = k.
    static KalmanInit approximate_diffuse(std::size_t k);

    /// The default start for a system built from `config`: the ARMA block at its
    /// stationary distribution (mean (I − T_a)⁻¹ c_a of the first state
    /// intercept, covariance from the Lyapunov equation) and the differencing
    /// states diffuse with burn = their count; fully diffuse when stationarity
    /// is not enforced or the stationary solution fails. Never fails.
    static KalmanInit from_config_default(const StateSpace& system, const SarimaxConfig& config);
};

/// The nonzero entries of a k × k transition matrix, row by row; an entry is
/// kept unless it is exactly zero (NaN counts as nonzero).
///
/// The entries are also split into runs for the products: a run is a chain of
/// entries (i, j), (i+1, j+1), … (i+L−1, j+L−1) with one common value, as the
/// shift blocks of a SARIMAX transition form (seasonal ring, companion
/// superdiagonal). A product with a run reads and writes contiguous memory, so
/// the products cost a few block copies plus the scattered remainder.
struct SparseT {
    struct Entry {
        Eigen::Index row;
        Eigen::Index col;
        double value;
    };
    struct Run {
        Eigen::Index row;     ///< first row
        Eigen::Index col;     ///< first column
        Eigen::Index length;  ///< number of entries, ≥ 1
        double value;
        bool leads;           ///< its entries are the first of their rows
    };
    std::vector<Entry> entries;
    /// Every entry in exactly one run; the leading runs come first, so that a
    /// product can assign them and add the rest, without clearing its output.
    std::vector<Run> runs;
    std::vector<Eigen::Index> empty_rows;  ///< rows of T without entries
    std::size_t k = 0;

    static SparseT from_dense(const MatrixXd& transition);

    /// dst = T·src for vectors of length k (distinct buffers).
    void apply(const double* src, double* dst) const;
    /// out = T·X·Tᵀ (+ add, when given) for k × k matrices; `work` is k × k
    /// scratch. `out` is distinct from `x`, `add` and `work`.
    void sandwich(const MatrixXd& x, const MatrixXd* add, MatrixXd& work, MatrixXd& out) const;
};

/// The nonzero entries of the design vector, in increasing index.
struct SparseZ {
    std::vector<std::pair<Eigen::Index, double>> entries;

    static SparseZ from_dense(const VectorXd& design);
    /// Z·x for a vector of length k.
    double dot(const double* x) const noexcept {
        double sum = 0.0;
        for (const auto& [i, z] : entries) sum += z * x[i];
        return sum;
    }
    /// out = P·Z for a k × k matrix: the columns of P named by Z, weighted.
    void product(const MatrixXd& p, VectorXd& out) const {
        out.setZero();
        for (const auto& [j, z] : entries) out += z * p.col(j);
    }
};

/// How the products with T are formed during one pass: dense matrix products,
/// or sums over the triples of `SparseT`. Chosen once per pass.
struct KalmanStrategy {
    enum class Kind { Dense, Sparse };
    Kind kind = Kind::Dense;

    /// `Sparse` when T has fewer than ⌊k²/2⌋ kept entries; always `Dense` for k = 1.
    static KalmanStrategy choose(const SparseT& sparse_t);

    /// out = T·a (+ c when `c` is not null). `out` and `a` are distinct, length k.
    void predict_state(const MatrixXd& transition, const SparseT& sparse_t, const double* a,
                       const double* c, double* out) const;
    /// out = T·P·Tᵀ + RQR. `work` is k × k scratch; `out`, `p` and `work` are distinct.
    /// `transition_t` is Tᵀ (used by the dense form only).
    void predict_cov(const MatrixXd& transition, const MatrixXd& transition_t,
                     const SparseT& sparse_t, const MatrixXd& p, const MatrixXd& rqr,
                     MatrixXd& work, MatrixXd& out) const;
    /// out = T·P·Tᵀ + RQR − g·gᵀ/F: the prediction of the updated covariance
    /// T·(P − PZ·PZᵀ/F)·Tᵀ + RQR written with the gain g = T·PZ, so that the
    /// measurement update costs no pass of its own.
    void predict_updated_cov(const MatrixXd& transition, const MatrixXd& transition_t,
                             const SparseT& sparse_t, const MatrixXd& p, const MatrixXd& rqr,
                             const VectorXd& gain, double f, MatrixXd& work,
                             MatrixXd& out) const;
    /// pz = P·Z; returns F = Zᵀ·P·Z.
    double compute_pz_and_f(const MatrixXd& p, const VectorXd& design, const SparseZ& sparse_z,
                            VectorXd& pz) const;
};

namespace detail {

/// Relative size below which a component of the covariance step counts as
/// rounding noise.
inline constexpr double LOW_RANK_RTOL = 1e-13;

/// The covariance recursion in factored-difference form (the Chandrasekhar
/// recursions of Morf, Sidhu and Kailath, 1974). For a time-invariant system
/// the step δ_t = P_{t+1} − P_t has the rank of the first step and obeys
///     δ_t = W_t M_t W_tᵀ,  u = W_tᵀZ,  m = M_t u,
///     F_{t+1}  = F_t + uᵀm,           P_{t+1}Z = P_tZ + W_t m,
///     K_{t+1}  = K_t + T W_t m,       (K = T·P·Z, the unscaled gain)
///     W_{t+1}  = T W_t − K_t uᵀ/F_t,  M_{t+1} = M_t − m mᵀ/F_{t+1},
/// so a step costs O(k·r) for rank r instead of the O(k²) of the Riccati
/// recursion, and gives the same F, K and P·Z up to rounding.
struct LowRankState {
    Eigen::Index rank = 0;
    MatrixXd w, tw, m_mat;  ///< W (k × r), T·W of the last step, M (r × r)
    VectorXd u, m;          ///< Wᵀ Z and M u of the last step
    VectorXd pz_next, gain_next;

    /// Advances (F, P·Z, K) of the current step to the next one; afterwards
    /// `tw`, `u` and `m` hold T·W, Wᵀ Z and M u of the step just taken.
    void advance(const SparseT& t, const SparseZ& z, double& f, VectorXd& pz, VectorXd& gain);
};

/// Factors δ = p_next − p as W M Wᵀ with W orthonormal (into `lr`), by
/// Gram-Schmidt with column pivoting on δ: columns are taken while the largest
/// remaining column norm exceeds `LOW_RANK_RTOL` times the largest entry of p
/// and p_next, so components below it (rounding noise) are dropped. Fails
/// when more than `max_rank` columns would be needed. `work` is k × k scratch.
bool factor_step(const MatrixXd& p_next, const MatrixXd& p, Eigen::Index max_rank,
                 MatrixXd& work, LowRankState& lr);

}  // namespace detail

/// Result of a likelihood-only pass.
struct KalmanOutput {
    std::vector<double> innovations;  ///< v_t, t = 0 … n−1
    double loglike = 0.0;
    double scale = 0.0;               ///< σ̂² when concentrated, otherwise Q[0,0]
    std::size_t n_eff = 0;            ///< n − burn
};

/// Result of `kalman_core`.
struct KalmanFilterOutput {
    std::vector<double> innovations;      ///< v_t (n)
    std::vector<double> innovation_vars;  ///< F_t (n) in a full pass, empty otherwise
    VectorXd filtered_state;              ///< a_{t|t} of the last filtered step (zeros unless full)
    MatrixXd filtered_cov;                ///< P_{t|t} of the last filtered step (zeros unless full)
    VectorXd predicted_state;             ///< a_n
    MatrixXd predicted_cov;               ///< P_n
    double loglike = 0.0;
    double scale = 0.0;
    std::size_t n_eff = 0;
};

/// The predicted moments of period `origin` given y_0 … y_{origin−1}.
struct StateSnapshot {
    VectorXd state;
    MatrixXd cov;
    std::size_t origin = 0;
};

/// Origins at which to save the predicted state (sorted ascending, each ≤ n)
/// and the list the snapshots are appended to.
struct SnapshotRequest {
    std::span<const std::size_t> origins;
    std::vector<StateSnapshot>* out = nullptr;
};

/// One filter pass over `y` for `system` from `init`. With `store_full` the
/// innovation variances and the last filtered moments are recorded.
/// Errors: `Data` when n ≤ burn or the likelihood is not finite;
/// `InvalidInput` when a snapshot origin is out of order or beyond n.
[[nodiscard]] Result<KalmanFilterOutput> kalman_core(std::span<const double> y,
                                                     const StateSpace& system,
                                                     const KalmanInit& init,
                                                     bool concentrate_scale, bool store_full,
                                                     const SnapshotRequest* snapshots = nullptr);

/// The log-likelihood pass: `kalman_core` without full storage or snapshots.
[[nodiscard]] Result<KalmanOutput> kalman_loglike(std::span<const double> y,
                                                  const StateSpace& system,
                                                  const KalmanInit& init, bool concentrate_scale);

/// A full pass that also saves the predicted state at each origin.
/// Returns the output and one snapshot per origin, in origin order.
[[nodiscard]] Result<std::pair<KalmanFilterOutput, std::vector<StateSnapshot>>>
kalman_filter_with_snapshots(std::span<const double> y, const StateSpace& system,
                             const KalmanInit& init, bool concentrate_scale,
                             std::span<const std::size_t> origins);

}  // namespace tembrel

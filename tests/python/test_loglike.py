"""The log-likelihood is exact.

Stationary models are checked against the multivariate normal density of the
whole series, with the covariance built from the ARMA autocovariances (the
psi-weight expansion) -- a route that shares nothing with the filter. Models
with differencing states or a diffuse start are checked against a plain dense
Kalman filter written here from the model's definition. Two published results
anchor the trend handling.
"""

import math
from pathlib import Path

import numpy as np
import pytest

import tembrel

DATA = Path(__file__).resolve().parent.parent / "data"
AIRLINE = Path(__file__).resolve().parents[2] / "examples" / "data" / "airline.csv"
LN2PI = math.log(2 * math.pi)


def read_column(path, column):
    lines = [ln for ln in path.read_text().splitlines() if ln and not ln.startswith("#")]
    index = lines[0].split(",").index(column)
    return np.array([float(ln.split(",")[index]) for ln in lines[1:]])


# ---------------------------------------------------------------------------
# The model, written out independently.


def split_params(params, order, seasonal, trend, n_exog, concentrate):
    p, _, q = order
    P, _, Q, _ = seasonal
    k_trend = {"n": 0, "c": 1, "t": 1, "ct": 2}[trend]
    sizes = [k_trend, n_exog, p, q, P, Q]
    blocks, at = [], 0
    for size in sizes:
        blocks.append(np.asarray(params[at:at + size], dtype=float))
        at += size
    sigma2 = 1.0 if concentrate else float(params[at])
    return blocks, sigma2


def arma_polys(ar, ma, sar, sma, s):
    phi = np.concatenate([[1.0], -ar])
    theta = np.concatenate([[1.0], ma])
    big_phi = np.zeros(len(sar) * s + 1)
    big_phi[0] = 1.0
    big_theta = np.zeros(len(sma) * s + 1)
    big_theta[0] = 1.0
    for k, v in enumerate(sar, 1):
        big_phi[k * s] = -v
    for k, v in enumerate(sma, 1):
        big_theta[k * s] = v
    return np.convolve(phi, big_phi), np.convolve(theta, big_theta)


def trend_path(trend, coeffs, n):
    t = np.arange(n, dtype=float)
    if trend == "n":
        return np.zeros(n)
    if trend == "c":
        return np.full(n, coeffs[0])
    if trend == "t":
        return t * coeffs[0]
    return coeffs[0] + t * coeffs[1]


def difference(x, d, D, s):
    x = np.asarray(x, dtype=float)
    for _ in range(D):
        x = x[s:] - x[:-s]
    for _ in range(d):
        x = np.diff(x)
    return x


def system(order, seasonal, params, trend="n", exog=None, concentrate=False,
           simple=False, n=0):
    """T, Z, R·Q·Rᵀ, obs intercept and state intercepts for n steps."""
    p, d, q = order
    P, D, Q, s = seasonal
    n_exog = 0 if exog is None else exog.shape[1]
    (tc, beta, ar, ma, sar, sma), sigma2 = split_params(
        params, order, seasonal, trend, n_exog, concentrate)
    a_poly, m_poly = arma_polys(ar, ma, sar, sma, s)
    r = max(len(a_poly) - 1, len(m_poly))  # k_order
    # ARMA block in companion form.
    ta = np.zeros((r, r))
    ta[: len(a_poly) - 1, 0] = -a_poly[1:]
    ta[:-1, 1:] += np.eye(r - 1)
    ra = np.zeros(r)
    ra[: len(m_poly)] = m_poly[:r]
    nd = 0 if simple else d + s * D
    k = nd + r
    T = np.zeros((k, k))
    Z = np.zeros(k)
    T[nd:, nd:] = ta
    Z[nd] = 1.0
    if nd:
        # Level i holds the i-times differenced series; each level adds the
        # levels below it, the seasonal ring and the ARMA output.
        for i in range(d):
            T[i, i:d] = 1.0
            T[i, nd] = 1.0
            Z[i] = 1.0
        if D:
            b = d
            T[b, b + s - 1] = 1.0
            T[b + 1:b + s, b:b + s - 1] = np.eye(s - 1)
            T[:d, b + s - 1] = 1.0
            T[b, nd] = 1.0
            Z[b + s - 1] = 1.0
    R = np.zeros(k)
    R[nd:] = ra
    rqr = sigma2 * np.outer(R, R)
    obs = np.zeros(n) if exog is None else exog @ beta
    c = np.zeros((n, k))
    c[:, nd] = trend_path(trend, tc, n)
    return T, Z, rqr, obs, c, nd, r


def dense_filter(y, T, Z, rqr, obs, c, a0, P0, burn, concentrate):
    a, Pm = a0.copy(), P0.copy()
    slf = svf = 0.0
    for t in range(len(y)):
        v = y[t] - Z @ a - obs[t]
        pz = Pm @ Z
        f = Z @ pz
        if f > 0:
            a = a + pz * v / f
            Pm = Pm - np.outer(pz, pz) / f
        else:
            f = 1e10
        a = T @ a + c[t]
        Pm = T @ Pm @ T.T + rqr
        if t >= burn:
            slf += math.log(f)
            svf += v * v / f
    N = len(y) - burn
    if concentrate:
        return -0.5 * N * (LN2PI + math.log(svf / N) + 1) - 0.5 * slf
    return -0.5 * N * LN2PI - 0.5 * slf - 0.5 * svf


def reference_state_space(y, order, seasonal, params, trend="n", exog=None,
                          concentrate=False, simple=False, stationary=True):
    """Dense filter with the documented start: differencing states diffuse and
    burnt in, the ARMA block at its stationary distribution."""
    p, d, q = order
    P, D, Q, s = seasonal
    if simple:
        y = difference(y, d, D, s)
        if exog is not None:
            exog = np.column_stack([difference(col, d, D, s) for col in exog.T])
    T, Z, rqr, obs, c, nd, r = system(order, seasonal, params, trend, exog,
                                      concentrate, simple, len(y))
    k = nd + r
    a0 = np.zeros(k)
    if stationary:
        from scipy.linalg import solve_discrete_lyapunov
        ta = T[nd:, nd:]
        P0 = np.zeros((k, k))
        P0[:nd, :nd] = 1e6 * np.eye(nd)
        P0[nd:, nd:] = solve_discrete_lyapunov(ta, rqr[nd:, nd:])
        a0[nd:] = np.linalg.solve(np.eye(r) - ta, c[0, nd:])
        burn = nd
    else:
        P0 = 1e6 * np.eye(k)
        burn = k
    return dense_filter(y, T, Z, rqr, obs, c, a0, P0, burn, concentrate)


def reference_gaussian(y, order, seasonal, params, trend="n", exog=None,
                       concentrate=False):
    """Exact density of a stationary SARMA series: N(mean, Γ), Γ from the
    psi weights, the mean from the trend filtered through the AR operator."""
    n = len(y)
    n_exog = 0 if exog is None else exog.shape[1]
    (tc, beta, ar, ma, sar, sma), sigma2 = split_params(
        params, order, seasonal, trend, n_exog, concentrate)
    a_poly, m_poly = arma_polys(ar, ma, sar, sma, seasonal[3])
    # ψ weights: a(L) ψ(L) = m(L).
    m = 4000
    psi = np.zeros(m)
    for j in range(m):
        acc = m_poly[j] if j < len(m_poly) else 0.0
        for i in range(1, min(j, len(a_poly) - 1) + 1):
            acc -= a_poly[i] * psi[j - i]
        psi[j] = acc
    gamma = np.array([psi[: m - h] @ psi[h:] for h in range(n)])
    cov = gamma[np.abs(np.subtract.outer(np.arange(n), np.arange(n)))]
    # The trend enters the first ARMA state one step ahead: the mean u_t of the
    # ARMA output solves a(L) u_t = trend_{t-1}, started at the stationary mean
    # of the first intercept.
    tr = trend_path(trend, tc, n)
    u0 = tr[0] / a_poly.sum() if a_poly.sum() else 0.0
    u = np.full(n + len(a_poly), u0)
    lag = len(a_poly) - 1
    for t in range(n):
        u[lag + t] = (tr[t - 1] if t > 0 else tr[0]) - a_poly[1:] @ u[lag + t - 1::-1][:lag] \
            if lag else (tr[t - 1] if t > 0 else tr[0])
    mean = u[lag:lag + n]
    if exog is not None:
        mean = mean + exog @ beta
    e = y - mean
    sign, logdet = np.linalg.slogdet(cov)
    assert sign > 0
    quad = e @ np.linalg.solve(cov, e)
    if concentrate:
        s2 = quad / n
        return -0.5 * n * (LN2PI + math.log(s2) + 1) - 0.5 * logdet
    return (-0.5 * n * LN2PI - 0.5 * logdet - 0.5 * n * math.log(sigma2)
            - 0.5 * quad / sigma2)


# ---------------------------------------------------------------------------


def simulate(n, seed, scale=1.0):
    rng = np.random.default_rng(seed)
    e = rng.standard_normal(n + 50) * scale
    x = np.zeros(n + 50)
    for t in range(2, n + 50):
        x[t] = 0.6 * x[t - 1] - 0.2 * x[t - 2] + e[t] + 0.3 * e[t - 1]
    return x[50:]


RNG = np.random.default_rng(42)
EXOG2 = RNG.standard_normal((80, 2))

STATIONARY_CASES = [
    ("white noise", (0, 0, 0), (0, 0, 0, 0), [1.7], {}),
    ("AR(1)", (1, 0, 0), (0, 0, 0, 0), [0.5, 1.2], {}),
    ("AR(2) with constant", (2, 0, 0), (0, 0, 0, 0), [0.8, 0.5, -0.2, 0.9],
     {"trend": "c"}),
    ("MA(2)", (0, 0, 2), (0, 0, 0, 0), [0.4, -0.3, 1.1], {}),
    ("ARMA(1,1) with constant and exog", (1, 0, 1), (0, 0, 0, 0),
     [0.3, 1.5, -0.7, 0.6, 0.2, 0.8], {"trend": "c", "exog": EXOG2}),
    ("ARMA(1,1) with slope", (1, 0, 1), (0, 0, 0, 0), [0.02, 0.5, 0.2, 1.0],
     {"trend": "t"}),
    ("ARMA(1,1) with ct", (1, 0, 1), (0, 0, 0, 0), [0.5, 0.02, 0.5, 0.2, 1.0],
     {"trend": "ct"}),
    ("(1,0,1)(1,0,1,4)", (1, 0, 1), (1, 0, 1, 4), [0.4, 0.2, 0.3, -0.4, 0.9], {}),
    ("ARMA(2,1) concentrated", (2, 0, 1), (0, 0, 0, 0), [0.5, -0.2, 0.3],
     {"concentrate_scale": True}),
    ("seasonal AR concentrated with exog", (0, 0, 0), (2, 0, 0, 3), [0.7, -1.0, 0.3, 0.2],
     {"concentrate_scale": True, "exog": EXOG2}),
]


@pytest.mark.parametrize("name,order,seasonal,params,kw", STATIONARY_CASES,
                         ids=[c[0] for c in STATIONARY_CASES])
def test_stationary_models_match_the_gaussian_density(name, order, seasonal, params, kw):
    y = simulate(80, seed=len(name)) + 2.0
    trend = kw.get("trend", "n")
    exog = kw.get("exog")
    conc = kw.get("concentrate_scale", False)
    got = tembrel.sarimax_loglike(y, order, seasonal, np.array(params, dtype=float),
                                  exog=exog, concentrate_scale=conc, trend=trend)
    want = reference_gaussian(y, order, seasonal, params, trend, exog, conc)
    assert got == pytest.approx(want, rel=1e-9, abs=1e-9)


AIR = np.log(read_column(AIRLINE, "passengers"))
WALK = np.cumsum(simulate(120, seed=3)) + 10.0
LONG_WALK = np.cumsum(simulate(320, seed=8)) + 10.0
EXOG1 = np.linspace(0, 3, 120)[:, None] ** 2 + RNG.standard_normal((120, 1))

STATE_CASES = [
    ("airline", AIR, (0, 1, 1), (0, 1, 1, 12), [-0.4, -0.6, 0.0014], {}),
    ("airline concentrated", AIR, (0, 1, 1), (0, 1, 1, 12), [-0.4, -0.6],
     {"concentrate_scale": True}),
    ("airline simply differenced", AIR, (0, 1, 1), (0, 1, 1, 12), [-0.4, -0.6, 0.0014],
     {"simple_differencing": True}),
    ("ARIMA(1,1,0) with constant", WALK, (1, 1, 0), (0, 0, 0, 0), [0.3, 0.5, 1.0],
     {"trend": "c"}),
    ("ARIMA(1,2,1)", WALK, (1, 2, 1), (0, 0, 0, 0), [0.3, -0.4, 1.0], {}),
    ("(1,1,0)(0,1,1,4) with ct", WALK, (1, 1, 0), (0, 1, 1, 4), [0.1, 0.01, 0.4, -0.5, 1.0],
     {"trend": "ct"}),
    ("(1,0,0)(1,1,0,12) with exog", WALK, (1, 0, 0), (1, 1, 0, 12), [0.8, 0.5, -0.3, 1.0],
     {"exog": EXOG1}),
    ("ARIMA(2,1,1) with exog, simply differenced", WALK, (2, 1, 1), (0, 0, 0, 0),
     [0.4, 0.3, -0.1, 0.2, 1.0], {"exog": EXOG1, "simple_differencing": True}),
    ("ARMA(1,1) diffuse start", WALK, (1, 0, 1), (0, 0, 0, 0), [0.9, 0.2, 1.0],
     {"enforce_stationarity": False}),
    # The covariance keeps moving at the seasonal lag long after P·Z has
    # stood still for a while: the steady state must not be declared early.
    ("(1,0,1)(1,1,1,52) weekly season", LONG_WALK, (1, 0, 1), (1, 1, 1, 52),
     [0.5, 0.2, 0.3, -0.4, 1.0], {}),
    ("airline diffuse start", AIR, (0, 1, 1), (0, 1, 1, 12), [-0.4, -0.6, 0.0014],
     {"enforce_stationarity": False}),
    ("ARIMA(1,1,1) with constant, diffuse, concentrated", WALK, (1, 1, 1), (0, 0, 0, 0),
     [0.2, 0.5, 0.1], {"trend": "c", "enforce_stationarity": False,
                       "concentrate_scale": True}),
]


@pytest.mark.parametrize("name,y,order,seasonal,params,kw", STATE_CASES,
                         ids=[c[0] for c in STATE_CASES])
def test_models_with_differencing_match_a_dense_filter(name, y, order, seasonal, params, kw):
    got = tembrel.sarimax_loglike(y, order, seasonal, np.array(params, dtype=float), **kw)
    want = reference_state_space(
        y, order, seasonal, params, kw.get("trend", "n"), kw.get("exog"),
        kw.get("concentrate_scale", False), kw.get("simple_differencing", False),
        kw.get("enforce_stationarity", True))
    assert got == pytest.approx(want, rel=1e-8)


def test_wholesale_price_index_arima_111_with_constant():
    # Published maximum-likelihood fit of ARIMA(1,1,1) with a constant to the
    # differenced WPI: AR 0.8742288, MA -0.4120458, mean 0.7498197 of the
    # differences, sigma 0.7250436, log-likelihood -135.35131 (values printed
    # to 7-8 digits, hence the tolerance).
    wpi = read_column(DATA / "wpi1.csv", "wpi")
    phi, theta, mean, sigma = 0.8742288, -0.4120458, 0.7498197, 0.7250436
    params = np.array([mean * (1 - phi), phi, theta, sigma ** 2])
    ll = tembrel.sarimax_loglike(wpi, (1, 1, 1), (0, 0, 0, 0), params, trend="c",
                                 simple_differencing=True)
    assert ll == pytest.approx(-135.35131, abs=2e-5)


def test_log_gdp_ar2_with_constant_and_slope():
    # statsmodels 0.15.0 SARIMAX(order=(2,0,0), trend='ct') maximum-likelihood
    # estimates on log real GDP (tests/data/make_gdp_reference.py). Its time
    # index starts at 1, ours at 0, so its constant becomes b0 + b1 here.
    gdp = np.log(read_column(DATA / "us_realgdp.csv", "realgdp"))
    b0, b1, phi1, phi2, s2 = (2.21218570e-01, 1.93027633e-04, 1.27256115e+00,
                              -2.99386764e-01, 6.70078194e-05)
    params = np.array([b0 + b1, b1, phi1, phi2, s2])
    ll = tembrel.sarimax_loglike(gdp, (2, 0, 0), (0, 0, 0, 0), params, trend="ct")
    assert ll == pytest.approx(650.798742943904, abs=1e-3)


def test_worked_ar1_example():
    ll = tembrel.sarimax_loglike(np.array([1.0, 0.5]), (1, 0, 0), (0, 0, 0, 0),
                                 np.array([0.5, 1.0]))
    assert ll == pytest.approx(-2.3567181026352357, abs=1e-15)
    ll = tembrel.sarimax_loglike(np.array([1.0, 0.5]), (1, 0, 0), (0, 0, 0, 0),
                                 np.array([0.5]), concentrate_scale=True)
    assert ll == pytest.approx(-2.0008888496235095, abs=1e-15)


def test_native_failures_surface_as_value_errors():
    with pytest.raises(ValueError) as info:
        tembrel.sarimax_loglike(np.ones(3), (0, 0, 2), (0, 0, 0, 0), np.array([0.1, 0.2, 1.0]),
                                enforce_stationarity=False)
    assert str(info.value) == "data error: Not enough observations: n=3 <= burn=3"

"""Time per log-likelihood evaluation: tembrel against statsmodels.

Run with `make bench`. For each case the same series and parameters go to
`tembrel.sarimax_loglike` and to statsmodels' `SARIMAX(...).loglike(params)`
(model built once, outside the timing). Both values are printed so that the
comparison is visibly like for like. A last case at the model-size limit
reports time and peak memory of one tembrel evaluation in a fresh process.
"""

import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import tembrel

ROOT = Path(__file__).resolve().parents[1]


def airline_log():
    lines = (ROOT / "examples" / "data" / "airline.csv").read_text().splitlines()
    return np.log([float(ln.split(",")[1]) for ln in lines if ln[:1].isdigit()])


def simulate(n, order, seasonal, params, seed):
    """A SARIMA path: ARMA noise from the model's polynomials, then integrated."""
    p, d, q = order
    P, D, Q, s = seasonal
    ar, ma = np.asarray(params[:p]), np.asarray(params[p:p + q])
    sar, sma = np.asarray(params[p + q:p + q + P]), np.asarray(params[p + q + P:p + q + P + Q])
    phi = np.convolve(np.r_[1, -ar], np.r_[1, np.zeros(max(s * P - 1, 0)), -sar] if P else [1])
    theta = np.convolve(np.r_[1, ma], np.r_[1, np.zeros(max(s * Q - 1, 0)), sma] if Q else [1])
    rng = np.random.default_rng(seed)
    burn = 200
    e = rng.standard_normal(n + burn)
    w = np.zeros(n + burn)
    for t in range(n + burn):
        acc = sum(theta[j] * e[t - j] for j in range(len(theta)) if t - j >= 0)
        acc -= sum(phi[i] * w[t - i] for i in range(1, len(phi)) if t - i >= 0)
        w[t] = acc
    x = w[burn:]
    for _ in range(D):
        x = x.copy()
        for t in range(s, len(x)):
            x[t] += x[t - s]
    for _ in range(d):
        x = np.cumsum(x)
    # Integrated series get a level, as real ones have; stationary ones keep
    # the zero mean of the model without trend.
    return x + 10.0 if d or D else x


def per_call(fn, budget=0.6, min_reps=3):
    fn()  # warm-up
    reps, start = 0, time.perf_counter()
    best = float("inf")
    while reps < min_reps or time.perf_counter() - start < budget:
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
        reps += 1
    return best


def cases():
    yield ("AR(1) n=1000", simulate(1000, (1, 0, 0), (0, 0, 0, 0), [0.5], 1),
           (1, 0, 0), (0, 0, 0, 0), [0.5, 1.0])
    yield ("airline (0,1,1)(0,1,1,12) n=144", airline_log(),
           (0, 1, 1), (0, 1, 1, 12), [-0.4, -0.6, 0.0014])
    pars = [0.5, -0.2, 0.3, 0.1, 0.3, -0.5]
    yield ("(2,1,2)(1,1,1,12) n=600", simulate(600, (2, 1, 2), (1, 1, 1, 12), pars, 2),
           (2, 1, 2), (1, 1, 1, 12), pars + [1.0])
    pars = [0.5, 0.2, 0.3, -0.4]
    yield ("(1,0,1)(1,1,1,52) n=520", simulate(520, (1, 0, 1), (1, 1, 1, 52), pars, 3),
           (1, 0, 1), (1, 1, 1, 52), pars + [1.0])


SIZE_LIMIT_CASES = [
    ((1, 1, 1), (1, 1, 1, 365), [0.5, 0.2, 0.3, -0.4, 1.0]),
    ((1, 1, 0), (2, 1, 0, 330), [0.5, 0.3, 0.2, 1.0]),
]


def size_limit_case(order, seasonal, params):
    """One evaluation of a model near the size limit on 3000 observations, in a
    fresh process so that its peak resident memory is its own."""
    # The peak is read from VmHWM after resetting it (writing 5 to
    # /proc/self/clear_refs), so it is the call's own high-water mark.
    code = f"""
import time, numpy as np, tembrel
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) / 1024
rng = np.random.default_rng(5)
y = np.cumsum(rng.standard_normal(3000)) + 50
params = np.array({params!r})
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS:")
t0 = time.perf_counter()
ll = tembrel.sarimax_loglike(y, {order!r}, {seasonal!r}, params)
dt = time.perf_counter() - t0
peak = status("VmHWM:")
print(f"{{dt:.3f}} {{base:.1f}} {{peak:.1f}} {{ll!r}}")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    dt, base, peak, ll = out.stdout.split()
    return float(dt), float(base), float(peak), ll


def main():
    try:
        from statsmodels.tsa.statespace.sarimax import SARIMAX
    except ImportError:
        SARIMAX = None
        print("statsmodels is not installed: timing tembrel only")
    warnings.simplefilter("ignore")

    print(f"{'case':36s} {'tembrel':>12s} {'statsmodels':>12s} {'speed-up':>9s}   loglike (tembrel / statsmodels)")
    for name, y, order, seasonal, params in cases():
        params = np.asarray(params, dtype=float)
        ll = tembrel.sarimax_loglike(y, order, seasonal, params)
        t_ours = per_call(lambda: tembrel.sarimax_loglike(y, order, seasonal, params))
        if SARIMAX is not None:
            model = SARIMAX(y, order=order, seasonal_order=seasonal)
            ll_sm = model.loglike(params)
            t_sm = per_call(lambda: model.loglike(params))
            print(f"{name:36s} {t_ours * 1e3:10.3f}ms {t_sm * 1e3:10.3f}ms {t_sm / t_ours:8.1f}x"
                  f"   {ll:.6f} / {ll_sm:.6f}")
        else:
            print(f"{name:36s} {t_ours * 1e3:10.3f}ms {'-':>12s} {'-':>9s}   {ll:.6f}")

    print()
    for order, seasonal, params in SIZE_LIMIT_CASES:
        p, d, q = order
        P, D, Q, s = seasonal
        k = d + s * D + max(p + s * P, q + s * Q + 1)
        dt, base, peak, ll = size_limit_case(order, seasonal, params)
        print(f"size limit {order}{seasonal}, k_states={k}, n=3000: {dt:.2f} s, "
              f"peak RSS {peak:.0f} MB, {peak - base:.0f} MB above the {base:.0f} MB before "
              f"the call, loglike {ll}")


if __name__ == "__main__":
    main()

"""The airline model on the classic airline passenger series.

Box and Jenkins' model (0,1,1)(0,1,1,12) for the logarithm of the monthly
international airline passenger totals, 1949-1960, evaluated at their
published maximum-likelihood estimates.
"""

from pathlib import Path

import numpy as np

import tembrel

HERE = Path(__file__).resolve().parent


def load_airline():
    rows = [ln.split(",") for ln in (HERE / "data" / "airline.csv").read_text().splitlines()
            if ln[:1].isdigit()]
    return [r[0] for r in rows], np.array([float(r[1]) for r in rows])


def main():
    months, passengers = load_airline()
    y = np.log(passengers)
    order, seasonal = (0, 1, 1), (0, 1, 1, 12)
    # theta_1, Theta_1, sigma^2 as published for the differenced series.
    params = np.array([-0.4018, -0.5569, 0.03672 ** 2])

    print(f"tembrel {tembrel.version()}")
    print(f"airline passengers, {months[0]} to {months[-1]}: {len(y)} monthly values (log)")
    print(f"model: SARIMA{order}x{seasonal}, params theta={params[0]}, Theta={params[1]}, "
          f"sigma2={params[2]:.6g}")
    ll_diff = tembrel.sarimax_loglike(y, order, seasonal, params, simple_differencing=True)
    ll_states = tembrel.sarimax_loglike(y, order, seasonal, params)
    print(f"log-likelihood, series differenced first (131 terms):    {ll_diff:.4f}")
    print(f"log-likelihood, differencing states burnt in (131 terms): {ll_states:.4f}")


if __name__ == "__main__":
    main()

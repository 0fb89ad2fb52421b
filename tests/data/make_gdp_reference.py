"""Regenerates the log-GDP reference used by tests/python/test_loglike.py.

Needs statsmodels (a benchmark extra, not a dependency). Recorded 2026-12-11
with statsmodels 0.15.0, numpy 2.4:

    params = [2.21218570e-01, 1.93027633e-04, 1.27256115e+00, -2.99386764e-01,
              6.70078194e-05]          # const, slope (time from 1), ar.L1, ar.L2, sigma2
    llf    = 650.798742943904          # compared to 1e-3 (printed parameters are rounded)
"""

from pathlib import Path

import numpy as np
import statsmodels.api as sm

here = Path(__file__).resolve().parent
rows = [ln for ln in (here / "us_realgdp.csv").read_text().splitlines()
        if ln and not ln.startswith("#")][1:]
y = np.log([float(r.split(",")[2]) for r in rows])
res = sm.tsa.SARIMAX(y, order=(2, 0, 0), trend="ct").fit(disp=0)
print("statsmodels", sm.__version__)
print("params", repr(res.params))
print("llf", repr(res.llf))

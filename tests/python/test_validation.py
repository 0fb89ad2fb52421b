"""Validation of single-series requests: the checks, their messages and their order."""

import math
import re

import numpy as np
import pytest

import tembrel

N = 100
Y = np.random.default_rng(11).standard_normal(N)


def with_value(array, index, value):
    array = array.copy()
    array[index] = value
    return array


def call(y=Y, order=(0, 0, 0), seasonal=(0, 0, 0, 0), params=None, **kwargs):
    """sarimax_loglike with a parameter vector of the right length unless one is given."""
    if params is None:
        trend = {"c": 1, "t": 1, "ct": 2, "tc": 2}.get(kwargs.get("trend"), 0)
        exog = kwargs.get("exog")
        n_exog = 0 if exog is None else exog.shape[1]
        n_arma = order[0] + order[2] + seasonal[0] + seasonal[2]
        params = np.r_[np.zeros(trend + n_exog + n_arma), 1.0]
    return tembrel.sarimax_loglike(y, order, seasonal, params, **kwargs)


GOOD_EXOG = np.random.default_rng(12).standard_normal((N, 3))
BAD_EXOG = with_value(with_value(GOOD_EXOG, (7, 2), np.inf), (9, 0), np.nan)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(y=with_value(Y, 0, np.nan)), "input time series contains NaN or Inf values"),
        (dict(y=with_value(Y, N - 1, -np.inf)), "input time series contains NaN or Inf values"),
        (dict(y=with_value(Y, 42, np.nan), exog=BAD_EXOG, order=(21, 0, 0)),
         "input time series contains NaN or Inf values"),
        (dict(exog=BAD_EXOG), "exog contains NaN or Inf at column 0, row 9"),
        (dict(exog=BAD_EXOG[:99]), "exog contains NaN or Inf at column 0, row 9"),
        (dict(exog=GOOD_EXOG[:99]),
         "exog has 99 rows but endog has 100 observations; they must match"),
        (dict(exog=GOOD_EXOG[:99], order=(21, 0, 0)),
         "exog has 99 rows but endog has 100 observations; they must match"),
        (dict(order=(21, 0, 0)), "AR order p=21 exceeds maximum 20"),
        (dict(order=(21, 4, 21)), "AR order p=21 exceeds maximum 20"),
        (dict(order=(0, 0, 21)), "MA order q=21 exceeds maximum 20"),
        (dict(order=(0, 4, 21)), "MA order q=21 exceeds maximum 20"),
        (dict(order=(0, 4, 0)), "differencing order d=4 exceeds maximum 3"),
        (dict(seasonal=(5, 3, 5, 400)), "seasonal AR order P=5 exceeds maximum 4"),
        (dict(seasonal=(0, 3, 5, 400)), "seasonal MA order Q=5 exceeds maximum 4"),
        (dict(seasonal=(0, 3, 0, 400)), "seasonal differencing D=3 exceeds maximum 2"),
        (dict(seasonal=(0, 0, 0, 366)), "seasonal period s=366 exceeds maximum 365"),
        (dict(exog=np.zeros((N, 101)), seasonal=(1, 0, 0, 1)),
         "n_exog=101 exceeds maximum 100"),
        (dict(seasonal=(1, 0, 0, 1)), "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
        (dict(seasonal=(0, 1, 0, 0)), "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
        (dict(seasonal=(0, 0, 1, 1), trend="C"),
         "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
        (dict(order=(20, 3, 20), seasonal=(4, 2, 4, 365)),
         "model too large: k_states=2214 exceeds limit 1024"),
        (dict(trend="C"), "unknown trend 'C', expected one of: 'n', 'c', 't', 'ct'"),
        (dict(trend=""), "unknown trend '', expected one of: 'n', 'c', 't', 'ct'"),
        (dict(trend="c t"), "unknown trend 'c t', expected one of: 'n', 'c', 't', 'ct'"),
        (dict(trend="C", params=np.ones(7)),
         "unknown trend 'C', expected one of: 'n', 'c', 't', 'ct'"),
        (dict(order=(2, 0, 2), params=np.ones(4)), "parameter length mismatch: expected 5, got 4"),
        (dict(order=(1, 0, 0), trend="ct", concentrate_scale=True, params=np.ones(4)),
         "parameter length mismatch: expected 3, got 4"),
        (dict(seasonal=(0, 2, 0, 12)),
         "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
    ],
    ids=[
        "y-nan-first", "y-inf-last", "y-nan-before-bad-exog-and-order", "exog-columns-first",
        "exog-finite-before-rows", "exog-rows", "exog-rows-before-order", "p", "p-first", "q",
        "q-before-d", "d", "P-first", "Q-before-D", "D", "s", "n-exog-before-period",
        "period-for-seasonal-ar", "period-for-seasonal-diff", "period-before-trend", "k-states",
        "trend-uppercase", "trend-empty", "trend-spaced", "trend-before-params",
        "params-length", "params-length-concentrated", "seasonal-diff-2-in-state-space",
    ],
)
def test_refused_requests(kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)) as raised:
        call(**kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(seasonal=(0, 0, 0, 1)),
        dict(seasonal=(0, 0, 0, 365)),
        dict(order=(20, 3, 20)),
        dict(seasonal=(4, 1, 4, 12)),
        dict(exog=np.random.default_rng(13).standard_normal((N, 100))),
        dict(exog=np.empty((N, 0))),
    ],
    ids=["no-seasonal-terms-period-1", "period-at-limit", "orders-at-limit",
         "seasonal-orders-at-limit", "n-exog-at-limit", "exog-without-columns"],
)
def test_requests_at_the_limits_are_accepted(kwargs):
    assert math.isfinite(call(**kwargs))


def test_exog_without_columns_is_the_model_without_exog():
    assert call(exog=np.empty((N, 0))) == call()


def test_trend_tc_is_constant_plus_slope():
    params = np.array([0.3, 0.01, 0.5, 1.2])
    both = call(order=(1, 0, 0), trend="ct", params=params)
    assert call(order=(1, 0, 0), trend="tc", params=params) == both
    assert call(order=(1, 0, 0), trend="c", params=params[[0, 2, 3]]) != both

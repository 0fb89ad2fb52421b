"""The module frame: registration, signatures, docstrings, argument binding."""

import inspect
import sys
import threading
import time
import types

import numpy as np
import pytest

import tembrel

# Registration order, with each function's signature and documentation text.
FUNCTIONS = {
    "version": (
        "()",
        "Smoke-test function: returns the version string.",
    ),
    "sarimax_loglike": (
        "(y, order, seasonal, params, exog=None, concentrate_scale=False, "
        "enforce_stationarity=True, enforce_invertibility=True, trend=None, "
        "simple_differencing=False)",
        "Compute the SARIMAX concentrated (or full) log-likelihood.",
    ),
    "sarimax_fit": (
        "(y, order, seasonal, start_params=None, exog=None, concentrate_scale=False, "
        "enforce_stationarity=True, enforce_invertibility=True, method=None, maxiter=None, "
        "trend=None, simple_differencing=False)",
        "Fit a SARIMAX model via MLE (L-BFGS-B default, with Nelder-Mead fallback).\n\n"
        "Returns a dict with: params, loglike, scale, aic, bic, n_obs, n_iter, converged, method.",
    ),
    "sarimax_forecast": (
        "(y, order, seasonal, params, steps=10, alpha=0.05, exog=None, future_exog=None, "
        "concentrate_scale=False, trend=None, simple_differencing=False, "
        "enforce_stationarity=True, enforce_invertibility=True)",
        "Compute h-step ahead forecast for a SARIMAX model.\n\n"
        "Returns a dict with: mean, variance, ci_lower, ci_upper.",
    ),
    "sarimax_rolling_forecast": (
        "(y, order, seasonal, params, start, step=1, horizon=1, alpha=0.05, exog=None, "
        "concentrate_scale=False, trend=None, simple_differencing=False, "
        "enforce_stationarity=True, enforce_invertibility=True)",
        "Single-pass rolling-origin h-step forecasts with fixed parameters.\n\n"
        "One Kalman filter pass over the full series; forecasts are propagated\n"
        "from the predicted-state snapshot at each origin `start, start+step, ...`.\n"
        "O(T + N*horizon) total. Returns a dict with: origins, mean, variance,\n"
        "ci_lower, ci_upper (row-per-origin nested lists).",
    ),
    "sarimax_residuals": (
        "(y, order, seasonal, params, exog=None, concentrate_scale=False, trend=None, "
        "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)",
        "Compute residuals and standardized residuals for a SARIMAX model.\n\n"
        "Returns a dict with: residuals, standardized_residuals, prediction_variances.",
    ),
    "sarimax_batch_loglike": (
        "(series_list, order, seasonal, params, exog_list=None, concentrate_scale=False, "
        "enforce_stationarity=False, enforce_invertibility=False, trend=None, "
        "simple_differencing=False)",
        "Compute log-likelihood for multiple time series in parallel (oneTBB).\n\n"
        "All series share the same model config and parameters.\n"
        'Returns a list of dicts, each with "loglike" key or "error" key.',
    ),
    "sarimax_batch_fit": (
        "(series_list, order, seasonal, enforce_stationarity=True, enforce_invertibility=True, "
        "concentrate_scale=False, method=None, maxiter=None, exog_list=None, trend=None, "
        "simple_differencing=False)",
        "Fit SARIMAX models to multiple time series in parallel (oneTBB).\n\n"
        "Returns a list of dicts (one per series), each with the same keys as sarimax_fit.\n"
        'Failed series return a dict with "error" key instead.',
    ),
    "sarimax_grid_search": (
        "(y, order_list, seasonal_list, enforce_stationarity=True, enforce_invertibility=True, "
        "concentrate_scale=False, method=None, maxiter=None, exog=None, trend=None, "
        "simple_differencing=False)",
        "Fit a single time series with multiple (order, seasonal_order) combinations\n"
        "in parallel using oneTBB.\n\n"
        "Returns a list of dicts (one per combination), same structure as sarimax_fit.\n"
        'Failed combinations have an "error" key instead of fit results.',
    ),
    "sarimax_batch_forecast": (
        "(series_list, order, seasonal, params_list, steps=10, alpha=0.05, "
        "concentrate_scale=False, exog_list=None, exog_forecast_list=None, trend=None, "
        "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)",
        "Forecast multiple time series in parallel (oneTBB).\n\n"
        "Each series uses its own parameter vector from params_list.\n"
        "Returns a list of dicts (one per series).",
    ),
    "sarimax_inference": (
        "(y, order, seasonal, params, method='hessian', alpha=0.05, exog=None, "
        "concentrate_scale=False, enforce_stationarity=True, enforce_invertibility=True, "
        "trend=None, simple_differencing=False)",
        "Compute inference statistics (standard errors, z, p-values, CI) for fitted parameters."
        "\n\nReturns a dict with: method, std_err, z_stat, p_value, ci_lower, ci_upper,\n"
        "cov_params, n_params, status, message.",
    ),
    "sarimax_diagnostics": (
        "(y, order, seasonal, params, exog=None, concentrate_scale=False, trend=None, "
        "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)",
        "Compute residual diagnostic tests (Ljung-Box, Jarque-Bera, heteroskedasticity).\n\n"
        "Returns a dict with: ljung_box_stat, ljung_box_pvalue, ljung_box_df,\n"
        "jarque_bera_stat, jarque_bera_pvalue, het_stat, het_pvalue.",
    ),
}

REGISTERED = [name for name in FUNCTIONS if hasattr(tembrel, name)]


def test_version():
    assert tembrel.version() == "0.3.0"
    with pytest.raises(TypeError):
        tembrel.version(None)


def test_namespace_holds_the_functions_in_registration_order_and_nothing_else():
    public = [name for name in vars(tembrel) if not name.startswith("__")]
    assert public == list(FUNCTIONS)[: len(public)]
    assert public[:2] == ["version", "sarimax_loglike"]
    assert all(isinstance(getattr(tembrel, name), types.BuiltinFunctionType) for name in public)
    assert tembrel.__doc__ == "Python module definition."


@pytest.mark.parametrize("name", REGISTERED)
def test_signature_and_docstring(name):
    signature, doc = FUNCTIONS[name]
    function = getattr(tembrel, name)
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc
    assert function.__module__ == "tembrel"
    assert function.__name__ == name


Y = np.random.default_rng(7).standard_normal(60).cumsum()
X = np.random.default_rng(8).standard_normal((60, 1))
# Every optional argument differs from its default, so a keyword bound to the
# wrong parameter changes the result or fails.
POSITIONAL = (Y, (1, 1, 1), (0, 0, 0, 0), np.array([0.3, 0.5, 0.4, -0.2]), X, True, False,
              False, "t", True)
NAMES = list(inspect.signature(tembrel.sarimax_loglike).parameters)


@pytest.mark.parametrize(
    "n_positional, keyword_order",
    [(0, slice(None)), (0, slice(None, None, -1)), (4, slice(None, None, -1)), (9, slice(None))],
    ids=["all-keyword", "all-keyword-reversed", "required-positional", "last-keyword"],
)
def test_keywords_in_any_order_bind_like_positions(n_positional, keyword_order):
    expected = tembrel.sarimax_loglike(*POSITIONAL)
    keywords = list(zip(NAMES, POSITIONAL))[n_positional:][keyword_order]
    got = tembrel.sarimax_loglike(*POSITIONAL[:n_positional], **dict(keywords))
    assert got == expected


def test_omitted_arguments_take_the_signature_defaults():
    required = POSITIONAL[:3] + (np.array([0.3, 0.5, 1.2]),)
    defaults = {
        name: parameter.default
        for name, parameter in inspect.signature(tembrel.sarimax_loglike).parameters.items()
        if parameter.default is not inspect.Parameter.empty
    }
    assert tembrel.sarimax_loglike(*required) == tembrel.sarimax_loglike(*required, **defaults)


def test_ar1_loglike():
    got = tembrel.sarimax_loglike(np.array([1.0, 0.5]), (1, 0, 0), (0, 0, 0, 0),
                                  np.array([0.5, 1.0]))
    assert type(got) is float
    assert got == pytest.approx(-2.3567181026352357, rel=1e-14)


def test_other_threads_run_while_the_likelihood_is_computed():
    # Seasonal period 365 makes the state vector a few hundred entries long,
    # so one call is long enough for the other thread to be scheduled.
    y = np.random.default_rng(1).standard_normal(1500)
    params = np.array([0.2, 0.1, 0.3, 0.1, 1.0])
    count = [0]
    started = threading.Event()
    stop = threading.Event()

    def counter():
        started.set()
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)  # hands the lock back, so the caller never waits on this thread

    # With a switch interval this long the interpreter never takes the lock
    # from the calling thread, so the counter moves during the call only if
    # the call itself releases the lock.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    worker = threading.Thread(target=counter)
    try:
        worker.start()
        started.wait()
        before = count[0]
        tembrel.sarimax_loglike(y, (1, 0, 1), (1, 0, 1, 365), params)
        during = count[0] - before
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(interval)
    assert during > 0

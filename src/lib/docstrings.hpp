#pragma once
// The documentation strings of the module's functions. Each starts with the
// function's signature, a line "--" and an empty line: CPython takes that
// first part as `__text_signature__`, which is what `inspect.signature`
// reports, and shows the rest as `__doc__`.

namespace tembrel::py {

inline constexpr const char VERSION_DOC[] =
    "version()\n--\n\n"
    "Smoke-test function: returns the version string.";

inline constexpr const char SARIMAX_LOGLIKE_DOC[] =
    "sarimax_loglike(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "enforce_stationarity=True, enforce_invertibility=True, trend=None, "
    "simple_differencing=False)\n--\n\n"
    "Compute the SARIMAX concentrated (or full) log-likelihood.";

inline constexpr const char SARIMAX_FIT_DOC[] =
    "sarimax_fit(y, order, seasonal, start_params=None, exog=None, concentrate_scale=False, "
    "enforce_stationarity=True, enforce_invertibility=True, method=None, maxiter=None, "
    "trend=None, simple_differencing=False)\n--\n\n"
    "Fit a SARIMAX model via MLE (L-BFGS-B default, with Nelder-Mead fallback).\n"
    "\n"
    "Returns a dict with: params, loglike, scale, aic, bic, n_obs, n_iter, converged, method.";

inline constexpr const char SARIMAX_FORECAST_DOC[] =
    "sarimax_forecast(y, order, seasonal, params, steps=10, alpha=0.05, exog=None, "
    "future_exog=None, concentrate_scale=False, trend=None, simple_differencing=False, "
    "enforce_stationarity=True, enforce_invertibility=True)\n--\n\n"
    "Compute h-step ahead forecast for a SARIMAX model.\n"
    "\n"
    "Returns a dict with: mean, variance, ci_lower, ci_upper.";

inline constexpr const char SARIMAX_ROLLING_FORECAST_DOC[] =
    "sarimax_rolling_forecast(y, order, seasonal, params, start, step=1, horizon=1, "
    "alpha=0.05, exog=None, concentrate_scale=False, trend=None, simple_differencing=False, "
    "enforce_stationarity=True, enforce_invertibility=True)\n--\n\n"
    "Single-pass rolling-origin h-step forecasts with fixed parameters.\n"
    "\n"
    "One Kalman filter pass over the full series; forecasts are propagated\n"
    "from the predicted-state snapshot at each origin `start, start+step, ...`.\n"
    "O(T + N*horizon) total. Returns a dict with: origins, mean, variance,\n"
    "ci_lower, ci_upper (row-per-origin nested lists).";

inline constexpr const char SARIMAX_RESIDUALS_DOC[] =
    "sarimax_residuals(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "trend=None, simple_differencing=False, enforce_stationarity=True, "
    "enforce_invertibility=True)\n--\n\n"
    "Compute residuals and standardized residuals for a SARIMAX model.\n"
    "\n"
    "Returns a dict with: residuals, standardized_residuals, prediction_variances.";

inline constexpr const char SARIMAX_BATCH_LOGLIKE_DOC[] =
    "sarimax_batch_loglike(series_list, order, seasonal, params, exog_list=None, "
    "concentrate_scale=False, enforce_stationarity=False, enforce_invertibility=False, "
    "trend=None, simple_differencing=False)\n--\n\n"
    "Compute log-likelihood for multiple time series in parallel (oneTBB).\n"
    "\n"
    "All series share the same model config and parameters.\n"
    "Returns a list of dicts, each with \"loglike\" key or \"error\" key.";

inline constexpr const char SARIMAX_BATCH_FIT_DOC[] =
    "sarimax_batch_fit(series_list, order, seasonal, enforce_stationarity=True, "
    "enforce_invertibility=True, concentrate_scale=False, method=None, maxiter=None, "
    "exog_list=None, trend=None, simple_differencing=False)\n--\n\n"
    "Fit SARIMAX models to multiple time series in parallel (oneTBB).\n"
    "\n"
    "Returns a list of dicts (one per series), each with the same keys as sarimax_fit.\n"
    "Failed series return a dict with \"error\" key instead.";

inline constexpr const char SARIMAX_GRID_SEARCH_DOC[] =
    "sarimax_grid_search(y, order_list, seasonal_list, enforce_stationarity=True, "
    "enforce_invertibility=True, concentrate_scale=False, method=None, maxiter=None, "
    "exog=None, trend=None, simple_differencing=False)\n--\n\n"
    "Fit a single time series with multiple (order, seasonal_order) combinations\n"
    "in parallel using oneTBB.\n"
    "\n"
    "Returns a list of dicts (one per combination), same structure as sarimax_fit.\n"
    "Failed combinations have an \"error\" key instead of fit results.";

inline constexpr const char SARIMAX_BATCH_FORECAST_DOC[] =
    "sarimax_batch_forecast(series_list, order, seasonal, params_list, steps=10, alpha=0.05, "
    "concentrate_scale=False, exog_list=None, exog_forecast_list=None, trend=None, "
    "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)\n--\n\n"
    "Forecast multiple time series in parallel (oneTBB).\n"
    "\n"
    "Each series uses its own parameter vector from params_list.\n"
    "Returns a list of dicts (one per series).";

inline constexpr const char SARIMAX_INFERENCE_DOC[] =
    "sarimax_inference(y, order, seasonal, params, method=\"hessian\", alpha=0.05, exog=None, "
    "concentrate_scale=False, enforce_stationarity=True, enforce_invertibility=True, "
    "trend=None, simple_differencing=False)\n--\n\n"
    "Compute inference statistics (standard errors, z, p-values, CI) for fitted parameters.\n"
    "\n"
    "Returns a dict with: method, std_err, z_stat, p_value, ci_lower, ci_upper,\n"
    "cov_params, n_params, status, message.";

inline constexpr const char SARIMAX_DIAGNOSTICS_DOC[] =
    "sarimax_diagnostics(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "trend=None, simple_differencing=False, enforce_stationarity=True, "
    "enforce_invertibility=True)\n--\n\n"
    "Compute residual diagnostic tests (Ljung-Box, Jarque-Bera, heteroskedasticity).\n"
    "\n"
    "Returns a dict with: ljung_box_stat, ljung_box_pvalue, ljung_box_df,\n"
    "jarque_bera_stat, jarque_bera_pvalue, het_stat, het_pvalue.";

}  // namespace tembrel::py

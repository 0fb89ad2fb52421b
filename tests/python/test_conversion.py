"""Argument binding and conversion of Python values into native ones."""

import collections
import re

import numpy as np
import pytest

import tembrel

RNG = np.random.default_rng(3)
Y = RNG.standard_normal(50)
EXOG = RNG.standard_normal((50, 2))
ORDER = (1, 0, 1)
SEASONAL = (0, 0, 0, 0)
PARAMS = np.array([0.2, 0.5, -0.3, 0.4, 1.5])  # two betas, AR, MA, sigma2
BASE = dict(y=Y, order=ORDER, seasonal=SEASONAL, params=PARAMS, exog=EXOG)
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def loglike(**changes):
    return tembrel.sarimax_loglike(**{**BASE, **changes})


def misaligned(values):
    """A copy of `values` whose data starts one byte past an aligned address."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    buffer = np.empty(values.nbytes + 1, dtype=np.uint8)
    array = np.frombuffer(buffer.data, dtype=np.float64, count=values.size, offset=1)
    array = array.reshape(values.shape)
    array[...] = values
    return array


def test_unconvertible_y_names_the_argument():
    with pytest.raises(TypeError, match=re.escape(
            "argument 'y': expected a 1-dimensional numpy.ndarray of dtype float64, got list")):
        loglike(y=list(Y))


@pytest.mark.parametrize(
    "changes, error, argument",
    [
        (dict(y=Y.astype(np.float32)), TypeError, "y"),
        (dict(y=Y.reshape(-1, 1)), TypeError, "y"),
        (dict(y=Y.astype(">f8")), TypeError, "y"),
        (dict(y=Y.astype(np.int64)), TypeError, "y"),
        (dict(order=list(ORDER)), TypeError, "order"),
        (dict(order=(1, 0)), TypeError, "order"),
        (dict(order=(1, 0, 1, 0)), TypeError, "order"),
        (dict(order=(1, 0, 1.0)), TypeError, "order"),
        (dict(order=(True, 0, 1)), TypeError, "order"),
        (dict(order=(1, 0, -1)), OverflowError, None),
        (dict(order=(1, 0, 2**64)), OverflowError, None),
        (dict(seasonal=(0, 0, 0)), TypeError, "seasonal"),
        (dict(seasonal=None), TypeError, "seasonal"),
        (dict(params=list(PARAMS)), TypeError, "params"),
        (dict(params=PARAMS.reshape(1, -1)), TypeError, "params"),
        (dict(exog=EXOG[:, 0]), TypeError, "exog"),
        (dict(exog=EXOG.tolist()), TypeError, "exog"),
        (dict(exog=EXOG.astype(np.float32)), TypeError, "exog"),
        (dict(concentrate_scale="yes"), TypeError, "concentrate_scale"),
        (dict(enforce_stationarity=1), TypeError, "enforce_stationarity"),
        (dict(enforce_invertibility=None), TypeError, "enforce_invertibility"),
        (dict(simple_differencing=np.bool_(True)), TypeError, "simple_differencing"),
        (dict(trend=1), TypeError, "trend"),
        (dict(trend=b"c"), TypeError, "trend"),
    ],
    ids=[
        "y-float32", "y-2d", "y-big-endian", "y-int64", "order-list", "order-short",
        "order-long", "order-float-item", "order-bool-item", "order-negative", "order-oversized",
        "seasonal-short", "seasonal-none", "params-list", "params-2d", "exog-1d", "exog-list",
        "exog-float32", "flag-str", "flag-int", "flag-none", "flag-numpy-bool", "trend-int",
        "trend-bytes",
    ],
)
def test_unconvertible_arguments_are_refused(changes, error, argument):
    match = re.escape(f"argument '{argument}': expected ") if argument else None
    with pytest.raises(error, match=match):
        loglike(**changes)


@pytest.mark.parametrize(
    "changes",
    [
        dict(order=tuple(np.int64(v) for v in ORDER)),
        dict(order=collections.namedtuple("Order", "p d q")(*ORDER)),
        dict(params=np.frombuffer(PARAMS.tobytes())),  # read-only
        dict(y=Y.view(type("Series", (np.ndarray,), {}))),
    ],
    ids=["numpy-int-orders", "tuple-subclass", "read-only-params", "ndarray-subclass"],
)
def test_equivalent_values_convert_alike(changes):
    assert loglike(**changes) == loglike()


@pytest.mark.parametrize(
    "changes",
    [
        dict(y=np.repeat(Y, 2)[::2]),
        dict(y=misaligned(Y)),
        dict(params=np.repeat(PARAMS, 2)[::2]),
        dict(params=misaligned(PARAMS)),
        # Contiguity is checked before the contents are validated.
        dict(y=np.repeat(np.full(50, np.nan), 2)[::2]),
    ],
    ids=["y-strided", "y-misaligned", "params-strided", "params-misaligned", "y-strided-nan"],
)
def test_series_read_as_a_block_must_be_contiguous_and_aligned(changes):
    with pytest.raises(TypeError, match=re.escape(NOT_CONTIGUOUS)):
        loglike(**changes)


def test_every_argument_is_converted_before_any_array_is_read():
    with pytest.raises(TypeError, match=re.escape("argument 'trend': ")):
        loglike(y=Y[::2], trend=0)


@pytest.mark.parametrize(
    "exog",
    [
        np.hstack([np.zeros((50, 1)), EXOG, np.zeros((50, 1))])[:, 1:3],
        np.hstack([EXOG[:, :1], np.zeros((50, 1)), EXOG[:, 1:]])[:, ::2],
        np.ascontiguousarray(EXOG.T).T,
        np.ascontiguousarray(EXOG[::-1])[::-1],
        np.repeat(EXOG, 3, axis=0)[::3],
        misaligned(EXOG),
    ],
    ids=["column-slice", "column-step", "transposed", "negative-row-stride", "row-step",
         "misaligned"],
)
def test_exog_is_read_with_any_strides(exog):
    assert np.array_equal(exog, EXOG)
    assert loglike(exog=exog) == loglike(exog=np.ascontiguousarray(EXOG))


def test_omitted_and_none_exog_and_trend_are_absent():
    no_exog = dict(exog=None, params=PARAMS[2:])
    assert loglike(**no_exog) == tembrel.sarimax_loglike(Y, ORDER, SEASONAL, PARAMS[2:])
    assert loglike(trend=None) == loglike(trend="n")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((Y, ORDER, SEASONAL), {}, "sarimax_loglike() missing required argument 'params' (pos 4)"),
        ((Y,), dict(seasonal=SEASONAL, params=PARAMS),
         "sarimax_loglike() missing required argument 'order' (pos 2)"),
        ((Y, ORDER, SEASONAL, PARAMS), dict(exogenous=EXOG),
         "sarimax_loglike() got an unexpected keyword argument 'exogenous'"),
        ((Y, ORDER, SEASONAL, PARAMS), dict(order=ORDER),
         "sarimax_loglike() got multiple values for argument 'order'"),
        ((Y, ORDER, SEASONAL, PARAMS, None, False, True, True, None, False, None), {},
         "sarimax_loglike() takes at most 10 arguments (11 given)"),
    ],
    ids=["missing-last-required", "missing-middle-required", "unknown-keyword", "duplicate",
         "too-many-positional"],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        tembrel.sarimax_loglike(*args, **kwargs)

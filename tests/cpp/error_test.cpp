#include "error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tembrel;

TEST(error_test, every_variant_has_its_display_text_and_python_kind) {
    struct Case {
        SarimaxError error;
        ErrorKind kind;
        const char* text;
        bool runtime;
    };
    const Case cases[] = {
        {SarimaxError::param_length(5, 4), ErrorKind::ParamLength,
         "parameter length mismatch: expected 5, got 4", false},
        {SarimaxError::state_space_construction("x"), ErrorKind::StateSpaceConstruction,
         "state space construction failed: x", false},
        {SarimaxError::cholesky(), ErrorKind::Cholesky,
         "Cholesky decomposition failed: covariance matrix is not positive-definite", true},
        {SarimaxError::optimization("y"), ErrorKind::Optimization, "optimization failed: y", true},
        {SarimaxError::non_stationary(), ErrorKind::NonStationary, "non-stationary AR polynomial",
         false},
        {SarimaxError::non_invertible(), ErrorKind::NonInvertible, "non-invertible MA polynomial",
         false},
        {SarimaxError::data("z"), ErrorKind::Data, "data error: z", false},
        {SarimaxError::invalid_input("w"), ErrorKind::InvalidInput, "invalid input: w", false},
        {SarimaxError::inference("v"), ErrorKind::Inference, "inference computation failed: v",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.display(), c.text);
        EXPECT_EQ(c.error.is_runtime_error(), c.runtime);
    }
}

TEST(error_test, doubles_are_written_shortest_without_exponent) {
    const std::pair<double, const char*> cases[] = {
        {1.0, "1"},       {0.5, "0.5"},         {0.999, "0.999"},       {-2.0, "-2"},
        {0.1, "0.1"},     {1e-7, "0.0000001"},  {1e21, "1000000000000000000000"},
        {0.0, "0"},       {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& [value, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(format_double(value), text);
    }
    // The largest double still fits.
    EXPECT_EQ(format_double(std::numeric_limits<double>::max()).size(), 309u);
}

TEST(error_test, internal_faults_name_the_condition) {
    try {
        TEMBREL_ENSURE(1 + 1 == 3);
        FAIL() << "no fault raised";
    } catch (const InternalFault& fault) {
        EXPECT_NE(std::string(fault.what()).find("1 + 1 == 3"), std::string::npos);
    }
}

#pragma once
// The one place that includes Eigen, so that every translation unit sees the
// same configuration.
//
// In checked builds (tests, sanitizers) Eigen's own assertions -- index and
// dimension checks -- throw the library's internal fault instead of aborting,
// so a broken invariant surfaces as the panic exception at the Python boundary.

#include "error.hpp"

#ifdef TEMBREL_CHECKED
#define eigen_assert(x) TEMBREL_ENSURE(x)
#endif

#include <Eigen/Dense>

namespace tembrel {
using Eigen::MatrixXd;
using Eigen::VectorXd;
}  // namespace tembrel

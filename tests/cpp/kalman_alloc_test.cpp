// The filter allocates once per pass, never per observation: the number of
// heap allocations of a pass must not depend on the length of the series.
//
// malloc is replaced for this binary only (forwarding to glibc's own entry
// points), so every allocation -- operator new and Eigen's aligned buffers
// alike -- is counted.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <random>

#include "kalman.hpp"
#include "pipeline.hpp"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<std::size_t> allocations{0};
}

extern "C" {
void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* ptr, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(ptr, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    *out = memalign(alignment, size);
    return *out == nullptr ? 12 : 0;
}
void free(void* ptr) { __libc_free(ptr); }
}

using namespace tembrel;

namespace {

struct Model {
    const char* name;
    SarimaxConfig config;
    std::vector<double> flat;
};

std::size_t count_pass(const Model& m, std::size_t n, bool full) {
    std::mt19937_64 rng(9);
    std::normal_distribution<double> normal;
    std::vector<double> y(n);
    double level = 0;
    for (auto& v : y) v = (level += normal(rng));
    auto params = SarimaxParams::from_flat(m.flat, m.config);
    auto system = StateSpace::new_(m.config, *params, n, nullptr);
    EXPECT_TRUE(system.has_value());
    const KalmanInit init = KalmanInit::from_config_default(*system, m.config);
    const std::size_t before = allocations.load();
    bool ok = false;
    if (full) {
        ok = kalman_core(y, *system, init, m.config.concentrate_scale, true).has_value();
    } else {
        ok = kalman_loglike(y, *system, init, m.config.concentrate_scale).has_value();
    }
    const std::size_t used = allocations.load() - before;
    EXPECT_TRUE(ok);
    return used;
}

}  // namespace

TEST(kalman_alloc_test, allocations_do_not_grow_with_the_series) {
    SarimaxConfig airline;
    airline.d = 1; airline.q = 1; airline.D = 1; airline.Q = 1; airline.s = 12;
    SarimaxConfig ar2;
    ar2.p = 2;
    ar2.trend_kind = Trend::c;
    SarimaxConfig arima;
    arima.p = 1; arima.d = 1; arima.q = 1;
    arima.trend_kind = Trend::ct;
    arima.concentrate_scale = true;
    const Model models[] = {
        {"airline (sparse)", airline, {-0.4, -0.6, 0.01}},
        {"AR(2) with constant (dense)", ar2, {0.1, 0.5, -0.2, 1.0}},
        {"ARIMA(1,1,1) with trend, concentrated", arima, {0.1, 0.01, 0.5, 0.3}},
    };
    for (const auto& m : models) {
        for (bool full : {false, true}) {
            SCOPED_TRACE(std::string(m.name) + (full ? " full" : " likelihood"));
            const std::size_t small = count_pass(m, 60, full);
            const std::size_t large = count_pass(m, 3000, full);
            EXPECT_EQ(small, large);
            EXPECT_GT(small, 0u);
        }
    }
}

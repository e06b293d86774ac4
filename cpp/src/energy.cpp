#include "orvane/energy.hpp"

#include <cmath>
#include <vector>

namespace orvane {

namespace {
template <class S, class T>
T energy_impl(const T* J, std::int64_t n, const S* s) {
    std::vector<T> v(static_cast<std::size_t>(n), T(0));
    for (std::int64_t i = 0; i < n; ++i) {
        const T* row = J + i * n;
        if (s[i] > 0) {
            for (std::int64_t j = 0; j < n; ++j) v[j] += row[j];
        } else {
            for (std::int64_t j = 0; j < n; ++j) v[j] -= row[j];
        }
    }
    T h = T(0);
    for (std::int64_t j = 0; j < n; ++j) h += s[j] > 0 ? v[j] : -v[j];
    return -h;
}
}  // namespace

double energy(const double* J, std::int64_t n, const std::int64_t* s) { return energy_impl(J, n, s); }
double energy(const double* J, std::int64_t n, const std::int8_t* s) { return energy_impl(J, n, s); }

std::int64_t energy_int(const std::int64_t* J, std::int64_t n, const std::int8_t* s) {
    // Unsigned arithmetic gives the two's-complement wrap without undefined behaviour.
    std::vector<std::uint64_t> v(static_cast<std::size_t>(n), 0);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t* row = J + i * n;
        for (std::int64_t j = 0; j < n; ++j) {
            std::uint64_t x = static_cast<std::uint64_t>(row[j]);
            v[j] = s[i] > 0 ? v[j] + x : v[j] - x;
        }
    }
    std::uint64_t h = 0;
    for (std::int64_t j = 0; j < n; ++j) h = s[j] > 0 ? h + v[j] : h - v[j];
    return static_cast<std::int64_t>(0 - h);
}

bool all_finite(const double* a, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(a[i])) return false;
    return true;
}

bool all_integral(const double* a, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        // Doubles of magnitude >= 2^52 are whole numbers; below, a truncating
        // conversion round-trips exactly the whole ones.
        if (std::fabs(a[i]) < 0x1p52 && static_cast<double>(static_cast<std::int64_t>(a[i])) != a[i]) return false;
    }
    return true;
}

}  // namespace orvane

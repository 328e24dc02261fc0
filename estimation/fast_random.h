// SPDX-License-Identifier: GPL-3.0-or-later
// Draws for the many simulated data sets of the checks and the bootstrap, where the
// standard library's engine and its samplers cost more than the fits: xoshiro256++ seeded
// by splitmix64, one stream per data set (so a seed gives the same data sets whichever
// thread draws them), the polar normal, Marsaglia and Tsang's gamma and Hoermann's
// transformed-rejection Poisson (PTRS).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace valdmora {

// splitmix64: one step of the state, and its mixed output.
inline uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

class FastRandom {
public:
    using result_type = uint64_t;
    // Stream `stream` of `seed`: the four state words from splitmix64, started from both
    // mixed together, so that neighbouring streams and seeds share nothing visible.
    FastRandom(uint64_t seed, uint64_t stream) {
        uint64_t mix = seed;
        uint64_t start = splitmix64(mix);
        uint64_t other = stream ^ 0x6A09E667F3BCC909u;
        start ^= splitmix64(other);
        for (uint64_t& word : s_) word = splitmix64(start);
    }
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }
    result_type operator()() {
        const uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // On (0, 1): 53 random bits, centred in their step, so never 0 (a logarithm takes it).
    double uniform() { return (static_cast<double>((*this)() >> 11) + 0.5) * 0x1.0p-53; }
    // Standard normal, by the polar method; its second value is kept for the next call.
    double normal() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        double u, v, q;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            q = u * u + v * v;
        } while (q >= 1.0 || q == 0.0);
        const double f = std::sqrt(-2.0 * std::log(q) / q);
        spare_ = v * f;
        has_spare_ = true;
        return u * f;
    }
    // Gamma with this shape (> 0) and scale 1: Marsaglia and Tsang's squeeze, and for a shape
    // below 1 a draw of shape + 1 times U^(1 / shape).
    double gamma(double shape) {
        if (shape < 1.0) {
            const double boost = std::pow(uniform(), 1.0 / shape);
            return gamma(shape + 1.0) * boost;
        }
        const double d = shape - 1.0 / 3.0, c = 1.0 / std::sqrt(9.0 * d);
        for (;;) {
            double x, v;
            do {
                x = normal();
                v = 1.0 + c * x;
            } while (v <= 0.0);
            v = v * v * v;
            const double u = uniform();
            const double x2 = x * x;
            if (u < 1.0 - 0.0331 * x2 * x2) return d * v;
            if (std::log(u) < 0.5 * x2 + d * (1.0 - v + std::log(v))) return d * v;
        }
    }
    // Poisson with this mean (>= 0): inversion by sequential search below 10, PTRS above.
    double poisson(double mean) {
        if (!(mean > 0.0)) return 0.0;
        if (mean < 10.0) {
            double p = std::exp(-mean), cumulative = p, k = 0.0;
            const double u = uniform();
            // the tail beyond k = 200 holds less than 1e-150 of the mass at a mean below 10
            while (u > cumulative && k < 200.0) {
                k += 1.0;
                p *= mean / k;
                cumulative += p;
            }
            return k;
        }
        const double root = std::sqrt(mean), log_mean = std::log(mean);
        const double b = 0.931 + 2.53 * root, a = -0.059 + 0.02483 * b;
        const double inverse_alpha = 1.1239 + 1.1328 / (b - 3.4), vr = 0.9277 - 3.6224 / (b - 2.0);
        for (;;) {
            const double u = uniform() - 0.5, v = uniform();
            const double us = 0.5 - std::fabs(u);
            const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
            if (us >= 0.07 && v <= vr) return k;
            if (k < 0.0 || (us < 0.013 && v > us)) continue;
            if (std::log(v) + std::log(inverse_alpha) - std::log(a / (us * us) + b) <=
                -mean + k * log_mean - log_factorial(k))
                return k;
        }
    }

    // ln k! for whole k >= 0: exact below 10, Stirling's series (error below 1e-15) above.
    static double log_factorial(double k) {
        static constexpr double small[10] = {0.0,
                                             0.0,
                                             0.69314718055994530942,
                                             1.79175946922805500081,
                                             3.17805383034794561964,
                                             4.78749174278204599425,
                                             6.57925121201010099506,
                                             8.52516136106541430017,
                                             10.60460290274525022842,
                                             12.80182748008146961121};
        if (k < 10.0) return small[static_cast<int>(k)];
        const double n = k + 1.0, w = 1.0 / (n * n);
        return (n - 0.5) * std::log(n) - n + 0.91893853320467274178 +
               (1.0 / 12.0 - w * (1.0 / 360.0 - w * (1.0 / 1260.0 - w / 1680.0))) / n;
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4]{};
    double spare_ = 0.0;
    bool has_spare_ = false;
};

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
// Uniform draws on [0, 1) in single precision for the simulated survey data.
#pragma once

#include <cstdint>
#include <random>

namespace valdmora {

class UniformSource {
public:
    virtual ~UniformSource() = default;
    // A draw on [0, 1), never 1.
    virtual float next() = 0;
    // Starts a new series; the window reseeds from the clock at every simulation.
    virtual void reseed(uint64_t seed) = 0;
};

// The standard library's Mersenne Twister; 24 random bits make a float in [0, 1) exactly.
class MersenneUniform : public UniformSource {
public:
    // every bit of the seed counts: two seeds that differ only above 32 bits differ
    explicit MersenneUniform(uint64_t seed = 5489u) { reseed(seed); }
    float next() override { return static_cast<float>(engine_() >> 8) * (1.0f / 16777216.0f); }
    void reseed(uint64_t seed) override {
        std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32)};
        engine_.seed(seq);
    }

private:
    std::mt19937 engine_;
};

// A seed from the clock.
uint64_t clock_seed();

}  // namespace valdmora

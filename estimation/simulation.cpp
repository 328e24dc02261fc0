// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulation.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include "cycle/count_file.h"
#include "cycle/distributions.h"
#include "cycle/text.h"
#include "cycle/number_format.h"
#include "cycle/user_error.h"
#include "valdmora/floored_mean.h"

namespace valdmora {

uint64_t clock_seed() {
    return static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
}

float simulated_count(double m, double e, Dist err_dist, UniformSource& u) {
    double z = 0.0;
    for (int k = 0; k < 10; ++k) z += static_cast<double>(u.next()) - 0.5;
    // The divisor is the square root of five, as the method has always used.
    switch (err_dist) {
    case Dist::lognormal:
        return static_cast<float>(m * (1.0 + e * z / std::sqrt(5.0)));
    case Dist::normal:
        return static_cast<float>(m + e * z / std::sqrt(5.0));
    case Dist::negbin:
        break;
    }
    // failures before the ceil(r)-th success in trials that succeed with probability p
    const double p = 1.0 / (e + 1.0);
    const double r = m * p / (1.0 - p);
    const auto p_single = static_cast<float>(p);
    double successes = 0.0, failures = 0.0;
    while (successes < r) {
        if (p_single > u.next())
            successes += 1.0;
        else
            failures += 1.0;
    }
    return static_cast<float>(failures);
}

double ten_uniform_shortfall(double t) {
    // Beyond the centre, the mirror image: E[(t - z)+] - E[(z - t)+] = t.
    if (t > 0.0) return t + ten_uniform_shortfall(-t);
    const double x = t + 5.0;  // the sum of ten uniforms on [0, 1)
    if (x <= 0.0) return 0.0;
    // The integral of the Irwin-Hall distribution function: sum_k (-1)^k C(10, k) (x - k)^11 / 11!
    double sum = 0.0, binomial = 1.0;
    for (int k = 0; k <= 10 && k < x; ++k) {
        sum += (k % 2 == 0 ? 1.0 : -1.0) * binomial * std::pow(x - k, 11);
        binomial = binomial * (10 - k) / (k + 1);
    }
    return sum / 39916800.0;
}

double classic_expected_count(double m, double e, Dist err_dist) {
    if (err_dist != Dist::negbin) {
        // y = m + c z, z the sum of ten uniforms less 5, held at 1
        const double c = std::fabs(err_dist == Dist::lognormal ? m * e / std::sqrt(5.0) : e / std::sqrt(5.0));
        if (c == 0.0) return std::max(1.0, m);
        return m + c * ten_uniform_shortfall((1.0 - m) / c);
    }
    const double p = static_cast<double>(static_cast<float>(1.0 / (e + 1.0)));
    const double r = m / e;
    if (!(r > 0.0)) return 1.0;
    const double successes = std::ceil(r);
    // failures before the last success, and a draw of 0 held at 1
    return successes * (1.0 - p) / p + std::pow(p, successes);
}

namespace {

constexpr double kLargestPoissonMean = 1e12;

// The wards a simulation without a data file makes have predictor values drawn on
// [kLowestX, kLowestX + kSpanX).
constexpr float kLowestX = 100.0f, kSpanX = 1000.0f;

// A derived figure for a message: four significant digits, in the locale's decimals and
// the general form's upper-case exponent.
std::string figure(double v, const NumberFormat& fmt) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 4);
    std::string text(buf, ec == std::errc() ? end : buf);
    for (char& c : text) c = c == '.' ? fmt.decimal : c == 'e' ? 'E' : c;
    return text;
}

// "of 2.5E+12", or "that is not a finite number".
std::string described(double v, const NumberFormat& fmt) {
    return std::isfinite(v) ? "of " + figure(v, fmt) : "that is not a finite number";
}

}  // namespace

double exact_count(double m, double e, Dist err_dist, std::mt19937_64& engine) {
    switch (err_dist) {
    case Dist::lognormal: {
        const double s2 = std::log1p(e * e);
        // held at 1; a draw that is not a number stays one, for the caller's check
        return std::max(std::exp(std::normal_distribution<double>(std::log(m) - s2 / 2.0, std::sqrt(s2))(engine)), 1.0);
    }
    case Dist::normal:
        return std::normal_distribution<double>(m, e)(engine);
    case Dist::negbin:
        break;
    }
    const double lambda = std::gamma_distribution<double>(m / e, e)(engine);
    if (std::isnan(lambda)) return lambda;
    if (!(lambda > 0.0)) return 0.0;
    // The Poisson generator's whole numbers overflow far beyond any count the model library
    // takes: such a mean is the draw, to within a millionth, and the caller refuses it.
    if (!(lambda <= kLargestPoissonMean)) return lambda;
    return static_cast<double>(std::poisson_distribution<long long>(lambda)(engine));
}

double exact_expected_count(double m, double e, Dist err_dist) {
    if (err_dist != Dist::lognormal) return m;
    // E[max(1, X)] = m + E[(1 - X)+], the latter as a put on a lognormal price
    const double s = std::sqrt(std::log1p(e * e));
    if (s == 0.0) return std::max(1.0, m);
    const double d1 = (std::log(m) + s * s / 2.0) / s, d2 = d1 - s;
    auto phi = [](double v) { return 0.5 * std::erfc(-v / std::sqrt(2.0)); };
    return m + phi(-d2) - m * phi(-d1);
}

std::string extra_parameter_problem(Dist err_dist, double e, Generator generator, const std::string& shown) {
    if (err_dist == Dist::negbin && !(e > 0.0))
        return "The negative binomial needs VoM - 1 above 0 to simulate (it is " + shown +
               "): with 0 every trial succeeds and the draw never ends.";
    if (err_dist == Dist::normal && !(e >= 0.0))
        return "The extra parameter SD must be 0 or more to simulate (it is " + shown +
               "): it is the counts' standard deviation.";
    if (generator == Generator::exact && err_dist != Dist::normal && !(e > 0.0))
        return "The extra parameter must be above 0 to simulate (it is " + shown + ").";
    return {};
}

double draw_spread(double m, double e, Dist err_dist) {
    switch (err_dist) {
    case Dist::lognormal:
        return std::fabs(m * e);
    case Dist::normal:
        return std::fabs(e);
    case Dist::negbin:
        break;
    }
    return std::sqrt((1.0 + e) * std::max(m, 0.0));
}

std::string draw_problem(double m, double e, Dist err_dist, const NumberFormat& fmt) {
    const std::string limit = "the largest count the model library takes (" + general_number(kMaxCount, fmt) + ")";
    if (!std::isfinite(m)) return "a ward's mean is not a finite number";
    if (m > kMaxCount) return "a ward's mean of " + figure(m, fmt) + " is beyond " + limit;
    const double spread = draw_spread(m, e, err_dist);
    if (!(spread <= kMaxCount))
        return "a ward of mean " + figure(m, fmt) + " has a standard deviation " + described(spread, fmt) +
               ", beyond " + limit;
    // the negative binomial's gamma mixture draws with shape m / e
    if (err_dist == Dist::negbin && m > 0.0 && !std::isfinite(m / e))
        return "a ward of mean " + figure(m, fmt) + " over VoM - 1 = " + figure(e, fmt) +
               " gives a gamma shape that is not a finite number";
    return {};
}

bool count_can_be_taken(double y) { return std::fabs(y) <= kMaxCount; }

namespace {

// Linear predictor accumulated in single precision, no floor.
float ward_mean(const std::array<double, 5>& b, const EstimationState& s, bool surveyed, long ward) {
    auto m = static_cast<float>(b[0]);
    for (int j = 1; j <= s.n_pred; ++j) {
        const double x = surveyed ? s.surveyed_x(j, ward) : s.unsurveyed_x(j, ward);
        m = static_cast<float>(static_cast<double>(m) + b[j] * x);
    }
    return m;
}

}  // namespace

namespace {

// What this process may still allocate: the memory free for programs, within its own limit.
double memory_available() {
    double bytes = std::numeric_limits<double>::infinity();
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status))
        bytes = std::min(static_cast<double>(status.ullAvailPhys), static_cast<double>(status.ullAvailVirtual));
    return bytes;
#else
    std::ifstream info("/proc/meminfo");
    for (std::string key; info >> key;) {
        double kib = 0.0;
        info >> kib;
        if (key == "MemAvailable:") bytes = kib * 1024.0;
        info.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        bytes = std::min(bytes, static_cast<double>(limit.rlim_cur));
    return bytes;
#endif
}

std::string gigabytes(double bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", bytes / 1073741824.0);
    return buf;
}

}  // namespace

std::string surveys_memory_problem(long surveys) {
    const double need = static_cast<double>(surveys) * kBytesPerSimulatedSurvey;
    const double have = memory_available();
    if (need <= have) return {};
    return "that many surveyed wards need about " + gigabytes(need) + " GB of memory, and " + gigabytes(have) +
           " GB is free for this program.";
}

long surveys_from_text(const std::string& text, const NumberFormat& fmt) {
    const auto v = parse_number(text, fmt);
    const double rounded = v ? std::nearbyint(*v) : 0.0;
    if (!v || rounded < 1.0 || rounded > static_cast<double>(kMaxSimulatedSurveys))
        throw UserError("The number of surveys \"" + printable(text) + "\" must be a whole number of at least 1.", "Simulation");
    return static_cast<long>(rounded);
}

SimulationOutcome simulate_data(const SimulationSettings& in, EstimationState& s, UniformSource& u,
                                const Progress& progress) {
    // a cheap look every so many wards keeps a large survey stoppable at once
    auto look = [&progress](long i) {
        if ((i & 0xFFFF) == 0) progress.check_cancel();
    };
    SimulationOutcome out;
    if (s.n_sims == 32767 || s.n_sims_left_out == 32767)
        throw UserError("The series of simulations is full at 32767. Empty the data path to start a new series.",
                        "Simulation");

    // Check every input before anything is drawn.
    const long surveys = s.has_data_file() ? s.n_surveyed : in.surveys;
    if (!s.has_data_file()) {
        if (surveys < 1 || surveys > kMaxSimulatedSurveys)
            throw UserError("The number of surveys " + std::to_string(surveys) + " must be a whole number of at least 1.",
                            "Simulation");
        if (const std::string problem = surveys_memory_problem(surveys); !problem.empty())
            throw UserError("The number of surveys is too large: " + problem, "Simulation");
    }
    // the true values as entered
    std::array<double, 5> b{};
    for (int j = 0; j <= s.n_pred; ++j) b[static_cast<std::size_t>(j)] = s.beta_entered(j);
    const double e = s.beta_entered(5);
    const std::string e_text = general_number(e, in.fmt);
    if (const std::string problem = extra_parameter_problem(s.err_dist, e, in.generator, e_text); !problem.empty())
        throw UserError(problem, "Simulation");
    const bool exact = in.generator == Generator::exact;

    // Every ward's draws must be ones the generator can make and the model library take.
    // Without a data file the wards' means lie between those at the corners of the
    // predictors' range, and the problems grow with the mean's size either way.
    auto refuse_mean = [&](double h) {
        constexpr double kSingleMax = std::numeric_limits<float>::max();
        std::string problem;
        if (!std::isfinite(h))
            problem = "a ward's mean is not a finite number";
        else if (std::fabs(h) > kSingleMax)
            problem = "a ward's mean of " + figure(h, in.fmt) + " is beyond single precision (" +
                      figure(kSingleMax, in.fmt) + "), in which the means are held";
        else
            problem = draw_problem(exact ? floored_mean(h) : h, e, s.err_dist, in.fmt);
        if (problem.empty()) return;
        std::string values = general_number(b[0], in.fmt);
        // semicolons: a comma may be the decimal separator
        for (int j = 1; j <= s.n_pred; ++j) values += "; " + general_number(b[static_cast<std::size_t>(j)], in.fmt);
        throw UserError("These values cannot be simulated from (the constant and coefficients " + values + "; " +
                            std::string(distribution(s.err_dist).extra_name) + " = " + e_text + "): " + problem +
                            ". Use smaller values.",
                        "Simulation");
    };
    if (s.has_data_file()) {
        auto lp = [&](bool surveyed, long i) {
            double h = b[0];
            for (std::size_t j = 1; j < b.size() && static_cast<int>(j) <= s.n_pred; ++j) {
                const auto p = static_cast<int>(j);
                h += b[j] * static_cast<double>(surveyed ? s.surveyed_x(p, i) : s.unsurveyed_x(p, i));
            }
            return h;
        };
        for (long i = 1; i <= s.n_surveyed; ++i) {
            look(i);
            refuse_mean(lp(true, i));
        }
        for (long i = 1; i <= s.n_unsurveyed; ++i) {
            look(i);
            refuse_mean(lp(false, i));
        }
    } else {
        double lowest = b[0], highest = b[0];
        for (int j = 1; j <= s.n_pred; ++j) {
            const double at_low = b[j] * kLowestX, at_high = b[j] * (kLowestX + kSpanX);
            lowest += std::min(at_low, at_high);
            highest += std::max(at_low, at_high);
        }
        refuse_mean(highest);
        refuse_mean(lowest);
    }

    EstimationState t = s;
    if (!t.has_data_file()) {
        // more surveys than wards leaves no unsurveyed ward, not a negative number of them
        t.resize_wards(static_cast<int32_t>(surveys), static_cast<int32_t>(std::max(0L, kSimulatedWards - surveys)));
        for (int j = 1; j <= t.n_pred; ++j) t.unsurveyed_x_sum(j) = 0.0;
        for (long i = 1; i <= t.n_surveyed; ++i) {
            look(i);
            for (int j = 1; j <= t.n_pred; ++j) t.surveyed_x(j, i) = kSpanX * u.next() + kLowestX;
        }
        for (long i = 1; i <= t.n_unsurveyed; ++i)
            for (int j = 1; j <= t.n_pred; ++j) {
                t.unsurveyed_x(j, i) = kSpanX * u.next() + kLowestX;
                t.unsurveyed_x_sum(j) += static_cast<double>(t.unsurveyed_x(j, i));
            }
    }

    // The trial loop of the negative binomial runs about r / p times per ward.
    auto check_trials = [&](float m) {
        if (t.err_dist == Dist::negbin && static_cast<double>(m) / e > 1e7)
            throw UserError("A ward's mean of " + general_number(m, in.fmt) + " with VoM - 1 = " + e_text +
                                " needs more than ten million trials to simulate. Use a larger VoM - 1 or smaller "
                                "parameter values.",
                            "Simulation");
    };

    // the exact draws take their own engine, seeded from the series' uniform draws
    std::mt19937_64 engine;
    if (exact) {
        uint64_t seed = 0;
        for (int k = 0; k < 3; ++k) seed = (seed << 24) ^ static_cast<uint64_t>(u.next() * 16777216.0f);
        engine.seed(seed);
    }
    // one ward's draw and its expected value: the classic draw is held at 1 or more, the
    // exact one is the model's own, about the floored mean
    // A draw the model library cannot take stops the series: this simulation is not kept,
    // so it is never scored.
    auto taken = [&](double y, double m) {
        if (!count_can_be_taken(y))
            throw UserError("A ward of mean " + figure(m, in.fmt) + " drew a count " + described(y, in.fmt) +
                                ", which the model library cannot take (counts go up to " +
                                general_number(kMaxCount, in.fmt) +
                                "). This simulation is neither kept nor scored.",
                            "Simulation");
        return static_cast<float>(y);
    };
    auto draw = [&](float h, double& expected) -> float {
        if (!exact) {
            check_trials(h);
            expected = classic_expected_count(h, e, t.err_dist);
            // held at 1; a draw that is not a number stays one, for the check
            return taken(std::max(simulated_count(h, e, t.err_dist, u), 1.0f), h);
        }
        const double m = floored_mean(static_cast<double>(h));
        expected = exact_expected_count(m, e, t.err_dist);
        return taken(exact_count(m, e, t.err_dist, engine), m);
    };

    t.sim_total = 0.0f;
    for (long i = 1; i <= t.n_unsurveyed; ++i) {
        const float m = ward_mean(b, t, false, i);
        out.true_total_lp += static_cast<double>(m);
        double expected = 0.0;
        t.sim_total += draw(m, expected);
        out.expected_total += expected;
    }
    out.key_names.reserve(static_cast<std::size_t>(std::min<long>(t.n_surveyed, 10)));
    for (long i = 1; i <= t.n_surveyed; ++i) {
        look(i);
        t.surveyed_name(i) = "Ward" + std::to_string(i);
        if (i <= 10) out.key_names.push_back(t.surveyed_name(i));
        double expected = 0.0;
        t.surveyed_count(i) = draw(ward_mean(b, t, true, i), expected);
    }
    if (t.n_unsurveyed > 0) {
        t.sim_total_sum += static_cast<double>(t.sim_total);
        t.n_sims = add16(t.n_sims, 1, "number of simulations");
    } else {
        t.n_sims_left_out = add16(t.n_sims_left_out, 1, "number of simulations left out");
    }
    t.sim_true_total_lp = out.true_total_lp;
    t.sim_expected_total = out.expected_total;
    s = std::move(t);
    return out;
}

}  // namespace valdmora

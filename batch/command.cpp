// SPDX-License-Identifier: GPL-3.0-or-later
#include "command.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <sstream>

#include "cycle/distributions.h"
#include "cycle/number_text.h"
#include "cycle/text.h"
#include "estimation/model_binding.h"
#include "estimation/simulation.h"

namespace valdmora {

namespace {

// the library to fit with in place of the one bound from its file (the fuzz target's)
const ModelLibrary* g_library = nullptr;

// the engine's Cancel, seen by the bootstrap, the table of models and every long loop;
// set by a stop request (stop_request.h)
std::atomic<bool> g_cancel{false};

}  // namespace

std::string option_text(const CLI::App& given, const std::string& name, const std::string& fallback) {
    const CLI::Option* opt = given.get_option(name);
    return opt->count() > 0 ? opt->as<std::string>() : fallback;
}

bool option_given(const CLI::App& given, const std::string& name) { return given.get_option(name)->count() > 0; }

void add_text_option(CLI::App& sub, const std::string& name, const std::string& description) {
    sub.add_option(name, CLI::callback_t{}, description)->type_name("TEXT");
}

void add_switch(CLI::App& sub, const std::string& name, const std::string& description) {
    sub.add_flag(name, description);
}

double option_number(const std::string& text, const char* option) {
    const auto v = parse_data_number(text, false);
    if (!v) throw UsageError(std::string(option) + ": \"" + printable(text) + "\" is not a number.");
    return *v;
}

long option_whole(const std::string& text, const char* option, long lo, long hi) {
    long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
        throw UsageError(std::string(option) + ": \"" + printable(text) + "\" must be a whole number from " +
                         std::to_string(lo) + " to " + std::to_string(hi) + ".");
    return v;
}

long option_surveys(const std::string& text) {
    const double v = std::nearbyint(option_number(text, "--surveys"));
    if (!(v >= 1.0 && v <= static_cast<double>(kMaxSimulatedSurveys)))
        throw UsageError("--surveys: \"" + printable(text) + "\" must be a number of surveys from 1 to " +
                         std::to_string(kMaxSimulatedSurveys) + ".");
    return static_cast<long>(v);
}

uint64_t option_seed(const std::string& text) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw UsageError("--seed: \"" + printable(text) + "\" must be a whole number from 0 to 18446744073709551615.");
    return v;
}

double option_range(const std::string& text) {
    const double range = option_number(text, "--range");
    if (!(range > 0.0))
        throw UsageError("--range: \"" + printable(text) + "\" must be a percentage above 0, such as 50.");
    return range;
}

Dist option_distribution(const std::string& key) {
    // the command line only lets the table's keys through
    return distribution_of_key(key).value_or(kDistributions[0].dist);
}

std::vector<std::string> distribution_keys() {
    std::vector<std::string> keys;
    for (const Distribution& d : kDistributions) keys.emplace_back(d.key);
    return keys;
}

std::string distributions_help() {
    std::string text;
    for (std::size_t i = 0; i < kDistributions.size(); ++i)
        text += (i == 0 ? "" : i + 1 == kDistributions.size() ? " or " : ", ") + std::string(kDistributions[i].key);
    return text + " (default " + std::string(kDistributions[0].key) + ")";
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) out.push_back(item);
    return out;
}

std::array<double, 6> option_boxes(const std::string& list, const char* option) {
    const auto items = split_list(list);
    if (items.size() != 6) throw UsageError(std::string(option) + " needs six values: B0,B1,B2,B3,B4,E");
    std::array<double, 6> values{};
    for (std::size_t i = 0; i < 6; ++i) values[i] = option_number(items[i], option);
    return values;
}

ClickServices services() {
    ClickServices sv;
    sv.library = g_library ? *g_library : bind_model_library();
    sv.progress = Progress(nullptr, &g_cancel);
    return sv;
}

void use_library(const ModelLibrary* library) { g_library = library; }
void reset_cancel() { g_cancel.store(false); }
std::atomic<bool>* cancel_flag() { return &g_cancel; }

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate_options.h"

#include <CLI/CLI.hpp>

#include "command.h"
#include "cycle/text.h"

namespace valdmora {

void declare_model_options(CLI::App& sub) {
    add_text_option(sub, "FILE", "the count data file");
    sub.get_option("FILE")->required();
    add_text_option(sub, "--dist", distributions_help());
    sub.get_option("--dist")->check(CLI::IsMember(distribution_keys()));
    add_text_option(sub, "--free", "free parameters: box numbers 0..4 (0 the constant) or predictor names, or none to "
                                   "hold every coefficient at its --start value; the extra parameter is always free "
                                   "(default 0)");
    add_text_option(sub, "--start", "start values B0,B1,B2,B3,B4,E in box order (default: the distribution's)");
    add_text_option(sub, "--range", "likelihood profile range, per cent either side (default 50)");
    add_text_option(sub, "--ward", "narrow the estimate to this unsurveyed ward");
    declare_sighting_options(sub);
}

void declare_sighting_options(CLI::App& sub) {
    add_text_option(sub, "--sighting", "M,R1[,R2...]: M marked dogs present in the surveyed area and the marked dogs "
                                       "seen in each count; adds the dogs present (seen or not) and " +
                                           std::string(kDogsPresentFile));
    add_text_option(sub, "--sighting-proportion", "P,SE: a sighting proportion and its standard error from an earlier "
                                                  "study, instead of --sighting");
}

std::optional<SightingInput> parse_sighting_options(const CLI::App& given) {
    const bool counts = option_given(given, "--sighting"), share = option_given(given, "--sighting-proportion");
    if (counts && share) throw UsageError("--sighting and --sighting-proportion: give one of them, not both.");
    if (!counts && !share) return std::nullopt;
    const char* option = counts ? "--sighting" : "--sighting-proportion";
    const std::string text = option_text(given, option);
    SightingInput in;
    if (counts) {
        const ParsedSighting parsed = parse_sighting_counts(text);
        if (!parsed.counts) throw UsageError(std::string(option) + ": \"" + printable(text) + "\": " + parsed.problem + ".");
        in = *parsed.counts;
    } else {
        const std::vector<std::string> items = split_list(text);
        if (items.size() != 2)
            throw UsageError(std::string(option) + ": \"" + printable(text) + "\" needs two values: P,SE");
        in = SightingShare{option_number(items[0], option), option_number(items[1], option)};
    }
    const std::string problem = sighting_problem(in);
    if (!problem.empty()) throw UsageError(std::string(option) + ": \"" + printable(text) + "\": " + problem + ".");
    return in;
}

void declare_bootstrap_options(CLI::App& sub) {
    add_text_option(sub, "--bootstrap", "bootstrap prediction limits from this many replicates (default 0: none)");
    add_text_option(sub, "--seed", "seed of the bootstrap, 0..18446744073709551615 (default 1)");
}

ModelOptions parse_model_options(const CLI::App& given) {
    ModelOptions o;
    o.file = option_text(given, "FILE");
    o.dist = option_distribution(option_text(given, "--dist", "lognormal"));
    o.free = split_list(option_text(given, "--free", "0"));
    if (option_given(given, "--start")) o.start = option_boxes(option_text(given, "--start"), "--start");
    o.range_percent = option_range(option_text(given, "--range", "50"));
    o.ward = option_text(given, "--ward");
    o.bootstrap_reps = static_cast<int>(option_whole(option_text(given, "--bootstrap", "0"), "--bootstrap", 0, 1000000));
    if (option_given(given, "--seed")) o.seed = option_seed(option_text(given, "--seed"));
    o.sighting = parse_sighting_options(given);
    return o;
}

ClickResult estimate_click(Session& s, const ModelOptions& o, const ClickServices& services) {
    s.read_file(o.file);
    s.choose_distribution(o.dist);
    if (o.start) s.set_values(*o.start);
    s.set_free(o.free);
    s.set_ward(o.ward);
    ClickSettings settings;
    settings.data_path = o.file;
    settings.range_percent = o.range_percent;
    settings.bootstrap_reps = o.bootstrap_reps;
    settings.bootstrap_seed = o.seed;
    settings.sighting = o.sighting;
    return s.click(settings, services);
}

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
// select: one sample of wards chosen by a design, written for the field team with each
// ward's predictor values and its chance of being chosen.
#include <CLI/CLI.hpp>

#include <iostream>

#include "command.h"
#include "cycle/atomic_file.h"
#include "cycle/text.h"
#include "estimation/plan.h"
#include "form/plan_files.h"
#include "output.h"
#include "plan_options.h"
#include "session.h"

namespace valdmora {

namespace {

struct SelectOptions {
    std::string file;
    long surveys = 0;
    uint64_t seed = 1;
    std::string design = "random";
    std::string csv;
};

void declare(CLI::App& sub) {
    add_text_option(sub, "FILE", "the count data file: the wards to choose from");
    sub.get_option("FILE")->required();
    add_text_option(sub, "--surveys", "how many wards to choose");
    sub.get_option("--surveys")->required();
    add_text_option(sub, "--seed", "seed, 0..18446744073709551615 (default 1)");
    declare_design_option(sub);
    add_text_option(sub, "--csv", "the list of chosen wards: ward, predictor values, selection_probability");
    sub.get_option("--csv")->required();
}

SelectOptions parse(const CLI::App& given) {
    SelectOptions o;
    o.file = option_text(given, "FILE");
    o.surveys = option_whole(option_text(given, "--surveys"), "--surveys", 1, 100000000);
    if (option_given(given, "--seed")) o.seed = option_seed(option_text(given, "--seed"));
    o.design = option_text(given, "--design", "random");
    o.csv = option_text(given, "--csv");
    return o;
}

int run(const SelectOptions& o) {
    refuse_clashes(o.file, {{"--csv", o.csv}});
    Session s;
    s.read_file(o.file);
    const SampleDesign design = design_from_text(o.design, s.predictors());
    const Town town = town_of(s.state());
    if (const std::string problem = design_problem(town, design, o.surveys); !problem.empty())
        throw UsageError("--surveys " + std::to_string(o.surveys) + ": the sample " + problem + ".");
    // a stream of its own, apart from those of a plan's replicates
    FastRandom random(o.seed, ~uint64_t{0});
    const std::vector<std::size_t> chosen = choose_wards(town, design, o.surveys, random);
    const std::string problem =
        write_file_atomically(o.csv, selection_csv(town, s.predictors(), chosen, selection_probabilities(town, design, o.surveys)));
    print_notices(s.notices());
    if (!problem.empty()) {
        std::cerr << shown_lines(not_written_message(o.csv, problem)) << "\n";
        return 1;
    }
    std::cout << chosen.size() << " of " << town.size() << " wards chosen (" << design_traits(design.kind).name
              << "), written to " << shown(o.csv) << "\n";
    return 0;
}

}  // namespace

Command select_command() {
    return make_command<SelectOptions>("select", "Choose the wards to survey by a sampling design.",
                                       "valdmora-batch select counts.txt --surveys 30 --design balanced --seed 7 --csv wards.csv",
                                       false, declare, parse, run);
}

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
// compare: the table of models, printed, as CSV or as one JSON object, with the
// model-averaged total.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "command.h"
#include "cycle/atomic_file.h"
#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "estimation/model_average.h"
#include "estimation/model_table.h"
#include "output.h"
#include "session.h"

namespace valdmora {

namespace {

struct CompareOptions {
    std::string file;
    bool json = false;
    std::string csv;
};

void declare(CLI::App& sub) {
    add_text_option(sub, "FILE", "the count data file");
    sub.get_option("FILE")->required();
    add_switch(sub, "--json", "print one JSON object instead of the table");
    add_text_option(sub, "--csv", "write the table to this CSV file");
}

CompareOptions parse(const CLI::App& given) {
    CompareOptions o;
    o.file = option_text(given, "FILE");
    o.json = option_given(given, "--json");
    o.csv = option_text(given, "--csv");
    if (o.json && !o.csv.empty()) throw UsageError("compare writes either --json or --csv, not both.");
    return o;
}

std::string shown_names(const ModelRow& m) {
    return m.predictor_names.empty() ? "(constant only)" : m.predictor_names;
}

json table_json(const ModelTable& t, const std::vector<Notice>& notices) {
    json models = json::array();
    for (const ModelRow& m : t.rows) {
        const bool limits = m.available && m.limits_ok;
        json row = {{"dist", distribution(m.dist).key},
                    {"predictors", m.predictor_names},
                    {"k", m.k},
                    {"n", m.n},
                    {"available", m.available},
                    {"fail_code", m.available ? json(m.fail_code) : json(nullptr)},
                    {"log_lik", m.available ? finite_or_null(m.log_lik) : json(nullptr)},
                    {"aic", m.available ? finite_or_null(m.aic) : json(nullptr)},
                    {"aicc", m.available ? finite_or_null(m.aicc) : json(nullptr)},
                    {"delta_aicc", finite_or_null(m.delta_aicc)},
                    {"weight", finite_or_null(m.weight)},
                    {"pop_est", m.available ? finite_or_null(m.pop_est) : json(nullptr)},
                    {"pop_lower", limits ? finite_or_null(m.pop_lower) : json(nullptr)},
                    {"pop_upper", limits ? finite_or_null(m.pop_upper) : json(nullptr)}};
        if (!limits)
            row["limits_reason"] = !m.available             ? "the model was not fitted"
                                   : !m.aliased_with.empty() ? "aliased with " + m.aliased_with
                                                             : "the covariance of the estimates is not available";
        if (!m.aliased_with.empty()) row["aliased_with"] = m.aliased_with;
        if (!m.reason.empty()) row["reason"] = m.reason;
        models.push_back(row);
    }
    json j = {{"models", models}, {"note", t.note}, {"notices", notices_json(notices)}};
    const ModelAverage a = model_average(t);
    j["model_average"] = a.available ? json{{"total", a.total},
                                            {"se", a.se},
                                            {"lower", a.lower},
                                            {"upper", a.upper},
                                            {"models", a.models},
                                            {"weights", "AICc"},
                                            {"sentence", a.sentence}}
                                     : json{{"available", false}, {"reason", a.reason}};
    return j;
}

// The table for a terminal, in columns.
void print_table(const ModelTable& t, const NumberFormat& fmt) {
    std::printf("%-10s %-34s %2s %6s %12s %10s %8s %7s %10s\n", "dist", "predictors", "k", "n", "log_lik", "AICc",
                "dAICc", "weight", "estimate");
    for (const ModelRow& m : t.rows) {
        const std::string key(distribution(m.dist).key);
        const std::string name = m.predictor_names.empty() ? "(constant only)" : shown(m.predictor_names);
        if (!m.available) {
            std::printf("%-10s %-34s %2d %6ld   unavailable\n", key.c_str(), name.c_str(), m.k, m.n);
            continue;
        }
        std::printf("%-10s %-34s %2d %6ld %12s %10s %8s %7s %10s\n", key.c_str(), name.c_str(), m.k, m.n,
                    format_number(m.log_lik, "0.000", fmt).c_str(), format_number(m.aicc, "0.000", fmt).c_str(),
                    format_number(m.delta_aicc, "0.00", fmt).c_str(),
                    m.aliased_with.empty() ? format_number(m.weight, "0.000", fmt).c_str() : "aliased",
                    format_number(m.pop_est, "##,###", fmt).c_str());
    }
    std::cout << t.note << "\n";
    const ModelAverage a = model_average(t);
    std::cout << "model-averaged total: " << (a.available ? a.sentence : "not available: " + a.reason) << "\n";
}

int run(const CompareOptions& o) {
    refuse_clashes(o.file, {{"--csv", o.csv}});
    Session s;
    s.read_file(o.file);
    const ModelTable t = compare_models(s.state(), s.predictors(), services(), s.format());
    std::vector<Notice> notices = s.notices();
    for (const ModelRow& m : t.rows)
        if (!m.reason.empty())
            notices.push_back(
                {"Model", std::string(distribution(m.dist).key) + " " + shown_names(m) + ": " + m.reason + ".", "", false});
    int status = 0;
    if (!o.csv.empty()) {
        const std::string e = write_file_atomically(o.csv, model_table_csv(t));
        if (!e.empty()) {
            notices.push_back({"Output file", not_written_message(o.csv, e), "", true});
            status = 1;
        }
    }
    if (o.json)
        std::cout << dump(table_json(t, notices)) << "\n";
    else if (o.csv.empty())
        print_table(t, s.format());
    print_notices(notices);
    return status;
}

}  // namespace

Command compare_command() {
    return make_command<CompareOptions>("compare",
                                        "A table of models: every subset of the predictors under each distribution, "
                                        "ranked by AICc.",
                                        "valdmora-batch compare counts.txt --json", false, declare, parse, run);
}

}  // namespace valdmora

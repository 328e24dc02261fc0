// SPDX-License-Identifier: GPL-3.0-or-later
// report: one estimate from a count data file and the whole analysis as one PDF (the data,
// the model, the estimates, every interval, the charts, the table of models and the notices).
// The program makes the report's content; the report plugin, loaded only here, paints it,
// so that valdmora-batch maps no Qt library.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "command.h"
#include "estimate_options.h"
#include "cycle/atomic_file.h"
#include "estimation/dispersion_checks.h"
#include "estimation/model_table.h"
#include "output.h"
#include "report/report_plugin_loader.h"
#include "report/report_text.h"
#include "session.h"
#include "spatial/map_layers.h"
#include "spatial_options.h"

namespace valdmora {

std::string map_heading(const std::string& file, const EstimateResult& e, const std::vector<std::string>& predictors);

namespace {

struct ReportOptions : ModelOptions {
    std::string pdf;
    BoundaryOptions boundaries;
};

void declare(CLI::App& sub) {
    declare_model_options(sub);
    add_text_option(sub, "--pdf", "the report to write (PDF)");
    sub.get_option("--pdf")->required();
    declare_bootstrap_options(sub);
    declare_boundary_options(sub, false);
}

ReportOptions parse(const CLI::App& given) {
    ReportOptions o;
    static_cast<ModelOptions&>(o) = parse_model_options(given);
    o.pdf = option_text(given, "--pdf");
    o.boundaries = parse_boundary_options(given);
    return o;
}

int run(const ReportOptions& o) {
    refuse_clashes(o.file, {{"--pdf", o.pdf}});
    // a missing or broken plugin fails before any work is done
    const ReportPlugin plugin = load_report_plugin();
    Session s;
    const ClickServices sv = services();
    ClickResult r = estimate_click(s, o, sv);
    std::optional<WardBoundaries> boundaries;
    if (!o.boundaries.path.empty()) boundaries = estimate_boundaries(o.boundaries, r.estimate.state);
    std::vector<Notice> notices = s.notices();
    const std::vector<Notice> own = click_notices(r);
    notices.insert(notices.end(), own.begin(), own.end());
    int status = r.estimate.total.ward_missing || !r.estimate.fit_ok ? 1 : 0;
    std::cout << shown(batch_likelihood_line(r, s.format())) << "\n" << shown(r.label8) << "\n"
              << shown(headline(r.estimate, s.format())) << "\n";
    s.keep(r);

    ReportInput in;
    in.form = &s.form();
    in.models = compare_models(s.state(), s.predictors(), sv, s.format());
    {
        const EstimateResult& e = s.form().result()->estimate;
        in.checks = dispersion_checks(e.state, e.par_value, e.lower_bound, e.upper_bound, e.free_pos, sv.library, o.seed);
    }
    in.date = report_date_today();
    in.version = VALDMORA_VERSION;
    if (boundaries) {
        // the map of the predictions, and what the residuals say about space
        const EstimateResult& est = r.estimate;
        for (const Notice& n : boundary_notices(*boundaries)) notices.push_back(n);
        std::optional<Residuals> res;
        if (est.fit_ok) res = model_residuals(est.state, est.par_value, static_cast<long>(est.free_pos.size()), o.seed);
        in.map = ward_map_data(est, *boundaries, MapOptions{}, res ? &*res : nullptr,
                                  map_heading(o.file, est, s.predictors()));
        in.map_sentence = spatial_check_sentence(estimate_spatial_check(est, *boundaries, o.seed), s.format());
    }
    const std::string e = write_file_atomically(o.pdf, plugin.pdf(report_pages(in)));
    if (e.empty()) {
        std::cout << "wrote " << shown(o.pdf) << "\n";
    } else {
        notices.push_back({"Output file", not_written_message(o.pdf, e), "", true});
        status = 1;
    }
    print_notices(notices);
    return status;
}

}  // namespace

Command report_command() {
    return make_command<ReportOptions>("report", "One estimate from a count data file, and the whole analysis as a PDF.",
                                       "valdmora-batch report counts.txt --dist negbin --free 0,households --pdf report.pdf",
                                       false, declare, parse, run);
}

}  // namespace valdmora

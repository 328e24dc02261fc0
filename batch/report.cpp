// report: one estimate from a count data file and the whole analysis as one PDF (the data,
// the model, the estimates, every interval, the charts, the table of models and the notices).
#include <CLI/CLI.hpp>
#include <QDate>
#include <QGuiApplication>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

#include "command.h"
#include "cycle/atomic_file.h"
#include "estimation/model_table.h"
#include "output.h"
#include "report/pdf_report.h"
#include "session.h"

namespace valdmora {

namespace {

struct ReportOptions {
    std::string file;
    int dist = 1;
    std::vector<std::string> free;
    std::optional<std::array<double, 6>> start;
    double range_percent = 50.0;
    std::string ward;
    int bootstrap_reps = 0;
    uint64_t seed = 1;
    std::string pdf;
};

void declare(CLI::App& sub) {
    add_text_option(sub, "FILE", "the count data file");
    sub.get_option("FILE")->required();
    add_text_option(sub, "--pdf", "the report to write (PDF)");
    sub.get_option("--pdf")->required();
    add_text_option(sub, "--dist", distributions_help());
    sub.get_option("--dist")->check(CLI::IsMember(distribution_keys()));
    add_text_option(sub, "--free", "free parameters, as for estimate (default 0)");
    add_text_option(sub, "--start", "start values B0,B1,B2,B3,B4,E in box order (default: the distribution's)");
    add_text_option(sub, "--range", "likelihood profile range, per cent either side (default 50)");
    add_text_option(sub, "--ward", "narrow the estimate to this unsurveyed ward");
    add_text_option(sub, "--bootstrap", "bootstrap prediction limits from this many replicates (default 0: none)");
    add_text_option(sub, "--seed", "seed of the bootstrap, 0..18446744073709551615 (default 1)");
}

ReportOptions parse(const CLI::App& given) {
    ReportOptions o;
    o.file = option_text(given, "FILE");
    o.pdf = option_text(given, "--pdf");
    o.dist = option_distribution(option_text(given, "--dist", "lognormal"));
    o.free = split_list(option_text(given, "--free", "0"));
    if (option_given(given, "--start")) o.start = option_boxes(option_text(given, "--start"), "--start");
    o.range_percent = option_range(option_text(given, "--range", "50"));
    o.ward = option_text(given, "--ward");
    o.bootstrap_reps = static_cast<int>(option_whole(option_text(given, "--bootstrap", "0"), "--bootstrap", 0, 1000000));
    if (option_given(given, "--seed")) o.seed = option_seed(option_text(given, "--seed"));
    return o;
}

// The PDF writer wants Qt's fonts, and so a GUI application: off screen where there is no
// display to show anything on.
void ensure_gui_application() {
    if (QGuiApplication::instance()) return;
#if defined(__linux__)
    if (!std::getenv("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    static int argc = 1;
    static char name[] = "valdmora-batch";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QGuiApplication> app = std::make_unique<QGuiApplication>(argc, argv);
}

int run(const ReportOptions& o) {
    refuse_clashes(o.file, {{"--pdf", o.pdf}});
    Session s;
    s.read_file(o.file);
    s.choose_distribution(o.dist);
    if (o.start) s.set_values(*o.start);
    s.set_free(o.free);
    ClickSettings settings;
    settings.data_path = o.file;
    settings.ward = o.ward;
    settings.range_percent = o.range_percent;
    settings.bootstrap_reps = o.bootstrap_reps;
    settings.bootstrap_seed = o.seed;
    const ClickServices sv = services();
    ClickResult r = s.click(settings, sv);
    std::vector<Notice> notices = s.notices();
    const std::vector<Notice> own = click_notices(r);
    notices.insert(notices.end(), own.begin(), own.end());
    int status = r.ward_missing || !r.fit_ok ? 1 : 0;
    std::cout << shown(batch_likelihood_line(r, s.format())) << "\n" << shown(r.label8) << "\n";
    s.keep(r);

    ensure_gui_application();
    ReportInput in;
    in.form = &s.form();
    in.models = compare_models(s.state(), s.predictors(), sv, s.format());
    in.date = QDate::currentDate().toString(Qt::ISODate).toStdString();
    in.version = VALDMORA_VERSION;
    const std::string e = write_report_pdf(in, o.pdf);
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

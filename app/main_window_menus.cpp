// SPDX-License-Identifier: GPL-3.0-or-later
// The window's menus and the work behind them: files, charts, the table of models and the
// model check.
#include <QAction>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>

#include "charts/charts.h"
#include "cycle/atomic_file.h"
#include "cycle/text.h"
#include "estimation/dispersion_checks.h"
#include "file_name.h"
#include "help.h"
#include "main_window.h"

#include <QDockWidget>
#include "model_check_window.h"
#include "model_table_dialog.h"
#include "picture_box.h"
#include "qt_text.h"
#include "report/pdf_report.h"
#include "map_pane.h"
#include "spatial/moran.h"

namespace valdmora {

void Form1::create_menus() {
    QMenu* file = menuBar()->addMenu("&File");
    file->setObjectName("menuFile");
    QAction* open = file->addAction("&Open data file…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Open data file", "Count data files (*.txt *.csv);;All files (*)", false);
            if (!path.isEmpty()) open_data_file(path);
        });
    });
    open->setShortcut(QKeySequence::Open);
    recent_menu_ = file->addMenu("Open &recent");
    recent_menu_->setObjectName("menuRecent");
    connect(recent_menu_, &QMenu::aboutToShow, this, [this] {
        recent_menu_->clear();
        const QStringList files = recent_files();
        if (files.isEmpty()) recent_menu_->addAction("(none yet)")->setEnabled(false);
        for (const QString& path : files)
            recent_menu_->addAction(QString(QDir::toNativeSeparators(path)).replace('&', "&&"), this,
                                    [this, path] { guarded([this, path] { open_data_file(path); }); });
    });
    QAction* boundaries = file->addAction("Open ward &boundaries…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Open ward boundaries", "GeoJSON files (*.geojson *.json);;All files (*)", false);
            if (!path.isEmpty()) open_boundaries(path);
        });
    });
    boundaries->setObjectName("openBoundaries");
    connect(map_pane_, &MapPane::saveRequested, this, [this] {
        guarded([this] {
            const QString path = choose_file("Save map", "PNG images (*.png);;SVG drawings (*.svg)", true);
            if (path.isEmpty()) return;
            refuse_clash({path}, "Save map");
            QString error;
            if (!map_pane_->save(path, &error))
                throw UserError(not_written_message("map", to8bit(path), to8bit(error)) + ".", "Save map");
            statusBar()->showMessage("wrote " + QDir::toNativeSeparators(path));
        });
    });
    file->addSeparator();
    save_csv_action_ = file->addAction("Save ward predictions as &CSV…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Save ward predictions as CSV", "CSV files (*.csv)", true);
            if (!path.isEmpty()) save_predictions_csv(path);
        });
    });
    save_charts_action_ = file->addAction("Save charts as &PNG or SVG…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Save charts", "PNG images (*.png);;SVG drawings (*.svg)", true);
            if (!path.isEmpty()) save_charts(path);
        });
    });
    report_action_ = file->addAction("&Export report…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Export report", "PDF documents (*.pdf)", true);
            if (!path.isEmpty()) export_report(path);
        });
    });
    file->addSeparator();
    QAction* quit = file->addAction("&Quit", this, &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);

    QMenu* model = menuBar()->addMenu("&Model");
    model->setObjectName("menuModel");
    compare_action_ = model->addAction("&Compare models…", this, [this] { guarded([this] { compare_models(); }); });
    check_action_ = model->addAction("C&heck model…", this, [this] { guarded([this] { check_model(); }); });
    model->addAction("&Plan a survey…", this, [this] { guarded([this] { plan_survey(); }); })->setObjectName("planSurvey");
    model->addSeparator();
    // the bench's original draws unless asked: older seeded series were drawn with them
    exact_generator_action_ = model->addAction("Simulate with &exact draws from the model");
    exact_generator_action_->setObjectName("exactGenerator");
    exact_generator_action_->setCheckable(true);
    exact_generator_action_->setToolTip(
        "Simulated counts drawn from the fitted model itself (gamma-Poisson, normal with SD e, lognormal with CV e) "
        "instead of the bench's original sums of uniforms");

    // a closed pane comes back from here, not only from the menu bar's context menu
    QMenu* view = menuBar()->addMenu("&View");
    view->setObjectName("menuView");
    QAction* pane = results_dock_->toggleViewAction();
    pane->setText("&Results pane");
    pane->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    view->addAction(pane);
    if (auto* map = findChild<QDockWidget*>("mapDock")) {
        QAction* map_pane = map->toggleViewAction();
        map_pane->setText("&Map");
        view->addAction(map_pane);
    }

    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("menuHelp");
    QAction* start = help->addAction("From a survey to an &estimate", this, [this] { show_help("start"); });
    start->setShortcut(QKeySequence::HelpContents);
    help->addAction("The count data &file", this, [this] { show_help("datafile"); });
    help->addAction("What the &charts show", this, [this] { show_help("charts"); });
    help->addAction("&Planning a survey: how many wards and which", this, [this] { show_help("plan"); });
    help->addSeparator();
    help->addAction("&About valdmora", this, [this] { show_help("about"); });

    for (PictureBox* box : {picCount, picLL, picLegend})
        connect(box, &PictureBox::saveRequested, this, [this](PictureBox* b) {
            guarded([this, b] {
                const QString path = choose_file("Save chart", "PNG images (*.png);;SVG drawings (*.svg)", true);
                if (path.isEmpty()) return;
                refuse_clash({path}, "Save chart");
                QString error;
                const QString title = chart_title(b);
                const PictureBox* key = b == picCount ? picLegend : nullptr;
                const bool ok = path.endsWith(".svg", Qt::CaseInsensitive) ? b->export_svg(path, title, key, &error)
                                                                           : b->export_png(path, title, key, &error);
                if (!ok) throw UserError(not_written_message("chart", to8bit(path), to8bit(error)) + ".",
                                         "Save chart");
                statusBar()->showMessage("wrote " + QDir::toNativeSeparators(path));
            });
        });
}


std::vector<NamedPath> Form1::kept_files() const {
    // the data held and the estimate's own files are never replaced by a save
    std::vector<NamedPath> kept{{"the estimate's file", kPredictionsFile}, {"the estimate's file", kUserFile},
                                {"the estimate's file", kDogsPresentFile}};
    if (form_.state().has_data_file()) kept.insert(kept.begin(), {"the data file", form_.data_file()});
    return kept;
}

void Form1::refuse_clash(const QStringList& paths, const char* title) const {
    std::vector<NamedPath> outputs;
    for (const QString& p : paths) outputs.push_back({"the file", engine_path(p)});
    const std::string clash = output_clash(kept_files(), outputs);
    if (!clash.empty()) throw UserError(clash, title);
}

QString Form1::choose_file(const QString& title, const QString& filter, bool save) {
    QString chosen_filter = filter.section(";;", 0, 0);
    QString path = file_chooser_ ? file_chooser_(title, filter, save)
                   : save        ? QFileDialog::getSaveFileName(this, title, QString(), filter, &chosen_filter)
                                 : QFileDialog::getOpenFileName(this, title, QString(), filter);
    // a name typed without an ending gets the chosen kind's, so that the file is what was chosen
    if (save && !path.isEmpty() && QFileInfo(path).suffix().isEmpty()) {
        const QRegularExpressionMatch m = QRegularExpression(R"(\*\.(\w+))").match(chosen_filter);
        if (m.hasMatch()) path += "." + m.captured(1);
    }
    return path;
}

void Form1::show_help(const QString& topic) { HelpDialog::show_topic(this, topic); }

void Form1::save_predictions_csv(const QString& path) {
    const ClickResult* r = form_.result();
    if (!r || r->estimate.ward_predictions.empty())
        throw UserError("There are no ward predictions yet: estimate first.", "Save ward predictions");
    // predictions of an estimate no longer on show would be taken for the data shown
    if (!form_.result_current())
        throw UserError(form_.out_of_date_line() + " The ward predictions are not saved until then.",
                        "Save ward predictions");
    refuse_clash({path}, "Save ward predictions");
    const std::string e = write_file_atomically(engine_path(path), ward_predictions_csv(r->estimate.ward_predictions));
    if (!e.empty())
        throw UserError(not_written_message(to8bit(path), e),
                        "Save ward predictions");
    statusBar()->showMessage("wrote " + QDir::toNativeSeparators(path));
}

void Form1::save_charts(const QString& path) {
    if (picCount->empty() && picLL->empty())
        throw UserError("There are no charts to save yet: they are drawn by an estimate.", "Save charts");
    const QFileInfo info(path);
    const bool svg = info.suffix().compare("svg", Qt::CaseInsensitive) == 0;
    const QString stem = info.dir().filePath(info.completeBaseName());
    const QString suffix = svg ? ".svg" : ".png";
    refuse_clash({stem + "-counts" + suffix, stem + "-likelihood" + suffix}, "Save charts");
    QStringList written;
    for (auto [box, name] : {std::pair{picCount, "-counts"}, std::pair{picLL, "-likelihood"}}) {
        const QString file = stem + name + suffix;
        QString error;
        const QString title = chart_title(box);
        const PictureBox* key = box == picCount ? picLegend : nullptr;
        const bool ok = svg ? box->export_svg(file, title, key, &error) : box->export_png(file, title, key, &error);
        if (!ok) {
            // say what did get written, so that no one takes a lone chart for the pair
            const std::string done = written.isEmpty() ? "" : " (" + to8bit(written.join(", ")) + " was written)";
            throw UserError(not_written_message("chart", to8bit(file), to8bit(error)) + done + ".",
                            "Save charts");
        }
        written << QDir::toNativeSeparators(file);
    }
    statusBar()->showMessage("wrote " + written.join(" and "));
}

bool Form1::make_model_table(const QString& what) {
    ClickServices services;
    services.library = model_library();
    const EstimationState copy = form_.state();
    const std::vector<std::string> names = form_.predictor_names();
    const NumberFormat fmt = form_.format();
    std::optional<ModelTable> table = task_.run<ModelTable>(what, [&](const Progress& progress) {
        ClickServices sv = services;
        sv.progress = progress;
        return valdmora::compare_models(copy, names, sv, fmt);
    });
    if (!table) return false;
    models_ = std::move(table);
    models_data_version_ = form_.data_version();
    return true;
}

void Form1::compare_models() {
    if (!form_.state().has_data_file() || form_.state().n_surveyed == 0)
        throw UserError("Read a count data file first: the models are compared on its surveyed wards.", "Compare models");
    if (!make_model_table("Comparing models")) return;
    ModelTable table = *models_;
    auto* dialog = new ModelTableDialog(std::move(table), form_.format(), this);
    if (models_dialog_) models_dialog_->close();
    models_dialog_ = dialog;
    dialog->set_kept_files(kept_files());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &ModelTableDialog::useModel, this, [this](const ModelRow& row) { guarded([this, row] { use_model(row); }); });
    dialog->show();
}

QString Form1::chart_title(const PictureBox* box) const {
    const QString what = box == picCount ? "Counts" : box == picLL ? "Profile log likelihood of the unsurveyed wards' total" : "Key";
    const ResultOrigin* o = form_.result_origin();
    if (!o) return what;
    return what + " — " + from8bit(o->data_name) + ", " + from8bit(form_.model_words(*o)) +
           (form_.result_current() ? QString() : " (out of date)");
}

void Form1::export_report(const QString& path) {
    if (!form_.result()) throw UserError("There is no estimate to report yet: estimate first.", "Export report");
    refuse_clash({path}, "Export report");
    // the table of models of the data on show: the one made, or made now
    if (!models_ || models_data_version_ != form_.result_origin()->data_version) {
        if (form_.result_origin()->simulated || !form_.result_current()) {
            models_.reset();
        } else if (!make_model_table("Comparing models for the report")) {
            return;  // cancelled: no report
        }
    }
    ReportInput in;
    in.form = &form_;
    in.models = models_;
    // the model check's verdicts, of the estimate reported
    {
        const EstimateResult& r = form_.result()->estimate;
        const ModelLibrary library = model_library();
        const NumberFormat fmt = form_.format();
        std::optional<DispersionChecks> checks = task_.run<DispersionChecks>("Checking the model for the report", [&](const Progress&) {
            return dispersion_checks(r.state, r.par_value, r.lower_bound, r.upper_bound, r.free_pos, library, 1, fmt);
        });
        if (!checks) return;  // cancelled: no report
        in.checks = std::move(checks);
    }
    if (plan_ && plan_data_version_ == form_.result_origin()->data_version) in.plan = plan_;
    in.date = QDate::currentDate().toString(Qt::ISODate).toStdString();
    in.version = VALDMORA_VERSION;
    if (map_pane_->map() && map_pane_->boundaries()) {
        in.map = map_pane_->map();
        const EstimateResult& r = form_.result()->estimate;
        const Residuals res = model_residuals(r.state, r.par_value, static_cast<long>(r.free_pos.size()), 1);
        in.map_sentence = spatial_check_sentence(spatial_check(res.ward, res.pearson, *map_pane_->boundaries()),
                                                 form_.format());
    }
    const std::string e = write_report_pdf(in, engine_path(path));
    if (!e.empty()) throw UserError(not_written_message(to8bit(path), e), "Export report");
    statusBar()->showMessage("wrote " + QDir::toNativeSeparators(path));
}

void Form1::use_model(const ModelRow& row) {
    if (task_.busy()) return;  // the running work was given the boxes as they were
    form_.use_model(row);
    render();
    statusBar()->showMessage("The model is set: click \"" + Command1->text() + "\" to estimate it.");
}

void Form1::check_model() {
    if (!form_.result())
        throw UserError("There is no estimate to check yet: estimate first.", "Check model");
    const EstimateResult& r = form_.result()->estimate;
    const Residuals residuals = model_residuals(r.state, r.par_value, static_cast<long>(r.free_pos.size()), 1);
    if (!check_window_) {
        check_window_ = new ModelCheckWindow(this);
        check_window_->setFont(font());
    }
    check_window_->show_residuals(residuals, form_.format(), r.state.err_dist);
    const DispersionChecks checks =
        dispersion_checks(r.state, r.par_value, r.lower_bound, r.upper_bound, r.free_pos,
                          model_library(), 1, form_.format());
    std::string sentences = checks.simulated.available ? checks.simulated.sentence : "";
    if (checks.poisson.available) sentences = checks.poisson.sentence + "\n" + sentences;
    if (map_pane_->boundaries())
        sentences += "\n" + spatial_check_sentence(spatial_check(residuals.ward, residuals.pearson, *map_pane_->boundaries()),
                                                   form_.format());
    // the checks are of the estimate on show; when that is out of date, they say so first
    check_window_->show_checks(sentences);
    check_window_->set_out_of_date(from8bit(form_.out_of_date_line()));
    check_window_->show();
    check_window_->raise();
}

namespace {
std::vector<std::string> ward_names_of(const EstimationState& s) {
    std::vector<std::string> wards = s.surveyed_name.values();
    wards.insert(wards.end(), s.unsurveyed_name.values().begin(), s.unsurveyed_name.values().end());
    return wards;
}
}  // namespace

void Form1::open_boundaries(const QString& path) {
    if (task_.busy()) return;
    const std::string file = engine_path(path);
    const std::vector<std::string> wards = ward_names_of(form_.state());
    struct Read {
        BoundaryFile file;
        std::optional<WardBoundaries> matched;
    };
    // a large file is read and matched off the window's thread; Cancel, or boundaries that
    // cannot be read or matched, keep those held
    std::optional<Read> read = task_.run<Read>("Reading ward boundaries", [&file, &wards](const Progress& progress) {
        Read r{read_boundary_file(file, [&progress](std::size_t) { progress.check_cancel(); }), std::nullopt};
        progress.check_cancel();
        if (!wards.empty()) r.matched = match_wards(r.file, wards);
        return r;
    });
    if (!read) return;
    boundary_file_ = std::move(read->file);
    map_pane_->set_boundaries(std::move(read->matched), QFileInfo(path).absoluteFilePath());
    show_map();
    if (!map_pane_->boundaries()) {
        statusBar()->showMessage(QString("read %1: %2 boundaries, to be matched to the wards of the data read next")
                                     .arg(QDir::toNativeSeparators(path))
                                     .arg(boundary_file_->features.size()));
        return;
    }
    if (form_.state().has_data_file())
        QSettings().setValue(data_file_setting(from8bit(form_.data_file()), "boundaries"), QFileInfo(path).absoluteFilePath());
    for (const std::string& n : map_pane_->boundaries()->notices) show_message({"Ward boundaries", n, "", false});
    const WardBoundaries& b = *map_pane_->boundaries();
    QString status = QString("read %1: %2 wards matched by \"%3\"")
                         .arg(QDir::toNativeSeparators(path))
                         .arg(b.shapes.size())
                         .arg(from8bit(b.name_property));
    const auto names = [](const std::vector<std::string>& v) {
        QStringList l;
        for (const std::string& s : v) l << from8bit(s);
        return l.join(", ");
    };
    if (!b.wards_without_boundary.empty()) status += "; without a boundary: " + names(b.wards_without_boundary);
    if (!b.boundaries_without_ward.empty()) status += "; boundaries without a ward: " + names(b.boundaries_without_ward);
    statusBar()->showMessage(status);
}

void Form1::match_boundaries() {
    if (!boundary_file_) return;
    const std::vector<std::string> wards = ward_names_of(form_.state());
    if (wards.empty()) return;
    // the match of other data is void whatever comes of this one
    const QString path = map_pane_->boundaries_path();
    map_pane_->set_boundaries(std::nullopt, path);
    const BoundaryFile& file = *boundary_file_;
    std::optional<WardBoundaries> matched = task_.run<WardBoundaries>(
        "Matching ward boundaries", [&file, &wards](const Progress&) { return match_wards(file, wards); });
    map_pane_->set_boundaries(std::move(matched), path);
    show_map();
}

void Form1::show_map() {
    const ClickResult* r = form_.result();
    const std::string heading = r ? form_.result_origin()->data_name + ": " +
                                        std::string(distribution(r->estimate.state.err_dist).name) + " model"
                                  : std::string();
    map_pane_->set_estimate(r ? &r->estimate : nullptr, heading, form_.format());
}

}  // namespace valdmora

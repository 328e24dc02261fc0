// SPDX-License-Identifier: GPL-3.0-or-later
#include "main_window.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCompleter>
#include <QCryptographicHash>
#include <QDir>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <mutex>
#include <thread>

#include "background_task.h"
#include "charts/charts.h"
#include "cycle/atomic_file.h"
#include "file_name.h"
#include "cycle/command_cycle.h"
#include "cycle/count_file.h"
#include "cycle/distributions.h"
#include "cycle/mode_rules.h"
#include "cycle/number_format.h"
#include "cycle/output_paths.h"
#include "cycle/text.h"
#include "cycle/user_error.h"
#include "estimation/dispersion_checks.h"
#include "estimation/progress.h"
#include "help.h"
#include "model_check_window.h"
#include "map_pane.h"
#include "model_table_dialog.h"
#include "picture_box.h"
#include "results_pane.h"
#include "qt_text.h"

namespace valdmora {


namespace {

constexpr int kRecentFiles = 8;
constexpr int kBootstrapReps = 1000;
const QColor kOutOfDate(150, 150, 150);

NumberFormat locale_number_format() {
    NumberFormat fmt;
    const QString point = QLocale().decimalPoint();
    const QString group = QLocale().groupSeparator();
    fmt.decimal = point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode()) : '.';
    fmt.group = group.size() == 1 && group[0].unicode() < 128 ? static_cast<char>(group[0].unicode()) : ',';
    return fmt;
}

// A box whose text is not understood: a red outline, and a tooltip saying what is expected.
void mark_problem(QLineEdit* e, const std::string& problem) {
    if (!e->property("plainToolTip").isValid()) e->setProperty("plainToolTip", e->toolTip());
    const bool bad = !problem.empty();
    e->setProperty("notUnderstood", bad);
    e->setStyleSheet(bad ? "QLineEdit { border: 2px solid #d00000; }" : "");
    e->setToolTip(bad ? from8bit(problem) : e->property("plainToolTip").toString());
    e->setAccessibleDescription(bad ? from8bit(problem) : QString());
}

// A result text shown and told: a screen reader reads a label's name, so the name carries
// the text after what the label is, and its change is announced.
void announce(QLabel* label, const QString& text) {
    label->setText(text);
    if (!label->property("plainAccessibleName").isValid()) label->setProperty("plainAccessibleName", label->accessibleName());
    label->setAccessibleName(label->property("plainAccessibleName").toString() + ": " + text);
    QAccessibleEvent changed(label, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

void set_text_if_changed(QLineEdit* e, const std::string& text) {
    const QString t = from8bit(text);
    if (e->text() != t) e->setText(t);
}

}  // namespace

Form1::Form1(QWidget* parent, const QString& face) : QMainWindow(parent), form_(locale_number_format()) {
    setWindowTitle("valdmora V1.01");
    setAcceptDrops(true);
    create_controls(this, face, form_.format(), kBootstrapReps);
    // the results pane beside the charts; it can be closed, moved or floated
    results_pane_ = new ResultsPane(this);
    auto* dock = results_dock_ = new QDockWidget("Results", this);
    dock->setObjectName("resultsDock");
    dock->setWidget(results_pane_);
    dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    addDockWidget(Qt::RightDockWidgetArea, dock);
    resizeDocks({dock}, {300}, Qt::Horizontal);
    map_pane_ = new MapPane(this);
    auto* map_dock = new QDockWidget("Map", this);
    map_dock->setObjectName("mapDock");
    // in a scroll area: the map's row of options must not widen the dock past a laptop's room
    auto* map_scroll = new QScrollArea(map_dock);
    map_scroll->setWidgetResizable(true);
    map_scroll->setFrameShape(QFrame::NoFrame);
    map_scroll->setWidget(map_pane_);
    map_dock->setWidget(map_scroll);
    map_dock->setFeatures(dock->features());
    tabifyDockWidget(dock, map_dock);
    dock->raise();
    // extra width goes to the results pane; extra height to the charts (eventFilter)
    auto* scroll = qobject_cast<QScrollArea*>(centralWidget());
    viewport_ = scroll->viewport();
    viewport_->installEventFilter(this);
    connect(dock, &QDockWidget::visibilityChanged, this, [this] { cap_form_width(); });
    connect(dock, &QDockWidget::topLevelChanged, this, [this] { cap_form_width(); });
    create_menus();
    describe_controls();
    set_focus_order();
    connect_handlers();
    render();
    statusBar()->showMessage("Name a count data file and click \"read data from file\", or empty the path to simulate.");
    Command1->setFocus();
}

Form1::~Form1() {
    // closing while being destroyed hides the pane: nothing of this window may answer that
    if (results_dock_) results_dock_->disconnect(this);
}

bool Form1::eventFilter_viewport(QEvent* event) {
    if (event->type() == QEvent::Resize) {
        // the charts take the height the window gains, and are drawn again at their new size
        if (grow_charts_to(static_cast<QResizeEvent*>(event)->size().height())) redraw_charts();
    }
    return false;
}

bool Form1::restore_window() {
    const QSettings settings;
    const QByteArray geometry = settings.value("windowGeometry").toByteArray();
    if (geometry.isEmpty() || !restoreGeometry(geometry)) return false;
    restoreState(settings.value("windowState").toByteArray());
    return true;
}

void Form1::cap_form_width() {
    // while the results pane is docked, it takes the width the form does not need
    auto* scroll = qobject_cast<QScrollArea*>(centralWidget());
    const bool docked = results_dock_->isVisible() && !results_dock_->isFloating();
    scroll->setMaximumWidth(docked ? page_->width() + scroll->verticalScrollBar()->sizeHint().width() + 2 * scroll->frameWidth() + 2
                                   : QWIDGETSIZE_MAX);
}

void Form1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // the pane takes what the form leaves of the window's width, so that the form need not scroll
    const int room = width() - page_->width() - 24;
    if (room >= 220) resizeDocks({results_dock_}, {room}, Qt::Horizontal);
}

void Form1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    place_results_pane();
}

void Form1::place_results_pane() {
    // Too narrow for the form and the pane side by side (1024 pixels and less): the pane
    // goes below the form, and back beside it when the window is widened again.
    if (!results_dock_ || results_dock_->isFloating()) return;
    const bool narrow = width() < page_->width() + narrow_shift_ + 24 + 220;  // as if not shifted
    const Qt::DockWidgetArea area = dockWidgetArea(results_dock_);
    // the panes tabbed with the results go with them
    QList<QDockWidget*> tabbed = tabifiedDockWidgets(results_dock_);
    auto move_to = [&](Qt::DockWidgetArea to) {
        // the tab on show stays on show; before the window is, the results' tab is
        QDockWidget* current = results_dock_;
        for (QDockWidget* d : tabbed)
            if (!d->visibleRegion().isEmpty()) current = d;
        addDockWidget(to, results_dock_);
        for (QDockWidget* d : tabbed)
            if (!d->isFloating()) tabifyDockWidget(results_dock_, d);
        current->raise();
    };
    set_narrow(narrow);
    if (narrow && area == Qt::RightDockWidgetArea) {
        move_to(Qt::BottomDockWidgetArea);
        resizeDocks({results_dock_}, {110}, Qt::Vertical);
        pane_moved_below_ = true;
    } else if (!narrow && pane_moved_below_ && area == Qt::BottomDockWidgetArea) {
        move_to(Qt::RightDockWidgetArea);
        resizeDocks({results_dock_}, {std::max(220, width() - page_->width() - 24)}, Qt::Horizontal);
        pane_moved_below_ = false;
    }
    cap_form_width();
}

ModelLibrary Form1::model_library() const { return model_binder_ ? model_binder_() : bind_model_library(); }

template <class F>
void Form1::form_rule(F&& rule) {
    if (rendering_) return;
    guarded(std::forward<F>(rule));
    render();
}

void Form1::connect_handlers() {
    connect(Command1, &QPushButton::clicked, this, [this] { guarded([this] { Command1_Click(); }); });
    for (int i = 0; i < 3; ++i)
        connect(optErr[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (on) form_rule([this, i] { form_.choose_distribution(kDistributions[static_cast<std::size_t>(i)].dist); });
        });
    connect(chkJustEstimate, &QCheckBox::toggled, this,
            [this](bool on) { form_rule([this, on] { form_.set_just_estimate(on); }); });
    connect(txtData, &QLineEdit::textChanged, this, [this](const QString& text) {
        form_rule([this, text] {
            form_.set_path(engine_path(text));
            if (!text.isEmpty() && form_.mode() == FormMode::read_file && form_.state().has_data_file())
                statusBar()->showMessage("The next click reads " + text + ".");
        });
    });
    for (int i = 0; i < 6; ++i) {
        connect(txtBeta[i], &QLineEdit::textChanged, this,
                [this, i](const QString& text) { form_rule([this, i, text] { form_.set_box(i, to8bit(text)); }); });
        txtBeta[i]->installEventFilter(this);
    }
    connect(txtRange, &QLineEdit::textChanged, this,
            [this](const QString& text) { form_rule([this, text] { form_.set_range(to8bit(text)); }); });
    connect(txtN_surveys, &QLineEdit::textChanged, this,
            [this](const QString& text) { form_rule([this, text] { form_.set_surveys(to8bit(text)); }); });
    connect(txtWard, &QLineEdit::textChanged, this,
            [this](const QString& text) { form_rule([this, text] { form_.set_ward(to8bit(text)); }); });
    txtRange->installEventFilter(this);
    Label10->installEventFilter(this);
    Label6->installEventFilter(this);
    // Enter in the path box or any box clicks the button, the box's text taken as left
    connect(txtData, &QLineEdit::returnPressed, this, [this] { guarded([this] { Command1_Click(); }); });
    for (int i = 0; i < 6; ++i)
        connect(txtBeta[i], &QLineEdit::returnPressed, this, [this, i] {
            form_rule([this, i] { form_.leave_box(i); });
            guarded([this] { Command1_Click(); });
        });
    connect(txtRange, &QLineEdit::returnPressed, this, [this] {
        form_rule([this] { form_.leave_range(); });
        guarded([this] { Command1_Click(); });
    });
    for (QLineEdit* e : {txtWard, txtN_surveys})
        connect(e, &QLineEdit::returnPressed, this, [this] { guarded([this] { Command1_Click(); }); });
    for (int i = 0; i < 5; ++i)
        connect(chkBeta[i], &QCheckBox::toggled, this, [this, i](bool on) {
            form_rule([this, i, on] {
                form_.set_tick(i, on);
                chkBeta_Click(i);
            });
        });
    connect(chkZero, &QCheckBox::toggled, this, [this](bool on) {
        form_rule([this, on] {
            form_.set_origin_at_zero(on);
            // the chart on show is drawn again at once, without estimating again
            if (counts_chart_) {
                counts_chart_->origin_at_zero = on;
                redraw_charts();
            }
        });
    });
    connect(chkBootstrap, &QCheckBox::toggled, this,
            [this](bool on) { form_rule([this, on] { form_.set_bootstrap(on ? kBootstrapReps : 0); }); });
    // the sighting group: any change of it is the form's sighting as a whole
    auto sighting_changed = [this] {
        form_rule([this] {
            form_.set_sighting({grpSighting->isChecked(), optSightCounts->isChecked(), to8bit(txtMarked->text()),
                                to8bit(txtSeen->text()), to8bit(txtProportion->text()), to8bit(txtProportionSE->text())});
        });
    };
    connect(grpSighting, &QGroupBox::toggled, this, sighting_changed);
    connect(optSightCounts, &QRadioButton::toggled, this, sighting_changed);
    for (QLineEdit* e : {txtMarked, txtSeen, txtProportion, txtProportionSE}) {
        connect(e, &QLineEdit::textChanged, this, sighting_changed);
        connect(e, &QLineEdit::returnPressed, this, [this] { guarded([this] { Command1_Click(); }); });
    }
    connect(exact_generator_action_, &QAction::toggled, this, [this](bool on) {
        form_rule([this, on] { form_.set_generator(on ? Generator::exact : Generator::classic); });
    });
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == viewport_) eventFilter_viewport(event);
    // A group's caption takes the focus to its group: its Alt key would otherwise click the
    // buddy button, ticking the constant or choosing the lognormal by surprise.
    if (event->type() == QEvent::Shortcut && (watched == Label10 || watched == Label6)) {
        QWidget* target = watched == Label10 ? static_cast<QWidget*>(optErr[dist_index(form_.distribution())]) : chkBeta[0];
        if (target->isVisible()) target->setFocus(Qt::ShortcutFocusReason);
        return true;
    }
    if (event->type() == QEvent::FocusOut) {
        // Focus moving to another window (a message box, another program) is not a
        // loss of focus within the form.
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (watched == txtRange) form_rule([this] { form_.leave_range(); });
            for (int i = 0; i < 6; ++i)
                if (watched == txtBeta[i]) form_rule([this, i] { form_.leave_box(i); });
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::render() {
    // the map follows the estimate held, which may have gone
    if (map_pane_ && map_pane_->estimate() != (form_.result() ? &form_.result()->estimate : nullptr)) show_map();
    rendering_ = true;
    Command1->setText(from8bit(form_.caption()));
    Command1->setAccessibleName(Command1->text());
    for (int i = 0; i < 6; ++i) set_text_if_changed(txtBeta[i], form_.box(i));
    for (int i = 0; i < 5; ++i) chkBeta[i]->setChecked(form_.tick(i));
    optErr[dist_index(form_.distribution())]->setChecked(true);
    lblExtraParam->setText(from8bit(form_.extra_name()));
    for (int j = 1; j <= form_.shown().predictors; ++j) {
        const QString name = from8bit(form_.predictor_label(j));
        lblBeta[j]->setText(name);
        chkBeta[j]->setAccessibleName("Estimate the coefficient of " + name);
        txtBeta[j]->setAccessibleName("Coefficient of " + name);
    }
    chkJustEstimate->setChecked(form_.just_estimate());
    set_text_if_changed(txtRange, form_.range());
    const SightingForm& sighting = form_.sighting();
    grpSighting->setChecked(sighting.on);
    (sighting.from_counts ? optSightCounts : optSightShare)->setChecked(true);
    set_text_if_changed(txtMarked, sighting.marked);
    set_text_if_changed(txtSeen, sighting.seen);
    set_text_if_changed(txtProportion, sighting.proportion);
    set_text_if_changed(txtProportionSE, sighting.se);
    for (int i = 0; i < 6; ++i) mark_problem(txtBeta[i], form_.box_problem(i));
    mark_problem(txtRange, form_.range_problem());

    const FormShown& shown = form_.shown();
    for (QWidget* w : std::initializer_list<QWidget*>{Label10, chkBeta[0], txtBeta[0], lblBeta[0], txtBeta[5], Label6,
                                                      lblExtraParam})
        w->setVisible(shown.model);
    for (QWidget* w : optErr) w->setVisible(shown.model);
    for (int j = 1; j <= 4; ++j)
        for (QWidget* w : std::initializer_list<QWidget*>{chkBeta[j], txtBeta[j], lblBeta[j]})
            w->setVisible(shown.model && j <= shown.predictors);
    txtN_surveys->setVisible(shown.surveys);
    Label2->setVisible(shown.surveys);
    chkJustEstimate->setVisible(shown.reestimate);
    lblJustEstimate->setVisible(shown.reestimate);
    lblTotSimDog->setVisible(shown.sim_summary);
    // the headline in words beside the estimate's own line, where no simulation summary is shown
    {
        const ClickResult* shown_result = form_.result();
        const QString headline = shown_result && !shown.sim_summary
                                     ? from8bit(valdmora::headline(shown_result->estimate, form_.format()))
                                     : QString();
        if (lblHeadline->text() != headline) announce(lblHeadline, headline);
        lblHeadline->setVisible(!headline.isEmpty());
    }
    txtWard->setVisible(shown.ward);
    lblWard->setVisible(shown.ward);

    // results that no longer belong to the data and model shown are washed out and say so
    const std::string line = form_.out_of_date_line();
    const bool stale = !line.empty();
    const ClickResult* r = form_.result();
    set_text_colour(Label7, stale ? kOutOfDate : QColor(0, 0, 0));
    set_text_colour(lblIntervals, stale ? kOutOfDate : QColor(0, 0, 0));
    set_text_colour(lblHeadline, stale ? kOutOfDate : QColor(0, 0, 0));
    set_text_colour(lblTotSimDog, stale ? kOutOfDate : QColor(0, 192, 0));
    set_text_colour(Label8, stale ? kOutOfDate
                            : r   ? QColor(r->label8_colour.r, r->label8_colour.g, r->label8_colour.b)
                                  : QColor(255, 0, 0));
    for (QLabel* l : {Label7, Label8, lblIntervals}) l->setAccessibleDescription(from8bit(line));
    picCount->set_out_of_date(counts_chart_is_result_ ? from8bit(line) : QString());
    picLL->set_out_of_date(from8bit(line));
    // the views in windows of their own are of the data they were made of, or say not
    if (models_dialog_)
        models_dialog_->set_out_of_date(
            models_data_version_ == form_.data_version()
                ? QString()
                : "Out of date: this table is of data the window no longer holds. Compare the models again "
                  "(Model > Compare models…) for a table of the data shown.");
    if (check_window_) check_window_->set_out_of_date(from8bit(line));
    // the summary is worked out again only when the result or its standing changes, not at
    // every key typed (its residuals run over every surveyed ward)
    if (r != summarised_result_ || line != summarised_line_) {
        results_pane_->show_summary(results_summary(form_));
        summarised_result_ = r;
        summarised_line_ = line;
    }
    // before anything is read or simulated, the empty chart says what to do
    picCount->set_placeholder(form_.state().has_data_file() || r || form_.path().empty()
                                  ? QString()
                                  : "Open a count data file with File → Open data file (Ctrl+O), drop it here, or type its "
                                    "path above and press Enter.\nTo simulate surveys instead, empty the path.\n"
                                    "F1 shows how to go from a survey to an estimate.");
    // what cannot work yet is greyed
    save_csv_action_->setEnabled(r && !r->estimate.ward_predictions.empty());
    save_charts_action_->setEnabled(r != nullptr);
    report_action_->setEnabled(r != nullptr);
    check_action_->setEnabled(r != nullptr);
    compare_action_->setEnabled(form_.state().has_data_file() && form_.state().n_surveyed > 0);
    rendering_ = false;
    fit_layout();
    cap_form_width();
}

void Form1::Command1_Click() {
    // the form's own box takes 1 to 99 %: what it marked is refused, not estimated
    if (form_.next_click() != ClickAction::ReadFile && !form_.range_problem().empty() && form_.ward().empty())
        throw UserError(form_.range_problem(), "Estimate");
    switch (form_.next_click()) {
        case ClickAction::ReadFile: read_data_file(); break;
        case ClickAction::SimulateAndEstimate: run_estimation(); break;
        case ClickAction::Estimate:
            // as an editor does: a file changed since it was read is offered again
            if (data_file_changed()) {
                if (ask("Data file changed",
                        QDir::toNativeSeparators(stamped_file_) +
                            " has changed on disk since it was read. Read it again and estimate from what it holds "
                            "now?\n\nNo estimates from the copy read before.")) {
                    read_data_file();
                    render();
                } else {
                    stamp_data_file();  // asked once for this change
                }
            }
            run_estimation();
            break;
    }
}

QString data_file_setting(const QString& data_file, const QString& name) {
    const QByteArray path = QFileInfo(data_file).absoluteFilePath().toUtf8();
    return "files/" + QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex()) + "/" + name;
}

void Form1::remember_file_settings() {
    // what was estimated is what the file opens with next time
    if (!form_.state().has_data_file() || form_.result_origin() == nullptr || form_.result_origin()->simulated) return;
    const QString file = from8bit(form_.data_file());
    QSettings settings;
    settings.setValue(data_file_setting(file, "distribution"), QString::fromUtf8(distribution(form_.distribution()).key));
    QString ticks;
    for (int i = 0; i < 5; ++i) ticks += form_.tick(i) ? '1' : '0';
    settings.setValue(data_file_setting(file, "ticks"), ticks);
    settings.setValue(data_file_setting(file, "range"), from8bit(form_.range()));
}

void Form1::restore_file_settings() {
    const QString file = from8bit(form_.data_file());
    const QSettings settings;
    const QString key = settings.value(data_file_setting(file, "distribution")).toString();
    const QString ticks = settings.value(data_file_setting(file, "ticks")).toString();
    const QString range = settings.value(data_file_setting(file, "range")).toString();
    // a value another version wrote, or a hand-edited one, is passed over
    if (const std::optional<Dist> d = distribution_of_key(to8bit(key))) form_.choose_distribution(*d);
    if (ticks.size() == 5 && ticks.count('0') + ticks.count('1') == 5)
        for (int i = 0; i < 5; ++i) form_.set_tick(i, ticks[i] == '1');
    if (!range.isEmpty()) {
        form_.set_range(to8bit(range));
        form_.leave_range();
        if (!form_.range_problem().empty()) {
            form_.set_range("50");
            form_.leave_range();
        }
    }
}

void Form1::stamp_data_file() {
    stamped_file_ = from8bit(form_.data_file());
    const QFileInfo info(stamped_file_);
    stamped_time_ = info.exists() ? info.lastModified() : QDateTime();
    stamped_size_ = info.exists() ? info.size() : -1;
}

bool Form1::data_file_changed() const {
    if (stamped_file_.isEmpty() || !form_.state().has_data_file() || from8bit(form_.data_file()) != stamped_file_)
        return false;
    const QFileInfo info(stamped_file_);
    if (!info.exists()) return false;  // gone: the copy read is all there is
    return info.lastModified() != stamped_time_ || info.size() != stamped_size_;
}

bool Form1::ask(const QString& title, const QString& text) {
    if (question_sink_) return question_sink_(title, text);
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
           QMessageBox::Yes;
}

void Form1::open_data_file(const QString& path) {
    if (task_.busy()) return;
    // the path box shows what is read, and keeps naming the data held when a read fails
    const QString before = txtData->text();
    {
        const QSignalBlocker block(txtData);
        txtData->setText(path);
    }
    try {
        read_data_file();
    } catch (...) {
        const QSignalBlocker block(txtData);
        txtData->setText(before);
        form_.set_path(engine_path(before));
        throw;
    }
}

void Form1::read_data_file() {
    // Read everything first: a failed read leaves the state and the window as they were.
    const QString path = txtData->text();
    const std::vector<Notice> notices = form_.read_file(engine_path(path));
    stamp_data_file();
    restore_file_settings();
    // a chart of the former file's data against its predictor is not of this file
    if (!counts_chart_is_result_) counts_chart_.reset();
    redraw_charts();
    draw_key(form_.state().surveyed_name.values());
    // the ward box completes the file's unsurveyed wards, whatever the letter case typed
    QStringList wards;
    for (const std::string& name : form_.state().unsurveyed_name.values()) wards << from8bit(name);
    delete txtWard->completer();
    auto* completer = new QCompleter(wards, txtWard);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    txtWard->setCompleter(completer);
    setWindowTitle("valdmora V1.01 — " + QFileInfo(path).fileName());
    remember_recent(QFileInfo(path).absoluteFilePath());
    render();
    statusBar()->showMessage(QString("read %1: %2 surveyed and %3 unsurveyed wards, %4 predictors")
                                 .arg(QDir::toNativeSeparators(path))
                                 .arg(QLocale().toString(form_.state().n_surveyed))
                                 .arg(QLocale().toString(form_.state().n_unsurveyed))
                                 .arg(form_.state().n_pred));
    for (const Notice& n : notices) show_message(n);
    // the boundaries read before, or those remembered with this file, on the new wards
    const QString remembered = QSettings().value(data_file_setting(path, "boundaries")).toString();
    if (!remembered.isEmpty() && remembered != map_pane_->boundaries_path())
        guarded([&] { open_boundaries(remembered); });
    else
        guarded([this] { match_boundaries(); });
}

void Form1::closeEvent(QCloseEvent* event) {
    // work in progress is cancelled; the window closes once it has stopped
    if (task_.busy()) {
        task_.cancel();
        close_after_work_ = true;
        event->ignore();
        QTimer::singleShot(50, this, [this] {
            if (close_after_work_) close();
        });
        return;
    }
    if (check_window_) check_window_->close();
    QSettings().setValue("windowGeometry", saveGeometry());
    QSettings().setValue("windowState", saveState());
    QMainWindow::closeEvent(event);
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!task_.busy() && urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    const QString path = urls.front().toLocalFile();
    guarded([this, path] { open_data_file(path); });
}

void Form1::draw_key(const std::vector<std::string>& names, const std::vector<std::string>& lines) {
    // the key of the wards shown now, not over the names of the wards shown before
    picLegend->clear();
    const std::size_t named = std::min<std::size_t>(names.size(), 10);
    plot_key(*picLegend, std::span<const std::string>(names.data(), named), names.size() - named, lines);
    key_has_lines_ = !lines.empty();
}

void Form1::remember_recent(const QString& path) {
    QSettings settings;
    QStringList files = settings.value("recentFiles").toStringList();
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > kRecentFiles) files.removeLast();
    settings.setValue("recentFiles", files);
}

QStringList Form1::recent_files() const { return QSettings().value("recentFiles").toStringList(); }

void Form1::run_estimation() {
    const ClickInput in = form_.click_input();
    ClickServices services;
    services.library = model_library();
    services.random = random_;
    services.reseed_from_clock = reseed_from_clock_;
    const EstimationState copy = form_.state();
    std::optional<ClickResult> result = task_.run<ClickResult>("Estimating", [&](const Progress& progress) {
        ClickServices sv = services;
        sv.progress = progress;
        return run_estimating_click(in, copy, sv);
    });
    if (result) apply_result(std::move(*result));
}

void Form1::apply_result(ClickResult r) {
    // the files first: what could not be written is said, and the rest of the estimate stands
    std::vector<Notice> notices = r.notices;
    QStringList written;
    for (const OutputFile& f : r.files) {
        // a data file that happens to carry an output's name is read, never replaced
        const bool is_data = form_.state().has_data_file() && same_file_as(f.name, {{"the data file", form_.data_file()}});
        const std::string e = is_data ? "it is the data file, which is never replaced" : write_file_atomically(f.name, f.content);
        if (e.empty())
            written.prepend(QString::fromStdString(f.name));  // the predictions, the user's result, named first
        else
            notices.push_back({"Output file",
                               not_written_message(to8bit(QDir::current().absoluteFilePath(QString::fromStdString(f.name))), e),
                               "The rest of the estimate stands; the earlier file, if any, is unchanged.", true});
    }
    if (r.key_names)
        draw_key(*r.key_names, r.key_lines);
    else if (!r.key_lines.empty() || key_has_lines_)  // the dogs present shown, or shown before
        draw_key(r.state().surveyed_name.values(), r.key_lines);
    counts_chart_ = r.counts;
    counts_chart_is_result_ = true;
    announce(Label8, from8bit(r.label8));
    if (r.lbl_tot_sim_dog) announce(lblTotSimDog, from8bit(*r.lbl_tot_sim_dog));
    announce(lblIntervals, from8bit(r.interval_text));
    // a result without a profile (a ward named, no unsurveyed ward) leaves no curve of an
    // earlier estimate behind: the chart says why it is empty
    likelihood_chart_ = r.likelihood;
    {
        const Interval* profile = r.estimate.interval(IntervalKind::profile);
        picLL->set_placeholder(r.likelihood || !profile || profile->limits
                                   ? QString()
                                   : "No likelihood profile for this estimate: " + from8bit(profile->limits.reason()) + ".");
    }
    redraw_charts();
    QString status;
    if (!written.isEmpty())
        status = "wrote " + written.join(" and ") + " in " + QDir::toNativeSeparators(QDir::currentPath());
    for (const Notice& n : notices)
        if (!n.modal) status += (status.isEmpty() ? "" : "; ") + from8bit(n.text);
    statusBar()->showMessage(status);
    form_.apply(std::move(r));
    remember_file_settings();
    summarised_result_ = nullptr;  // a new result in the same place: its summary is new
    announce(Label7, from8bit(form_.result()->label7 + form_.change_note()));
    show_map();
    render();
    for (const Notice& n : notices)
        if (n.modal) show_message(n);
    if (check_window_ && check_window_->isVisible()) check_model();
}

void Form1::chkBeta_Click(int index) {
    if (index <= 0 || index >= 5) return;
    // the counts against the ticked predictor: the data's, not a result's
    const EstimationState& s = form_.state();
    CountsChartData chart;
    chart.heights = s.surveyed_count.values();
    if (index <= s.n_pred) chart.positions = s.surveyed_x.row_values(index);
    chart.title = form_.predictor_label(index);
    chart.origin_at_zero = form_.origin_at_zero();
    counts_chart_ = std::move(chart);
    counts_chart_is_result_ = false;
    redraw_charts();
}

void Form1::redraw_charts() {
    picCount->clear();
    if (counts_chart_) {
        plot_counts(*picCount, *counts_chart_, form_.format());
        // each circle's ward on hovering over it
        const EstimationState& s = counts_chart_is_result_ && form_.result() ? form_.result()->state() : form_.state();
        const std::vector<std::string>& names = s.surveyed_name.values();
        std::vector<QString> point_names;
        for (std::size_t i : counts_point_order(std::min(counts_chart_->heights.size(), names.size())))
            point_names.push_back(from8bit(names[i - 1]));
        picCount->set_point_names(std::move(point_names));
    }
    picLL->clear();
    if (likelihood_chart_) plot_likelihood(*picLL, *likelihood_chart_, form_.format());
}

void Form1::show_message(const Notice& m) {
    if (message_sink_) {
        message_sink_(m);
        return;
    }
    QMessageBox box(QMessageBox::Critical, from8bit(m.title), from8bit(m.text), QMessageBox::Ok, this);
    if (!m.detail.empty()) box.setInformativeText(from8bit(m.detail));
    box.exec();
}

}  // namespace valdmora

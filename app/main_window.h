// SPDX-License-Identifier: GPL-3.0-or-later
// The one window: it forwards every handler to the form state and shows what the form state
// says; the menus, the dialogs and the desktop habits around them.
#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <QPointer>
#include <new>
#include <QRect>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "background_task.h"
#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "cycle/output_paths.h"
#include "cycle/user_error.h"
#include "estimation/click.h"
#include "estimation/model_binding.h"
#include "estimation/model_table.h"
#include "form/form_state.h"
#include "report/plan_text.h"
#include "form_controls.h"
#include "spatial/boundaries.h"

class QAction;
class QDockWidget;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace valdmora {

class MapPane;
class ModelCheckWindow;
class ModelTableDialog;
class PictureBox;
class ResultsPane;
class UniformSource;

// The key under which the window remembers a setting with a data file: one settings group
// per file, named by a hash of its absolute path.
QString data_file_setting(const QString& data_file, const QString& name);

class Form1 : public QMainWindow, private FormControls {
    Q_OBJECT
public:
    // face: the font family to lay the window out in; empty: the best installed.
    explicit Form1(QWidget* parent = nullptr, const QString& face = {});
    ~Form1() override;

    const EstimationState& state() const { return form_.state(); }
    const FormState& form() const { return form_; }
    NumberFormat number_format() const { return form_.format(); }

    // Where messages go; the default shows a critical message box. Tests record them.
    using MessageSink = std::function<void(const Notice&)>;
    void set_message_sink(MessageSink sink) { message_sink_ = std::move(sink); }
    // Where yes-or-no questions are answered; the default asks in a message box.
    using QuestionSink = std::function<bool(const QString& title, const QString& text)>;
    void set_question_sink(QuestionSink sink) { question_sink_ = std::move(sink); }
    // How the model library is bound at a fit; tests stand in a missing or broken one.
    using ModelBinder = std::function<ModelLibrary()>;
    void set_model_binder(ModelBinder binder) { model_binder_ = std::move(binder); }
    // Where file dialogs are answered; tests give the path a user would pick.
    using FileChooser = std::function<QString(const QString& title, const QString& filter, bool save)>;
    void set_file_chooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }

    // Simulations draw from this source without reseeding it (tests); null: the clock.
    void set_random_source(UniformSource* source) {
        random_ = source;
        reseed_from_clock_ = source == nullptr;
    }

    // Reads a data file into the window, as the menu, a drop or the first click do.
    void open_data_file(const QString& path);
    // The table of models of the data read, in a dialog of its own.
    void compare_models();
    // The residual diagnostics of the last estimate, in a window of its own.
    void check_model();
    // Model > Plan a survey: the dialog over the data's wards and the model set.
    void plan_survey();
    // The last estimate's ward predictions as CSV (ward, prediction, lower, upper).
    void save_predictions_csv(const QString& path);
    // The counts and likelihood charts, as PNG or SVG by the name's ending.
    void save_charts(const QString& path);
    // The whole analysis of the estimate on show as one PDF, with the table of models.
    void export_report(const QString& path);
    // The wards' boundaries (GeoJSON), read off the window's thread, for the map; remembered
    // with the data file.
    void open_boundaries(const QString& path);
    MapPane* map_pane() const { return map_pane_; }

    // The size, place and panes of the window when it was last closed; false when none is kept.
    bool restore_window();

    // The recent data files, newest first.
    QStringList recent_files() const;

    using FormControls::fit_layout;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void create_menus();
    void connect_handlers();

    // Shows what the form state holds: texts, ticks, options, which controls each mode
    // shows, and whether the result on show still belongs to them.
    void render();
    // A rule of the form state, then the form shown anew; a UserError is shown.
    template <class F>
    void form_rule(F&& rule);

    // stages of the command cycle
    void Command1_Click();
    void read_data_file();
    void run_estimation();
    void apply_result(ClickResult r);
    void draw_key(const std::vector<std::string>& names, const std::vector<std::string>& lines = {});
    void chkBeta_Click(int index);
    void use_model(const ModelRow& row);
    void remember_recent(const QString& path);
    QString choose_file(const QString& title, const QString& filter, bool save);
    // Throws a UserError when a path would replace the data file or the estimate's files.
    void refuse_clash(const QStringList& paths, const char* title) const;
    std::vector<NamedPath> kept_files() const;
    ModelLibrary model_library() const;
    // The table of models of the data held, off the window's thread; false when cancelled.
    bool make_model_table(const QString& what);
    // An exported chart's title: which chart, of which file and model.
    QString chart_title(const PictureBox* box) const;

    // Runs a handler; a UserError is shown and the handler's work abandoned.
    template <class F>
    void guarded(F&& handler);
    void show_message(const Notice& m);
    void show_help(const QString& topic);

    FormState form_;
    BackgroundTask task_{this};
    UniformSource* random_ = nullptr;  // tests may fix the series
    bool reseed_from_clock_ = true;
    MessageSink message_sink_;
    QuestionSink question_sink_;
    bool pane_moved_below_ = false;  // the results pane went below the form for want of width
    void place_results_pane();
    bool ask(const QString& title, const QString& text);
    // The data file's time and size when it was read: a change on disk is noticed
    QString stamped_file_;
    QDateTime stamped_time_;
    qint64 stamped_size_ = -1;
    void stamp_data_file();
    // The distribution, ticks and range last estimated with the data file, kept per file.
    void remember_file_settings();
    void restore_file_settings();
    bool data_file_changed() const;
    ModelBinder model_binder_;
    FileChooser file_chooser_;
    bool rendering_ = false;  // widgets being set from the form state fire no rules
    bool counts_chart_is_result_ = false;  // the counts chart shows a result, not the data against a predictor
    bool key_has_lines_ = false;           // the key shows the dogs present beneath its wards
    // what the charts show, to draw them again at another size or origin
    std::optional<CountsChartData> counts_chart_;
    std::optional<LikelihoodChartData> likelihood_chart_;
    void redraw_charts();
    bool eventFilter_viewport(QEvent* event);
    void cap_form_width();
    QWidget* viewport_ = nullptr;
    bool close_after_work_ = false;
    ModelCheckWindow* check_window_ = nullptr;
    // the last table of models, and the data it was made of
    std::optional<ModelTable> models_;
    long models_data_version_ = -1;
    QPointer<ModelTableDialog> models_dialog_;  // the open table of models, if any
    // the last survey plan, for the report, and the data it was made on
    std::optional<PlanRecord> plan_;
    long plan_data_version_ = -1;
    ResultsPane* results_pane_ = nullptr;
    const ClickResult* summarised_result_ = nullptr;  // what the pane's summary was made of
    std::string summarised_line_;
    QDockWidget* results_dock_ = nullptr;
    MapPane* map_pane_ = nullptr;
    std::optional<BoundaryFile> boundary_file_;  // as read; matched anew to each data file
    void match_boundaries();
    void show_map();

    QMenu* recent_menu_ = nullptr;
    QAction* save_csv_action_ = nullptr;
    QAction* save_charts_action_ = nullptr;
    QAction* report_action_ = nullptr;
    QAction* check_action_ = nullptr;
    QAction* compare_action_ = nullptr;
    QAction* exact_generator_action_ = nullptr;
};

template <class F>
inline void Form1::guarded(F&& handler) {
    try {
        handler();
    } catch (const UserError& e) {
        show_message({e.title(), e.what(), e.detail()});
    } catch (const std::bad_alloc&) {
        show_message({"valdmora", "There is not enough memory for this.", "Nothing has changed."});
    } catch (const std::exception& e) {
        show_message({"valdmora", std::string("The operation was abandoned: ") + e.what(), {}});
    }
}

}  // namespace valdmora

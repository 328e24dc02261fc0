// The one window: every control, its handlers and the command cycle behind Command1, the
// menus and the desktop habits around them.
#pragma once

#include <QMainWindow>
#include <QRect>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "cycle/output_paths.h"
#include "cycle/user_error.h"
#include "estimation/click.h"
#include "estimation/model_binding.h"
#include "estimation/model_table.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace valdmora {

class PictureBox;
class UniformSource;
class ModelCheckWindow;

// The faces the window takes, the first installed one winning; with none of them, the
// system's sans-serif face.
QStringList window_face_preferences();

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    // face: the font family to lay the window out in; empty: the best installed.
    explicit Form1(QWidget* parent = nullptr, const QString& face = {});
    ~Form1() override;

    const EstimationState& state() const { return state_; }
    NumberFormat number_format() const { return fmt_; }

    // Where messages go; the default shows a critical message box. Tests record them.
    using MessageSink = std::function<void(const Notice&)>;
    void set_message_sink(MessageSink sink) { message_sink_ = std::move(sink); }
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
    // The last estimate's ward predictions as CSV (ward, prediction, lower, upper).
    void save_predictions_csv(const QString& path);
    // The counts and likelihood charts, as PNG or SVG by the name's ending.
    void save_charts(const QString& path);

    // The recent data files, newest first.
    QStringList recent_files() const;

    // Grows each control to show its whole text and moves those after it just enough.
    void fit_layout();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void create_controls(const QString& face);
    void create_menus();
    void describe_controls();
    void connect_handlers();
    void set_focus_order();

    // handlers
    void Form_Load();
    void Command1_Click();
    void optErr_Click(int index);
    void chkJustEstimate_Click();
    void txtData_Change();
    void txtBeta_Change(int index);
    void txtBeta_LostFocus(int index);
    void txtRange_LostFocus();
    void chkBeta_Click(int index);

    // stages of the command cycle
    void read_data_file();
    void run_estimation();
    void apply_result(ClickResult& r);
    void draw_key(const std::vector<std::string>& names);
    void use_model(const ModelRow& row);
    void remember_recent(const QString& path);
    QString choose_file(const QString& title, const QString& filter, bool save);
    // Throws a UserError when a path would replace the data file or the estimate's files.
    void refuse_clash(const QStringList& paths, const char* title) const;
    std::vector<NamedPath> kept_files() const;

    // Runs work off the window's thread: the window keeps painting, a progress bar with a
    // Cancel button appears after half a second, and Cancel gives nothing back.
    template <class T>
    std::optional<T> run_off_thread(const QString& what, const std::function<T(const Progress&)>& work);

    // Runs a handler; a UserError is shown and the handler's work abandoned.
    template <class F>
    void guarded(F&& handler);
    void show_message(const Notice& m);
    void show_help(const QString& topic);

    EstimationState state_;
    UniformSource* random_ = nullptr;  // tests may fix the series
    bool reseed_from_clock_ = true;
    NumberFormat fmt_;
    MessageSink message_sink_;
    ModelBinder model_binder_;
    FileChooser file_chooser_;
    std::vector<std::string> predictor_names_;
    bool busy_ = false;                  // work runs off the window's thread
    bool close_after_work_ = false;
    std::function<void()> cancel_hook_;  // cancels the work in progress
    // the last estimate, for the model check and the CSV of predictions
    std::optional<ClickResult> last_result_;
    ModelCheckWindow* check_window_ = nullptr;

    // designed places, in pixels, and which control continues which
    std::map<QWidget*, QRect> designed_;
    struct Follow {
        QWidget* lead;
        QWidget* follower;
        bool below;
    };
    std::vector<Follow> follows_;
    QWidget* page_ = nullptr;

    // controls, named as the users' guide names them
    QLabel* Label1 = nullptr;
    QLineEdit* txtData = nullptr;
    QPushButton* Command1 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* lblTotSimDog = nullptr;
    QLineEdit* txtN_surveys = nullptr;
    QLabel* Label2 = nullptr;
    QCheckBox* chkJustEstimate = nullptr;
    QLabel* lblJustEstimate = nullptr;
    QLabel* Label10 = nullptr;
    std::array<QRadioButton*, 3> optErr{};
    QLabel* lblWard = nullptr;
    QLineEdit* txtWard = nullptr;
    std::array<QCheckBox*, 5> chkBeta{};
    std::array<QLineEdit*, 6> txtBeta{};
    std::array<QLabel*, 5> lblBeta{};
    QLabel* Label6 = nullptr;
    QLabel* lblExtraParam = nullptr;
    QCheckBox* chkZero = nullptr;
    QLabel* Label9 = nullptr;
    PictureBox* picLegend = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtRange = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    PictureBox* picCount = nullptr;
    PictureBox* picLL = nullptr;
    // beyond the original controls: the intervals of the estimate, and the bootstrap's switch
    QCheckBox* chkBootstrap = nullptr;
    QLabel* lblIntervals = nullptr;

    QMenu* recent_menu_ = nullptr;
    QAction* save_csv_action_ = nullptr;
    QAction* check_action_ = nullptr;
    QAction* compare_action_ = nullptr;
    QAction* exact_generator_action_ = nullptr;
};

}  // namespace valdmora

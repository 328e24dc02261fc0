// The one window: every control, its handlers and the command cycle behind Command1.
#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "cycle/user_error.h"
#include "estimation/model_binding.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace valdmora {

class PictureBox;
struct ClickResult;
class UniformSource;

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);

    const EstimationState& state() const { return state_; }
    NumberFormat number_format() const { return fmt_; }

    // Where messages go; the default shows a critical message box. Tests record them.
    using MessageSink = std::function<void(const Notice&)>;
    void set_message_sink(MessageSink sink) { message_sink_ = std::move(sink); }
    // How the model library is bound at a fit; tests stand in a missing or broken one.
    using ModelBinder = std::function<ModelLibrary()>;
    void set_model_binder(ModelBinder binder) { model_binder_ = std::move(binder); }

    // Simulations draw from this source without reseeding it (tests); null: the clock.
    void set_random_source(UniformSource* source) {
        random_ = source;
        reseed_from_clock_ = source == nullptr;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void create_controls();
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

    // Runs a handler; a UserError is shown and the handler's work abandoned.
    template <class F>
    void guarded(F&& handler);
    void show_message(const Notice& m);

    EstimationState state_;
    UniformSource* random_ = nullptr;  // tests may fix the series
    bool reseed_from_clock_ = true;
    NumberFormat fmt_;
    MessageSink message_sink_;
    ModelBinder model_binder_;
    bool busy_ = false;               // a click runs off the window's thread
    bool cancel_requested_ = false;
    bool close_after_click_ = false;
    std::function<void()> cancel_hook_;  // cancels the click in progress

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
};

}  // namespace valdmora

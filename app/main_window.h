// The one window: every control, its handlers and the command cycle behind Command1.
#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <string>

#include "cycle/estimation_state.h"
#include "cycle/number_text.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace valdmora {

class PictureBox;

// A message for the user: a headline, and a detail line that says where.
struct UserMessage {
    std::string title;
    std::string text;
    std::string detail;
};

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);

    const EstimationState& state() const { return state_; }
    NumberFormat number_format() const { return fmt_; }

    // Where messages go; the default shows a critical message box. Tests record them.
    using MessageSink = std::function<void(const UserMessage&)>;
    void set_message_sink(MessageSink sink) { message_sink_ = std::move(sink); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

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
    void run_estimation(bool simulate);

    // Runs a handler; a UserError is shown and the handler's work abandoned.
    template <class F>
    void guarded(F&& handler);
    void show_message(const UserMessage& m);

    EstimationState state_;
    NumberFormat fmt_;
    MessageSink message_sink_;

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

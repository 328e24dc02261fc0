#include "main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QTimer>
#include <cmath>
#include <mutex>
#include <thread>

#include "charts/charts.h"
#include "cycle/atomic_file.h"
#include "cycle/command_cycle.h"
#include "cycle/count_file.h"
#include "cycle/mode_rules.h"
#include "cycle/user_error.h"
#include "estimation/click.h"
#include "estimation/progress.h"
#include "estimation/model_binding.h"
#include "picture_box.h"

namespace valdmora {
namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

// Layout positions are given in twips: 15 to the pixel at 96 dpi. Qt scales logical
// pixels for high-density screens itself.
QRect twips(int left, int top, int width, int height) {
    auto px = [](int t) { return static_cast<int>(std::lround(t / 15.0)); };
    return {px(left), px(top), px(width), px(height)};
}

// Texts inside the engine are UTF-8.
QString from8bit(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string to8bit(const QString& s) { return s.toUtf8().toStdString(); }

// A result label keeps its place and width but may grow downward to show its whole text
// in this face; it never shrinks below its designed height.
void set_result_text(QLabel* label, const QString& text, int designed_height) {
    label->setText(text);
    label->resize(label->width(), std::max(designed_height, label->heightForWidth(label->width())));
}

void fit_width(QLabel* label, int designed_width) {
    label->resize(std::max(designed_width, label->sizeHint().width()), label->height());
}

void set_text_colour(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    w->setPalette(p);
}

}  // namespace

Form1::Form1(QWidget* parent) : QMainWindow(parent) {
    const QString point = QLocale().decimalPoint();
    const QString group = QLocale().groupSeparator();
    fmt_.decimal = point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode()) : '.';
    fmt_.group = group.size() == 1 && group[0].unicode() < 128 ? static_cast<char>(group[0].unicode()) : ',';

    setWindowTitle("valdmora V1.01");
    // The layout is sized for a small 8.25 point sans-serif face; prefer faces of that width.
    QFont face = font();
    face.setFamilies({"Nimbus Sans", "Liberation Sans", "Arial", "Helvetica", "DejaVu Sans"});
    face.setStyleHint(QFont::SansSerif);
    face.setPixelSize(11);  // 8.25 point at 96 dpi
    setFont(face);
    create_controls();
    set_focus_order();
    Form_Load();
    connect_handlers();
    Command1->setFocus();
}

void Form1::create_controls() {
    // The controls keep fixed places; on a small screen the page scrolls.
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget;
    page->setObjectName("Form1_page");
    page->setFixedSize(twips(0, 0, 15135 + 120, 10695 + 120).size());
    scroll->setWidget(page);
    setCentralWidget(scroll);

    auto label = [&](const char* name, const QRect& r, const QString& text, const QColor* colour = nullptr,
                     bool wrap = false) {
        auto* l = new QLabel(text, page);
        l->setObjectName(name);
        l->setGeometry(r);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setWordWrap(wrap);
        if (colour) set_text_colour(l, *colour);
        // A caption may need a few pixels more than its place in this face: a wrapped one
        // grows downward, a single line to the right.
        if (wrap && !text.isEmpty()) l->resize(r.width(), std::max(r.height(), l->heightForWidth(r.width())));
        if (!wrap) fit_width(l, r.width());
        return l;
    };
    auto edit = [&](const QString& name, const QRect& r, const QString& text) {
        auto* e = new QLineEdit(text, page);
        e->setObjectName(name);
        e->setGeometry(r);
        return e;
    };
    auto check = [&](const QString& name, const QRect& r, bool checked) {
        auto* c = new QCheckBox(page);
        c->setObjectName(name);
        c->setGeometry(r);
        c->setChecked(checked);
        return c;
    };

    Label1 = label("Label1", twips(120, 120, 1215, 255), "path to data file:", &kBlue);
    txtData = edit("txtData", twips(1440, 105, 4215, 285), "counts.txt");
    Command1 = new QPushButton("read data from file", page);
    Command1->setObjectName("Command1");
    Command1->setGeometry(twips(6000, 120, 2175, 375));

    Label7 = label("Label7", twips(6000, 600, 2055, 615), "", &kBlack, true);
    Label8 = label("Label8", twips(8280, 600, 2775, 615), "", &kRed, true);
    QFont bold = Label8->font();
    bold.setBold(true);
    Label8->setFont(bold);
    const QColor green(0, 192, 0);
    lblTotSimDog = label("lblTotSimDog", twips(6000, 1440, 4695, 615), "", &green, true);

    txtN_surveys = edit("txtN_surveys", twips(8280, 165, 375, 285), "20");
    Label2 = label("Label2", twips(8760, 180, 735, 255), "#surveys", &kBlue);
    chkJustEstimate = check("chkJustEstimate", twips(9720, 180, 255, 255), false);
    lblJustEstimate = label("lblJustEstimate", twips(10080, 180, 855, 255), "re-estimate", &kBlue);

    Label10 = label("Label10", twips(120, 600, 855, 615), "select error distribution function:", &kBlue, true);
    const char* options[3] = {"lognormal, variance proportional to mean squared", "normal, with constant variance",
                              "negative binomial, with variance proportional to mean"};
    for (int i = 0; i < 3; ++i) {
        optErr[i] = new QRadioButton(options[i], page);
        optErr[i]->setObjectName(QString("optErr(%1)").arg(i));
        optErr[i]->setGeometry(twips(1200, 600 + 360 * i, 4455, 255));
    }
    optErr[0]->setChecked(true);  // radio buttons with one parent form one exclusive group

    lblWard = label("lblWard", twips(120, 1800, 2535, 255), "estimate roaming dogs just in ward:", &kBlue);
    txtWard = edit("txtWard", twips(2760, 1785, 1095, 285), "");

    const int chk_top[5] = {135, 480, 840, 1215, 1575};
    const int txt_top[5] = {120, 465, 825, 1200, 1560};
    const int lbl_top[5] = {135, 495, 855, 1215, 1575};
    for (int i = 0; i < 5; ++i) {
        chkBeta[i] = check(QString("chkBeta(%1)").arg(i), twips(12120, chk_top[i], 255, 255), i == 0);
        txtBeta[i] = edit(QString("txtBeta(%1)").arg(i), twips(12480, txt_top[i], 855, 285), i == 0 ? "10" : "0");
        lblBeta[i] = new QLabel(i == 0 ? "constant" : "Label11", page);
        lblBeta[i]->setObjectName(QString("lblBeta(%1)").arg(i));
        lblBeta[i]->setGeometry(twips(13440, lbl_top[i], 1695, 255));
    }
    Label6 = label("Label6", twips(11160, 120, 855, 855), "select from potential predictor variables:", &kBlue, true);
    txtBeta[5] = edit("txtBeta(5)", twips(12840, 1920, 495, 285), QString::fromStdString(with_locale_decimal("0.25", fmt_)));
    lblExtraParam = label("lblExtraParam", twips(13440, 1965, 615, 195), "CV");
    chkZero = check("chkZero", twips(12120, 2640, 255, 255), true);
    Label9 = label("Label9", twips(12480, 2640, 1575, 255), "plot origin at zero", &kBlue);
    picLegend = new PictureBox(page);
    picLegend->setObjectName("picLegend");
    picLegend->setGeometry(twips(12120, 3120, 2055, 3255));
    Label3 = label("Label3", twips(12120, 7080, 1575, 720), "plot likelihood over range extending ", &kBlue, true);
    txtRange = edit("txtRange", twips(13560, 7200, 300, 285), "50");
    Label4 = label("Label4", twips(13920, 7245, 255, 195), "%");
    Label5 = label("Label5", twips(12120, 7490, 1935, 255), "either side of point estimate", &kBlue);

    picCount = new PictureBox(page);
    picCount->setObjectName("picCount");
    picCount->setGeometry(twips(120, 2160, 11775, 4215));
    picLL = new PictureBox(page);
    picLL->setObjectName("picLL");
    picLL->setGeometry(twips(120, 6480, 11775, 4215));

    // Shown at start: the path, the command, the messages, the chart options and charts.
    for (QWidget* w : std::initializer_list<QWidget*>{lblTotSimDog, txtN_surveys, Label2, chkJustEstimate,
                                                      lblJustEstimate, Label10, lblWard, txtWard, Label6,
                                                      lblExtraParam})
        w->hide();
    for (QWidget* w : optErr) w->hide();
    for (QWidget* w : txtBeta) w->hide();
    for (QWidget* w : chkBeta) w->hide();
    for (QWidget* w : lblBeta) w->hide();
}

void Form1::set_focus_order() {
    std::vector<QWidget*> order{Command1, picLL, picCount, txtData, chkZero};
    for (int i = 0; i <= 4; ++i) order.push_back(txtBeta[i]);
    for (int i = 0; i <= 4; ++i) order.push_back(chkBeta[i]);
    order.insert(order.end(), {txtBeta[5], picLegend, txtRange, optErr[0], optErr[1], optErr[2], chkJustEstimate,
                               txtN_surveys, txtWard});
    for (std::size_t i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);
}

void Form1::connect_handlers() {
    connect(Command1, &QPushButton::clicked, this, [this] { guarded([this] { Command1_Click(); }); });
    for (int i = 0; i < 3; ++i)
        connect(optErr[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (on) guarded([this, i] { optErr_Click(i); });
        });
    connect(chkJustEstimate, &QCheckBox::stateChanged, this, [this] { guarded([this] { chkJustEstimate_Click(); }); });
    connect(txtData, &QLineEdit::textChanged, this, [this] { guarded([this] { txtData_Change(); }); });
    for (int i = 0; i < 6; ++i) {
        connect(txtBeta[i], &QLineEdit::textChanged, this, [this, i] { guarded([this, i] { txtBeta_Change(i); }); });
        txtBeta[i]->installEventFilter(this);
    }
    txtRange->installEventFilter(this);
    for (int i = 0; i < 5; ++i)
        connect(chkBeta[i], &QCheckBox::stateChanged, this, [this, i] { guarded([this, i] { chkBeta_Click(i); }); });
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Focus moving to another window (a message box, another program) is not a
        // loss of focus within the form.
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (watched == txtRange) guarded([this] { txtRange_LostFocus(); });
            for (int i = 0; i < 6; ++i)
                if (watched == txtBeta[i]) guarded([this, i] { txtBeta_LostFocus(i); });
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

template <class F>
void Form1::guarded(F&& handler) {
    try {
        handler();
    } catch (const UserError& e) {
        show_message({e.title(), e.what(), e.detail()});
    } catch (const std::exception& e) {
        show_message({"valdmora", std::string("The operation was abandoned: ") + e.what(), {}});
    }
}

void Form1::show_message(const Notice& m) {
    if (message_sink_) {
        message_sink_(m);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(m.title), from8bit(m.text), QMessageBox::Ok, this);
    if (!m.detail.empty()) box.setInformativeText(from8bit(m.detail));
    box.exec();
}

// --- handlers -------------------------------------------------------------------------

void Form1::Form_Load() { form_load(state_); }

void Form1::Command1_Click() {
    const std::string caption = Command1->text().toStdString();
    const std::string path = to8bit(txtData->text());
    const int just_estimate = chkJustEstimate->isChecked() ? 1 : 0;
    switch (decide_click(caption, path, just_estimate)) {
        case ClickAction::ReadFile: read_data_file(); break;
        case ClickAction::SimulateAndEstimate:
        case ClickAction::Estimate: run_estimation(); break;
    }
}

void Form1::read_data_file() {
    // Read everything first: a failed read leaves the state and the window as they were.
    const CountData file = read_count_file(QFile::encodeName(txtData->text()).toStdString());
    store_count_data(state_, file);

    chkBeta[0]->show();
    txtBeta[0]->show();
    lblBeta[0]->show();
    for (int j = 1; j <= state_.n_pred; ++j) {
        chkBeta[j]->show();
        txtBeta[j]->show();
        lblBeta[j]->show();
        lblBeta[j]->setText(from8bit(file.predictor_names[j - 1]));
        fit_width(lblBeta[j], twips(0, 0, 1695, 0).width());
    }
    txtBeta[5]->show();
    Label6->show();
    lblExtraParam->show();
    Label10->show();
    for (QWidget* w : optErr) w->show();
    Command1->setText(kCaptionEstimate);
    draw_key(state_.surveyed_name.values());
    for (const Notice& n : file.notices) show_message(n);
}

void Form1::draw_key(const std::vector<std::string>& names) {
    // the key of the wards shown now, not over the names of the wards shown before
    picLegend->clear();
    plot_key(*picLegend, std::span<const std::string>(names.data(), std::min<std::size_t>(names.size(), 10)));
}

void Form1::run_estimation() {
    ClickInput in;
    for (int i = 0; i < 6; ++i) in.beta_text[i] = to8bit(txtBeta[i]->text());
    in.beta_label[0] = "the constant";
    for (int j = 1; j <= 4; ++j) in.beta_label[j] = "the coefficient of " + to8bit(lblBeta[j]->text());
    in.beta_label[5] = "the extra parameter " + to8bit(lblExtraParam->text());
    for (int i = 0; i < 5; ++i) in.beta_checked[i] = chkBeta[i]->isChecked();
    in.data_path = to8bit(txtData->text());
    in.just_estimate = chkJustEstimate->isChecked();
    in.ward = to8bit(txtWard->text());
    in.range_text = to8bit(txtRange->text());
    in.origin_at_zero = chkZero->isChecked();
    in.n_surveys_text = to8bit(txtN_surveys->text());
    in.fmt = fmt_;

    ClickServices services;
    services.library = model_binder_ ? model_binder_() : bind_model_library();
    services.random = random_;
    services.reseed_from_clock = reseed_from_clock_;

    // The click runs off the window's thread on its snapshot and its own copy of the state;
    // the window keeps painting, and a Cancel drops the copy, so nothing changes.
    struct Shared {
        std::mutex lock;
        std::string stage;
        int done = 0, total = 0;
    } shared;
    std::atomic<bool> cancel{false}, finished{false};
    services.progress = Progress(
        [&shared](const std::string& stage, int done, int total) {
            std::lock_guard<std::mutex> guard(shared.lock);
            shared.stage = stage;
            shared.done = done;
            shared.total = total;
        },
        &cancel);
    std::optional<ClickResult> result;
    std::exception_ptr error;
    const EstimationState copy = state_;
    std::thread worker([&] {
        try {
            result = run_estimating_click(in, copy, services);
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
    });

    busy_ = true;
    centralWidget()->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QProgressDialog> dialog;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (finished) {
            loop.quit();
            return;
        }
        if (!dialog && clock.elapsed() > 500) {
            dialog = std::make_unique<QProgressDialog>("Estimating…", "Cancel", 0, 100, this);
            dialog->setObjectName("progress");
            dialog->setWindowTitle("valdmora");
            dialog->setWindowModality(Qt::ApplicationModal);
            dialog->setMinimumDuration(0);
            dialog->setAutoClose(false);
            dialog->setAutoReset(false);
            QObject::connect(dialog.get(), &QProgressDialog::canceled, &loop, [&] {
                cancel = true;
                dialog->setLabelText("Cancelling…");
            });
            QApplication::changeOverrideCursor(Qt::BusyCursor);
        }
        if (dialog && !cancel) {
            std::lock_guard<std::mutex> guard(shared.lock);
            dialog->setLabelText(QString::fromStdString(shared.stage.empty() ? "Estimating…" : "Estimating: " + shared.stage + "…"));
            dialog->setMaximum(std::max(1, shared.total));
            dialog->setValue(std::min(shared.done, std::max(1, shared.total)));
        }
    });
    poll.start(30);
    if (cancel_requested_) cancel = true;
    cancel_hook_ = [&cancel] { cancel = true; };
    loop.exec();
    worker.join();
    cancel_hook_ = nullptr;
    poll.stop();
    dialog.reset();
    QApplication::restoreOverrideCursor();
    centralWidget()->setEnabled(true);
    busy_ = false;

    if (cancel && !error) error = nullptr;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const Cancelled&) {
            statusBar()->showMessage("The estimate was cancelled; nothing has changed.");
            return;
        }
    }
    if (cancel) {
        statusBar()->showMessage("The estimate was cancelled; nothing has changed.");
        return;
    }
    apply_result(*result);
}

void Form1::closeEvent(QCloseEvent* event) {
    // a click in progress is cancelled; the window closes once it has stopped
    if (busy_) {
        if (cancel_hook_) cancel_hook_();
        close_after_click_ = true;
        event->ignore();
        QTimer::singleShot(50, this, [this] {
            if (close_after_click_) close();
        });
        return;
    }
    QMainWindow::closeEvent(event);
}

void Form1::apply_result(ClickResult& r) {
    // the files first: what could not be written is said, and the rest of the estimate stands
    std::vector<Notice> notices = r.notices;
    QStringList written;
    for (const OutputFile& f : r.files) {
        const std::string e = write_file_atomically(f.name, f.content);
        if (e.empty())
            written << QString::fromStdString(f.name);
        else
            notices.push_back({"Output file",
                               "The file " + to8bit(QDir::current().absoluteFilePath(QString::fromStdString(f.name))) +
                                   " could not be written: " + e + ".",
                               "The rest of the estimate stands; the earlier file, if any, is unchanged.", true});
    }
    state_ = std::move(r.state);
    if (r.key_names) draw_key(*r.key_names);
    if (r.simulated) {
        lblTotSimDog->show();
        chkJustEstimate->show();
        lblJustEstimate->show();
    }
    set_text_colour(Label8, QColor(r.label8_colour.r, r.label8_colour.g, r.label8_colour.b));
    // Setting a box's text runs its change handler, as typing would.
    for (int i = 0; i < 6; ++i) {
        const QString text = from8bit(r.beta_text[i]);
        if (txtBeta[i]->text() != text) txtBeta[i]->setText(text);
    }
    set_result_text(Label7, from8bit(r.label7), twips(0, 0, 0, 615).height());
    picCount->clear();
    plot_counts(*picCount, r.counts, fmt_);
    set_result_text(Label8, from8bit(r.label8), twips(0, 0, 0, 615).height());
    if (r.lbl_tot_sim_dog) set_result_text(lblTotSimDog, from8bit(*r.lbl_tot_sim_dog), twips(0, 0, 0, 615).height());
    if (r.likelihood) {
        picLL->clear();
        plot_likelihood(*picLL, *r.likelihood, fmt_);
    } else if (r.clear_likelihood) {
        picLL->clear();
    }
    if (r.show_ward_controls) {
        txtWard->show();
        lblWard->show();
    }
    QString status;
    if (!written.isEmpty())
        status = "wrote " + written.join(" and ") + " in " + QDir::toNativeSeparators(QDir::currentPath());
    for (const Notice& n : notices)
        if (!n.modal) status += (status.isEmpty() ? "" : "; ") + from8bit(n.text);
    statusBar()->showMessage(status);
    for (const Notice& n : notices)
        if (n.modal) show_message(n);
}

void Form1::optErr_Click(int index) {
    std::array<std::string, 6> boxes;
    for (int i = 0; i < 6; ++i) boxes[i] = to8bit(txtBeta[i]->text());
    const auto set = choose_distribution(state_, index, boxes, fmt_);
    lblExtraParam->setText(QString::fromStdString(state_.extra_param_name(index)));
    // each text set runs that box's change handler, as typing would
    for (int i = 0; i < 6; ++i)
        if (set[i]) txtBeta[i]->setText(from8bit(boxes[i]));
}

void Form1::chkJustEstimate_Click() {
    Command1->setText(chkJustEstimate->isChecked() ? kCaptionReestimate : kCaptionSimulateAgain);
}

void Form1::txtData_Change() {
    if (!txtData->text().isEmpty()) return;
    std::array<std::string, 6> boxes;
    for (int i = 0; i < 6; ++i) boxes[i] = to8bit(txtBeta[i]->text());
    empty_data_path(state_, boxes, fmt_);
    for (int j = 1; j <= 4; ++j) {
        chkBeta[j]->show();
        txtBeta[j]->show();
        lblBeta[j]->show();
        lblBeta[j]->setText(QString("%1predictor").arg(j));
    }
    chkBeta[0]->show();
    txtBeta[0]->show();
    lblBeta[0]->show();
    txtBeta[5]->show();
    Label6->show();
    lblExtraParam->show();
    Label10->show();
    if (!state_.has_data_file()) {
        txtN_surveys->show();
        Label2->show();
    }
    for (QWidget* w : optErr) w->show();
    Command1->setText(kCaptionSimulate);
}

void Form1::txtBeta_Change(int index) {
    if (txtBeta[index]->text() == ".") txtBeta[index]->setText("0");
}

void Form1::txtBeta_LostFocus(int index) {
    const std::string text = to8bit(txtBeta[index]->text());
    // A text that begins like a number but is not one as a whole (7abc, -, 1.2.3) fails too.
    if (!typed_number_ok(text, fmt_)) {
        txtBeta[index]->setText("0");
        return;
    }
    state_.beta_entered(index) = *parse_number(text, fmt_);
}

void Form1::txtRange_LostFocus() {
    if (!typed_number_ok(to8bit(txtRange->text()), fmt_)) txtRange->setText("10");
}

void Form1::chkBeta_Click(int index) {
    if (index <= 0 || index >= 5) return;
    picCount->clear();
    CountsChartData chart;
    chart.heights = state_.surveyed_count.values();
    if (index <= state_.n_pred) chart.positions = state_.surveyed_x.row_values(index);
    chart.title = to8bit(lblBeta[index]->text());
    chart.origin_at_zero = chkZero->isChecked();
    plot_counts(*picCount, chart, fmt_);
    if (!chkBeta[index]->isChecked()) txtBeta[index]->setText("0");
}

}  // namespace valdmora

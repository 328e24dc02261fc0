#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
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
#include "model_table_dialog.h"
#include "picture_box.h"

namespace valdmora {

QStringList window_face_preferences() {
    return {"Liberation Sans", "Arimo", "Nimbus Sans", "Arial", "Helvetica", "DejaVu Sans"};
}

namespace {

const QColor kBlue(0, 0, 255);
const QColor kBlack(0, 0, 0);
constexpr int kRecentFiles = 8;
constexpr int kBootstrapReps = 1000;

// Layout positions are given in twips: 15 to the pixel at 96 dpi. Qt scales logical
// pixels for high-density screens itself.
QRect twips(int left, int top, int width, int height) {
    auto px = [](int t) { return static_cast<int>(std::lround(t / 15.0)); };
    return {px(left), px(top), px(width), px(height)};
}

// Texts inside the engine are UTF-8.
QString from8bit(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string to8bit(const QString& s) { return s.toUtf8().toStdString(); }

void set_text_colour(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    w->setPalette(p);
}

// The window's face: the layout was designed for a small 8.25 point sans-serif, so the
// first of the faces of about that width that is installed, at the largest size up to
// 11 pixels at which the longest option still fits its designed width.
QFont window_face(const QString& forced) {
    QFont face;
    if (!forced.isEmpty())
        face.setFamilies({forced});
#ifdef Q_OS_WIN
    // as Windows draws its own windows (Wine offers its Tahoma in their place)
    else
        face.setFamilies({"Segoe UI", "Tahoma", "Arial"});
#else
    else
        face.setFamilies(window_face_preferences());
#endif
    face.setStyleHint(QFont::SansSerif);
    const QString widest = QString::fromUtf8(kDistributions[2].option);
    for (int px = 11; px >= 8; --px) {
        face.setPixelSize(px);
        QRadioButton probe(widest);
        probe.setFont(face);
        if (probe.sizeHint().width() <= twips(0, 0, 4455, 0).width()) break;
    }
    return face;
}

// The widest word of a text, for a label that wraps.
int widest_word(const QLabel* label) {
    int widest = 0;
    for (const QString& word : label->text().split(' ', Qt::SkipEmptyParts))
        widest = std::max(widest, label->fontMetrics().horizontalAdvance(word));
    return widest + 2 * label->margin() + 2;
}

}  // namespace

Form1::Form1(QWidget* parent, const QString& face) : QMainWindow(parent) {
    const QString point = QLocale().decimalPoint();
    const QString group = QLocale().groupSeparator();
    fmt_.decimal = point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode()) : '.';
    fmt_.group = group.size() == 1 && group[0].unicode() < 128 ? static_cast<char>(group[0].unicode()) : ',';

    setWindowTitle("valdmora V1.01");
    setAcceptDrops(true);
    create_controls(face);
    create_menus();
    describe_controls();
    set_focus_order();
    Form_Load();
    connect_handlers();
    statusBar()->showMessage("Name a count data file and click \"read data from file\", or empty the path to simulate.");
    fit_layout();
    Command1->setFocus();
}

Form1::~Form1() = default;

void Form1::create_controls(const QString& face) {
    setFont(window_face(face));
    // The controls keep fixed places; on a small screen the page scrolls.
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget;
    page->setObjectName("Form1_page");
    page->setFixedSize(twips(0, 0, 15135 + 120, 10695 + 120).size());
    scroll->setWidget(page);
    setCentralWidget(scroll);
    page_ = page;

    auto place = [&](QWidget* w, const QRect& r) {
        w->setGeometry(r);
        designed_[w] = r;
    };
    auto label = [&](const char* name, const QRect& r, const QString& text, const QColor* colour = nullptr,
                     bool wrap = false) {
        auto* l = new QLabel(text, page);
        l->setObjectName(name);
        place(l, r);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setWordWrap(wrap);
        if (colour) set_text_colour(l, *colour);
        return l;
    };
    auto edit = [&](const QString& name, const QRect& r, const QString& text) {
        auto* e = new QLineEdit(text, page);
        e->setObjectName(name);
        place(e, r);
        return e;
    };
    auto check = [&](const QString& name, const QRect& r, bool checked) {
        auto* c = new QCheckBox(page);
        c->setObjectName(name);
        place(c, r);
        c->setChecked(checked);
        return c;
    };

    Label1 = label("Label1", twips(120, 120, 1215, 255), "path to data file:", &kBlue);
    txtData = edit("txtData", twips(1440, 105, 4215, 285), "counts.txt");
    Command1 = new QPushButton("read data from file", page);
    Command1->setObjectName("Command1");
    place(Command1, twips(6000, 120, 2175, 375));
    Command1->setAutoDefault(true);  // Enter on the focused button clicks it

    Label7 = label("Label7", twips(6000, 600, 2055, 615), "", &kBlack, true);
    Label8 = label("Label8", twips(8280, 600, 2775, 615), "", nullptr, true);
    set_text_colour(Label8, QColor(255, 0, 0));
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
    for (int i = 0; i < 3; ++i) {
        optErr[i] = new QRadioButton(QString::fromUtf8(kDistributions[static_cast<std::size_t>(i)].option), page);
        optErr[i]->setObjectName(QString("optErr(%1)").arg(i));
        place(optErr[i], twips(1200, 600 + 360 * i, 4455, 255));
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
        place(lblBeta[i], twips(13440, lbl_top[i], 1695, 255));
    }
    Label6 = label("Label6", twips(11160, 120, 855, 855), "select from potential predictor variables:", &kBlue, true);
    txtBeta[5] = edit("txtBeta(5)", twips(12840, 1920, 495, 285), QString::fromStdString(with_locale_decimal(std::string(kDistributions[0].default_extra), fmt_)));
    lblExtraParam = label("lblExtraParam", twips(13440, 1965, 615, 195), QString::fromUtf8(kDistributions[0].extra_name));
    chkZero = check("chkZero", twips(12120, 2640, 255, 255), true);
    Label9 = label("Label9", twips(12480, 2640, 1575, 255), "plot origin at zero", &kBlue);
    picLegend = new PictureBox(page);
    picLegend->setObjectName("picLegend");
    place(picLegend, twips(12120, 3120, 2055, 3255));
    Label3 = label("Label3", twips(12120, 7080, 1575, 720), "plot likelihood over range extending ", &kBlue, true);
    txtRange = edit("txtRange", twips(13560, 7200, 300, 285), "50");
    Label4 = label("Label4", twips(13920, 7245, 255, 195), "%");
    Label5 = label("Label5", twips(12120, 7490, 1935, 255), "either side of point estimate", &kBlue);
    // below the range sentence, beside the likelihood chart whose marks they explain
    chkBootstrap = new QCheckBox(QString("bootstrap limits, %1 replicates").arg(QLocale().toString(kBootstrapReps)), page);
    chkBootstrap->setObjectName("chkBootstrap");
    place(chkBootstrap, twips(12120, 7860, 3015, 255));
    lblIntervals = label("lblIntervals", twips(12120, 8220, 3015, 1950), "", &kBlack, true);

    picCount = new PictureBox(page);
    picCount->setObjectName("picCount");
    place(picCount, twips(120, 2160, 11775, 4215));
    picLL = new PictureBox(page);
    picLL->setObjectName("picLL");
    place(picLL, twips(120, 6480, 11775, 4215));

    // Shown at start: the path, the command, the messages, the chart options and charts.
    for (QWidget* w : std::initializer_list<QWidget*>{lblTotSimDog, txtN_surveys, Label2, chkJustEstimate,
                                                      lblJustEstimate, Label10, lblWard, txtWard, Label6,
                                                      lblExtraParam})
        w->hide();
    for (QWidget* w : optErr) w->hide();
    for (QWidget* w : txtBeta) w->hide();
    for (QWidget* w : chkBeta) w->hide();
    for (QWidget* w : lblBeta) w->hide();

    // A control that grows moves the ones that continue it along its line, or below it.
    follows_ = {{Label1, txtData, false},
                {Command1, txtN_surveys, false},
                {txtN_surveys, Label2, false},
                {Label2, chkJustEstimate, false},
                {chkJustEstimate, lblJustEstimate, false},
                {Label10, optErr[0], false},
                {Label10, optErr[1], false},
                {Label10, optErr[2], false},
                {lblWard, txtWard, false},
                {Label6, chkBeta[0], false},
                {txtBeta[5], lblExtraParam, false},
                {txtRange, Label4, false},
                {Label3, Label5, true},
                {Label5, chkBootstrap, true},
                {chkBootstrap, lblIntervals, true}};
    for (int i = 0; i < 5; ++i) follows_.push_back({txtBeta[i], lblBeta[i], false});
}

void Form1::fit_layout() {
    if (!page_) return;
    // every control back at its designed place, then sized to its text
    for (const auto& [w, r] : designed_) w->setGeometry(r);
    auto grow_right = [](QWidget* w, int needed) { w->resize(std::max(w->width(), needed), w->height()); };
    const int frame = 10;  // a box's frame and margins around its text
    for (const auto& [w, r] : designed_) {
        if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l == Label7 || l == Label8 || l == lblTotSimDog || l == lblIntervals) {
                l->resize(r.width(), std::max(r.height(), l->text().isEmpty() ? 0 : l->heightForWidth(r.width())));
            } else if (l->wordWrap()) {
                // a caption that wraps keeps clear of the box beside its lines
                int width = std::max(r.width(), widest_word(l));
                if (l == Label3) width = std::min(width, designed_[txtRange].left() - r.left() - 2);
                l->resize(width, l->heightForWidth(width));
            } else {
                grow_right(l, l->sizeHint().width());
            }
        } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            grow_right(radio, radio->sizeHint().width());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            grow_right(button, button->sizeHint().width());
        } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
            if (!c->text().isEmpty()) grow_right(c, c->sizeHint().width());
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            // a number box shows its whole number; a path or a ward name scrolls
            if (e != txtData && e != txtWard) grow_right(e, e->fontMetrics().horizontalAdvance(e->text()) + frame);
            e->setCursorPosition(e->hasFocus() ? e->cursorPosition() : 0);
        }
    }
    // then the controls that continue one another move just enough to clear it
    for (const Follow& f : follows_) {
        const QRect lead = f.lead->geometry(), designed_lead = designed_[f.lead];
        const QRect follower = designed_[f.follower];
        QRect now = f.follower->geometry();
        if (f.below) {
            const int gap = std::max(2, follower.top() - designed_lead.bottom());
            now.moveTop(std::max(now.top(), lead.bottom() + gap));
        } else {
            const int gap = std::max(2, follower.left() - designed_lead.right());
            now.moveLeft(std::max(now.left(), lead.right() + gap));
        }
        f.follower->setGeometry(now);
    }
    // the page holds every control
    QRect extent(QPoint(0, 0), twips(0, 0, 15135 + 120, 10695 + 120).size());
    for (const auto& [w, r] : designed_) extent = extent.united(w->geometry().adjusted(0, 0, 8, 8));
    page_->setFixedSize(extent.size());
}

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
    file->addSeparator();
    save_csv_action_ = file->addAction("Save ward predictions as &CSV…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Save ward predictions as CSV", "CSV files (*.csv)", true);
            if (!path.isEmpty()) save_predictions_csv(path);
        });
    });
    file->addAction("Save charts as &PNG or SVG…", this, [this] {
        guarded([this] {
            const QString path = choose_file("Save charts", "PNG images (*.png);;SVG drawings (*.svg)", true);
            if (!path.isEmpty()) save_charts(path);
        });
    });
    file->addSeparator();
    QAction* quit = file->addAction("&Quit", this, &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);

    QMenu* model = menuBar()->addMenu("&Model");
    model->setObjectName("menuModel");
    compare_action_ = model->addAction("&Compare models…", this, [this] { guarded([this] { compare_models(); }); });
    check_action_ = model->addAction("C&heck model…", this, [this] { guarded([this] { check_model(); }); });
    model->addSeparator();
    // the bench's original draws unless asked: older seeded series were drawn with them
    exact_generator_action_ = model->addAction("Simulate with &exact draws from the model");
    exact_generator_action_->setObjectName("exactGenerator");
    exact_generator_action_->setCheckable(true);
    exact_generator_action_->setToolTip(
        "Simulated counts drawn from the fitted model itself (gamma-Poisson, normal with SD e, lognormal with CV e) "
        "instead of the bench's original sums of uniforms");

    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("menuHelp");
    help->addAction("The count data &file", this, [this] { show_help("datafile"); });
    help->addAction("What the &charts show", this, [this] { show_help("charts"); });
    help->addSeparator();
    help->addAction("&About valdmora", this, [this] { show_help("about"); });

    for (PictureBox* box : {picCount, picLL, picLegend})
        connect(box, &PictureBox::saveRequested, this, [this](PictureBox* b) {
            guarded([this, b] {
                const QString path = choose_file("Save chart", "PNG images (*.png);;SVG drawings (*.svg)", true);
                if (path.isEmpty()) return;
                refuse_clash({path}, "Save chart");
                QString error;
                const bool ok = path.endsWith(".svg", Qt::CaseInsensitive) ? b->save_svg(path, &error)
                                                                           : b->save_png(path, &error);
                if (!ok) throw UserError("The chart could not be written to " + to8bit(path) + ": " + to8bit(error) + ".",
                                         "Save chart");
                statusBar()->showMessage("wrote " + QDir::toNativeSeparators(path));
            });
        });
}

// What each control is for, for the tooltips, and what a screen reader calls it.
void Form1::describe_controls() {
    struct About {
        QWidget* w;
        const char* name;
        const char* tip;
    };
    const std::vector<About> about{
        {Label1, "Data file", "The count data file's path is typed in the box to the right."},
        {txtData, "Path to data file", "The count data file to read; empty it to simulate surveys instead."},
        {Command1, "Command", "Reads the data file, or estimates (simulating first in simulation mode)."},
        {Label7, "Log likelihood", "The maximum log likelihood of the last fit and its change from the fit before."},
        {Label8, "Population estimate", "The estimated dogs in the unsurveyed wards, its 95 % limits, and the dogs counted."},
        {lblTotSimDog, "Simulation summary", "How the estimates of a series of simulations compare with the truth."},
        {txtN_surveys, "Number of surveys", "How many surveyed wards each simulation draws."},
        {Label2, "Surveys caption", "The number of surveyed wards to simulate is typed in the box to the left."},
        {chkJustEstimate, "Re-estimate", "Estimate again from the current simulated data instead of drawing new data."},
        {lblJustEstimate, "Re-estimate caption", "Tick the box to the left to estimate again without simulating."},
        {Label10, "Distribution caption", "The error distribution of the counts is chosen to the right."},
        {optErr[0], "Lognormal", "Counts spread around their mean with a constant coefficient of variation."},
        {optErr[1], "Normal", "Counts spread around their mean with a constant standard deviation."},
        {optErr[2], "Negative binomial", "Counts whose variance is proportional to their mean."},
        {lblWard, "Ward caption", "Type one unsurveyed ward's name to the right to estimate it alone."},
        {txtWard, "Ward to estimate", "One unsurveyed ward's name, exactly as in the data file; empty for all wards."},
        {Label6, "Predictors caption", "Tick the predictors whose coefficients are estimated."},
        {txtBeta[5], "Extra parameter", "The distribution's extra parameter: start value of the fit, true value of a simulation."},
        {lblExtraParam, "Extra parameter name", "CV, SD or VoM - 1, by the distribution chosen."},
        {chkZero, "Origin at zero", "Start both axes of the counts chart at zero."},
        {Label9, "Origin caption", "Tick the box to the left to start the counts chart's axes at zero."},
        {picLegend, "Key", "The first ten surveyed wards, in the colours of their points."},
        {Label3, "Range caption", "The likelihood chart covers this many per cent either side of the estimate."},
        {txtRange, "Range in per cent", "How far either side of the estimate the likelihood chart reaches, in per cent."},
        {Label4, "Per cent", "The range is in per cent of the estimate."},
        {Label5, "Range caption end", "The likelihood chart is centred on the point estimate."},
        {chkBootstrap, "Bootstrap limits", "Also give bootstrap prediction limits of the total (slower)."},
        {lblIntervals, "Intervals", "The profile-likelihood and bootstrap limits of the last estimate."},
        {picCount, "Counts chart", "Dogs counted against the predicted counts, or against one predictor."},
        {picLL, "Likelihood chart", "The profile log likelihood over candidate totals, with the limits marked."},
    };
    for (const About& a : about) {
        a.w->setAccessibleName(a.name);
        a.w->setToolTip(a.tip);
    }
    for (int i = 0; i < 5; ++i) {
        chkBeta[i]->setAccessibleName(i == 0 ? "Estimate the constant" : QString("Estimate predictor %1").arg(i));
        chkBeta[i]->setToolTip(i == 0 ? "Tick to estimate the constant; unticked, it stays at its box's value."
                                      : "Tick to estimate this predictor's coefficient; unticked, it stays fixed.");
        txtBeta[i]->setAccessibleName(i == 0 ? "Constant" : QString("Coefficient %1").arg(i));
        txtBeta[i]->setToolTip("The start value of the fit, or the true value of a simulation.");
        lblBeta[i]->setAccessibleName(i == 0 ? "Constant caption" : QString("Predictor %1 name").arg(i));
        lblBeta[i]->setToolTip(i == 0 ? "The constant of the linear predictor." : "The predictor's name from the data file.");
    }
}

void Form1::set_focus_order() {
    std::vector<QWidget*> order{Command1, picLL, picCount, txtData, chkZero};
    for (int i = 0; i <= 4; ++i) order.push_back(txtBeta[i]);
    for (int i = 0; i <= 4; ++i) order.push_back(chkBeta[i]);
    order.insert(order.end(), {txtBeta[5], picLegend, txtRange, optErr[0], optErr[1], optErr[2], chkJustEstimate,
                               txtN_surveys, txtWard, chkBootstrap});
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
        connect(txtBeta[i], &QLineEdit::textChanged, this, [this] { fit_layout(); });
        txtBeta[i]->installEventFilter(this);
    }
    for (QLineEdit* e : {txtRange, txtN_surveys}) connect(e, &QLineEdit::textChanged, this, [this] { fit_layout(); });
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
            fit_layout();
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
    } catch (const std::bad_alloc&) {
        show_message({"valdmora", "There is not enough memory for this.", "Nothing has changed."});
    } catch (const std::exception& e) {
        show_message({"valdmora", std::string("The operation was abandoned: ") + e.what(), {}});
    }
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

std::vector<NamedPath> Form1::kept_files() const {
    // the data held and the estimate's own files are never replaced by a save
    std::vector<NamedPath> kept{{"the estimate's file", kPredictionsFile}, {"the estimate's file", kUserFile}};
    if (state_.has_data_file()) kept.insert(kept.begin(), {"the data file", to8bit(txtData->text())});
    return kept;
}

void Form1::refuse_clash(const QStringList& paths, const char* title) const {
    std::vector<NamedPath> outputs;
    for (const QString& p : paths) outputs.push_back({"the file", engine_path(p)});
    const std::string clash = output_clash(kept_files(), outputs);
    if (!clash.empty()) throw UserError(clash, title);
}

QString Form1::choose_file(const QString& title, const QString& filter, bool save) {
    if (file_chooser_) return file_chooser_(title, filter, save);
    return save ? QFileDialog::getSaveFileName(this, title, QString(), filter)
                : QFileDialog::getOpenFileName(this, title, QString(), filter);
}

void Form1::show_help(const QString& topic) { HelpDialog::show_topic(this, topic); }

// --- work off the window's thread ------------------------------------------------------

template <class T>
std::optional<T> Form1::run_off_thread(const QString& what, const std::function<T(const Progress&)>& work) {
    struct Shared {
        std::mutex lock;
        std::string stage;
        int done = 0, total = 0;
    } shared;
    std::atomic<bool> cancel{false}, finished{false};
    const Progress progress(
        [&shared](const std::string& stage, int done, int total) {
            std::lock_guard<std::mutex> guard(shared.lock);
            shared.stage = stage;
            shared.done = done;
            shared.total = total;
        },
        &cancel);
    std::optional<T> result;
    std::exception_ptr error;
    std::thread worker([&] {
        try {
            result = work(progress);
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
    });
    // whatever is thrown below, the worker is stopped and joined, never left running
    struct StopOnExit {
        std::thread& worker;
        std::atomic<bool>& cancel;
        ~StopOnExit() {
            if (worker.joinable()) {
                cancel = true;
                worker.join();
            }
        }
    } stop_on_exit{worker, cancel};

    busy_ = true;
    centralWidget()->setEnabled(false);
    menuBar()->setEnabled(false);
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
            dialog = std::make_unique<QProgressDialog>(what + "…", "Cancel", 0, 100, this);
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
        if (dialog && dialog->wasCanceled() && !cancel) {
            cancel = true;
            dialog->setLabelText("Cancelling…");
        }
        if (dialog && !cancel) {
            std::lock_guard<std::mutex> guard(shared.lock);
            dialog->setLabelText(shared.stage.empty() ? what + "…" : what + ": " + from8bit(shared.stage) + "…");
            dialog->setMaximum(std::max(1, shared.total));
            dialog->setValue(std::min(shared.done, std::max(1, shared.total)));
        }
    });
    poll.start(30);
    cancel_hook_ = [&cancel] { cancel = true; };
    loop.exec();
    worker.join();
    cancel_hook_ = nullptr;
    poll.stop();
    dialog.reset();
    QApplication::restoreOverrideCursor();
    centralWidget()->setEnabled(true);
    menuBar()->setEnabled(true);
    busy_ = false;

    bool cancelled = cancel.load();
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const Cancelled&) {
            cancelled = true;
        }
    }
    if (cancelled) {
        statusBar()->showMessage(what + " was cancelled; nothing has changed.");
        return std::nullopt;
    }
    return result;
}

void Form1::closeEvent(QCloseEvent* event) {
    // work in progress is cancelled; the window closes once it has stopped
    if (busy_) {
        if (cancel_hook_) cancel_hook_();
        close_after_work_ = true;
        event->ignore();
        QTimer::singleShot(50, this, [this] {
            if (close_after_work_) close();
        });
        return;
    }
    if (check_window_) check_window_->close();
    QMainWindow::closeEvent(event);
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!busy_ && urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    const QString path = urls.front().toLocalFile();
    guarded([this, path] { open_data_file(path); });
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

void Form1::open_data_file(const QString& path) {
    if (busy_) return;
    // the path box shows what is read; setting it runs its handler, which leaves simulation
    const QSignalBlocker block(txtData);
    const QString before = txtData->text();
    txtData->setText(path);
    try {
        read_data_file();
    } catch (...) {
        txtData->setText(before);  // the box keeps naming the data the window holds
        throw;
    }
}

void Form1::read_data_file() {
    // Read everything first: a failed read leaves the state and the window as they were.
    const QString path = txtData->text();
    const CountData file = read_count_file(engine_path(path));
    store_count_data(state_, file);
    predictor_names_ = file.predictor_names;
    last_result_.reset();

    chkBeta[0]->show();
    txtBeta[0]->show();
    lblBeta[0]->show();
    for (int j = 1; j <= 4; ++j) {
        const bool used = j <= state_.n_pred;
        chkBeta[j]->setVisible(used);
        txtBeta[j]->setVisible(used);
        lblBeta[j]->setVisible(used);
        if (used) lblBeta[j]->setText(from8bit(file.predictor_names[static_cast<std::size_t>(j - 1)]));
    }
    txtBeta[5]->show();
    Label6->show();
    lblExtraParam->show();
    Label10->show();
    for (QWidget* w : optErr) w->show();
    // reading a file leaves a simulation series behind
    for (QWidget* w : std::initializer_list<QWidget*>{txtN_surveys, Label2, chkJustEstimate, lblJustEstimate, lblTotSimDog})
        w->hide();
    Command1->setText(kCaptionEstimate);
    draw_key(state_.surveyed_name.values());
    setWindowTitle("valdmora V1.01 — " + QFileInfo(path).fileName());
    remember_recent(QFileInfo(path).absoluteFilePath());
    statusBar()->showMessage(QString("read %1: %2 surveyed and %3 unsurveyed wards, %4 predictors")
                                 .arg(QDir::toNativeSeparators(path))
                                 .arg(QLocale().toString(state_.n_surveyed))
                                 .arg(QLocale().toString(state_.n_unsurveyed))
                                 .arg(state_.n_pred));
    fit_layout();
    for (const Notice& n : file.notices) show_message(n);
}

void Form1::draw_key(const std::vector<std::string>& names) {
    // the key of the wards shown now, not over the names of the wards shown before
    picLegend->clear();
    plot_key(*picLegend, std::span<const std::string>(names.data(), std::min<std::size_t>(names.size(), 10)));
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
    in.generator = exact_generator_action_->isChecked() ? Generator::exact : Generator::classic;
    in.fmt = fmt_;
    if (chkBootstrap->isChecked()) {
        in.bootstrap_reps = kBootstrapReps;
        in.bootstrap_seed = 1;  // the same data give the same limits
    }

    ClickServices services;
    services.library = model_binder_ ? model_binder_() : bind_model_library();
    services.random = random_;
    services.reseed_from_clock = reseed_from_clock_;
    const EstimationState copy = state_;
    std::optional<ClickResult> result = run_off_thread<ClickResult>("Estimating", [&](const Progress& progress) {
        ClickServices sv = services;
        sv.progress = progress;
        return run_estimating_click(in, copy, sv);
    });
    if (result) apply_result(*result);
}

void Form1::apply_result(ClickResult& r) {
    // the files first: what could not be written is said, and the rest of the estimate stands
    std::vector<Notice> notices = r.notices;
    QStringList written;
    for (const OutputFile& f : r.files) {
        // a data file that happens to carry an output's name is read, never replaced
        const bool is_data = state_.has_data_file() && same_file_as(f.name, {{"the data file", to8bit(txtData->text())}});
        const std::string e = is_data ? "it is the data file, which is never replaced" : write_file_atomically(f.name, f.content);
        if (e.empty())
            written.prepend(QString::fromStdString(f.name));  // the predictions, the user's result, named first
        else
            notices.push_back({"Output file",
                               "The file " + to8bit(QDir::current().absoluteFilePath(QString::fromStdString(f.name))) +
                                   " could not be written: " + e + ".",
                               "The rest of the estimate stands; the earlier file, if any, is unchanged.", true});
    }
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
    Label7->setText(from8bit(r.label7));
    picCount->clear();
    plot_counts(*picCount, r.counts, fmt_);
    Label8->setText(from8bit(r.label8));
    if (r.lbl_tot_sim_dog) lblTotSimDog->setText(from8bit(*r.lbl_tot_sim_dog));
    lblIntervals->setText(from8bit(r.interval_text));
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
    state_ = r.state;
    last_result_ = std::move(r);
    fit_layout();
    for (const Notice& n : notices)
        if (n.modal) show_message(n);
    if (check_window_ && check_window_->isVisible()) check_model();
}

void Form1::optErr_Click(int index) {
    std::array<std::string, 6> boxes;
    for (int i = 0; i < 6; ++i) boxes[i] = to8bit(txtBeta[i]->text());
    const auto set = choose_distribution(state_, index, boxes, fmt_);
    lblExtraParam->setText(QString::fromStdString(state_.extra_param_name(index)));
    // each text set runs that box's change handler, as typing would
    for (int i = 0; i < 6; ++i)
        if (set[i]) txtBeta[i]->setText(from8bit(boxes[i]));
    fit_layout();
}

void Form1::chkJustEstimate_Click() {
    Command1->setText(chkJustEstimate->isChecked() ? kCaptionReestimate : kCaptionSimulateAgain);
    fit_layout();
}

void Form1::txtData_Change() {
    if (!txtData->text().isEmpty()) {
        // a path typed into an emptied box returns to reading it: the next click reads
        if (Command1->text() != kCaptionRead && Command1->text() != kCaptionEstimate) {
            Command1->setText(kCaptionRead);
            for (QWidget* w :
                 std::initializer_list<QWidget*>{txtN_surveys, Label2, chkJustEstimate, lblJustEstimate, lblTotSimDog})
                w->hide();
            if (chkJustEstimate->isChecked()) {
                const QSignalBlocker block(chkJustEstimate);
                chkJustEstimate->setChecked(false);
            }
            for (int j = 1; j <= 4; ++j)
                if (j <= static_cast<int>(predictor_names_.size()))
                    lblBeta[j]->setText(from8bit(predictor_names_[static_cast<std::size_t>(j - 1)]));
            statusBar()->showMessage("The next click reads " + txtData->text() + ".");
            fit_layout();
        }
        return;
    }
    std::array<std::string, 6> boxes;
    for (int i = 0; i < 6; ++i) boxes[i] = to8bit(txtBeta[i]->text());
    empty_data_path(state_, boxes, fmt_);
    for (int j = 1; j <= 4; ++j) {
        chkBeta[j]->show();
        txtBeta[j]->show();
        lblBeta[j]->show();
        lblBeta[j]->setText(QString::fromStdString(predictor_name({}, j)));
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
    fit_layout();
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
    // a range must be a percentage above zero: none or a negative one draws no chart
    const std::string text = to8bit(txtRange->text());
    if (!typed_number_ok(text, fmt_) || !(*parse_number(text, fmt_) > 0.0)) txtRange->setText("10");
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

// --- the menus' work --------------------------------------------------------------------

void Form1::save_predictions_csv(const QString& path) {
    if (!last_result_ || last_result_->ward_predictions.empty())
        throw UserError("There are no ward predictions yet: estimate first.", "Save ward predictions");
    refuse_clash({path}, "Save ward predictions");
    const std::string e = write_file_atomically(engine_path(path), ward_predictions_csv(last_result_->ward_predictions));
    if (!e.empty())
        throw UserError("The file " + printable(to8bit(path), 200) + " could not be written: " + e + ".",
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
        const bool ok = svg ? box->save_svg(file, &error) : box->save_png(file, &error);
        if (!ok) {
            // say what did get written, so that no one takes a lone chart for the pair
            const std::string done = written.isEmpty() ? "" : " (" + to8bit(written.join(", ")) + " was written)";
            throw UserError("The chart could not be written to " + to8bit(file) + ": " + to8bit(error) + done + ".",
                            "Save charts");
        }
        written << QDir::toNativeSeparators(file);
    }
    statusBar()->showMessage("wrote " + written.join(" and "));
}

void Form1::compare_models() {
    if (!state_.has_data_file() || state_.n_surveyed == 0)
        throw UserError("Read a count data file first: the models are compared on its surveyed wards.", "Compare models");
    ClickServices services;
    services.library = model_binder_ ? model_binder_() : bind_model_library();
    const EstimationState copy = state_;
    const std::vector<std::string> names = predictor_names_;
    const NumberFormat fmt = fmt_;
    std::optional<ModelTable> table = run_off_thread<ModelTable>("Comparing models", [&](const Progress& progress) {
        ClickServices sv = services;
        sv.progress = progress;
        return valdmora::compare_models(copy, names, sv, fmt);
    });
    if (!table) return;
    auto* dialog = new ModelTableDialog(std::move(*table), fmt_, this);
    dialog->set_kept_files(kept_files());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &ModelTableDialog::useModel, this, [this](const ModelRow& row) { guarded([this, row] { use_model(row); }); });
    dialog->show();
}

void Form1::use_model(const ModelRow& row) {
    if (busy_) return;  // the running work was given the boxes as they were
    // the distribution first (it writes its default start values), then the predictors,
    // then the model's own estimates as the start values
    if (optErr[row.dist - 1]->isChecked())
        optErr_Click(row.dist - 1);
    else
        optErr[row.dist - 1]->setChecked(true);
    chkBeta[0]->setChecked(true);
    for (int j = 1; j <= 4; ++j) {
        const bool used = std::find(row.predictors.begin(), row.predictors.end(), j) != row.predictors.end();
        if (chkBeta[j]->isChecked() != used) chkBeta[j]->setChecked(used);
    }
    for (int i = 0; i < 6; ++i)
        if ((i <= state_.n_pred || i == 5) && !row.boxes[static_cast<std::size_t>(i)].empty())
            txtBeta[i]->setText(from8bit(row.boxes[static_cast<std::size_t>(i)]));
    statusBar()->showMessage("The model is set: click \"" + Command1->text() + "\" to estimate it.");
    fit_layout();
}

void Form1::check_model() {
    if (!last_result_)
        throw UserError("There is no estimate to check yet: estimate first.", "Check model");
    const ClickResult& r = *last_result_;
    const Residuals residuals = model_residuals(r.state, r.par_value, static_cast<long>(r.free_pos.size()), 1);
    if (!check_window_) {
        check_window_ = new ModelCheckWindow(this);
        check_window_->setFont(font());
    }
    check_window_->show_residuals(residuals, fmt_, static_cast<int>(r.state.err_dist));
    const DispersionChecks checks =
        dispersion_checks(r.state, r.par_value, r.lower_bound, r.upper_bound, r.free_pos,
                          model_binder_ ? model_binder_() : bind_model_library(), 1);
    std::string sentences = checks.simulated.available ? checks.simulated.sentence : "";
    if (checks.poisson.available) sentences = checks.poisson.sentence + "\n" + sentences;
    check_window_->show_checks(sentences);
    check_window_->show();
    check_window_->raise();
}

}  // namespace valdmora

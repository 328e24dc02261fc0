// SPDX-License-Identifier: GPL-3.0-or-later
#include "form_controls.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMainWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <cmath>

#include "cycle/distributions.h"
#include "picture_box.h"
#include "qt_text.h"

namespace valdmora {

QStringList window_face_preferences() {
    return {"Liberation Sans", "Arimo", "Nimbus Sans", "Arial", "Helvetica", "DejaVu Sans"};
}

QRect twips(int left, int top, int width, int height) {
    auto px = [](int t) { return static_cast<int>(std::lround(t / 15.0)); };
    return {px(left), px(top), px(width), px(height)};
}

namespace {

const QColor kBlue(0, 0, 255);
const QColor kBlack(0, 0, 0);

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

void FormControls::create_controls(QMainWindow* window, const QString& face, const NumberFormat& fmt, int bootstrap_reps) {
    window->setFont(window_face(face));
    // The controls keep fixed places; on a small screen the page scrolls.
    auto* scroll = new QScrollArea(window);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget;
    page->setObjectName("Form1_page");
    page->setFixedSize(twips(0, 0, 15135 + 120, 10695 + 120).size());
    scroll->setWidget(page);
    window->setCentralWidget(scroll);
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

    Label1 = label("Label1", twips(120, 120, 1215, 255), "&path to data file:", &kBlue);
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
    lblHeadline = label("lblHeadline", twips(6000, 1440, 5040, 615), "", &kBlack, true);

    txtN_surveys = edit("txtN_surveys", twips(8280, 165, 375, 285), "20");
    Label2 = label("Label2", twips(8760, 180, 735, 255), "#&surveys", &kBlue);
    chkJustEstimate = check("chkJustEstimate", twips(9720, 180, 255, 255), false);
    lblJustEstimate = label("lblJustEstimate", twips(10080, 180, 855, 255), "re-&estimate", &kBlue);

    Label10 = label("Label10", twips(120, 600, 855, 615), "select error &distribution function:", &kBlue, true);
    for (int i = 0; i < 3; ++i) {
        // Alt+L, Alt+N, Alt+G
        static const int mnemonic[3] = {0, 0, 2};
        QString option = QString::fromUtf8(kDistributions[static_cast<std::size_t>(i)].option);
        option.insert(mnemonic[i], '&');
        optErr[i] = new QRadioButton(option, page);
        optErr[i]->setObjectName(QString("optErr(%1)").arg(i));
        place(optErr[i], twips(1200, 600 + 360 * i, 4455, 255));
    }
    optErr[0]->setChecked(true);  // radio buttons with one parent form one exclusive group

    lblWard = label("lblWard", twips(120, 1800, 2535, 255), "estimate roaming dogs just in &ward:", &kBlue);
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
    Label6 = label("Label6", twips(11160, 120, 855, 855), "select from potential predictor &variables:", &kBlue, true);
    txtBeta[5] = edit("txtBeta(5)", twips(12840, 1920, 495, 285), QString::fromStdString(with_locale_decimal(std::string(kDistributions[0].default_extra), fmt)));
    lblExtraParam = label("lblExtraParam", twips(13440, 1965, 615, 195), QString::fromUtf8(kDistributions[0].extra_name));
    chkZero = check("chkZero", twips(12120, 2640, 255, 255), true);
    Label9 = label("Label9", twips(12480, 2640, 1575, 255), "plot &origin at zero", &kBlue);
    picLegend = new PictureBox(page);
    picLegend->setObjectName("picLegend");
    place(picLegend, twips(12120, 3120, 2055, 3255));
    Label3 = label("Label3", twips(12120, 7080, 1575, 720), "plot likelihood over &range extending ", &kBlue, true);
    txtRange = edit("txtRange", twips(13560, 7200, 300, 285), "50");
    Label4 = label("Label4", twips(13920, 7245, 255, 195), "%");
    Label5 = label("Label5", twips(12120, 7490, 1935, 255), "either side of point estimate", &kBlue);
    // below the range sentence, beside the likelihood chart whose marks they explain
    chkBootstrap = new QCheckBox(QString("&bootstrap limits, %1 replicates").arg(QLocale().toString(bootstrap_reps)), page);
    chkBootstrap->setObjectName("chkBootstrap");
    place(chkBootstrap, twips(12120, 7860, 3015, 255));
    lblIntervals = label("lblIntervals", twips(12120, 8220, 3015, 1950), "", &kBlack, true);
    // below the intervals it adds to: the dogs present from marked dogs and their sightings
    grpSighting = new QGroupBox("sighting &correction: dogs present", page);
    grpSighting->setObjectName("grpSighting");
    grpSighting->setCheckable(true);
    grpSighting->setChecked(false);
    place(grpSighting, twips(12120, 10260, 3015, 1560));
    {
        auto* grid = new QGridLayout(grpSighting);
        grid->setContentsMargins(4, 2, 4, 2);
        grid->setVerticalSpacing(1);
        auto sight_edit = [&](const char* name, const QString& placeholder) {
            auto* e = new QLineEdit(grpSighting);
            e->setObjectName(name);
            e->setPlaceholderText(placeholder);
            return e;
        };
        optSightCounts = new QRadioButton("marked dogs present", grpSighting);
        optSightCounts->setObjectName("optSightCounts");
        optSightCounts->setChecked(true);
        txtMarked = sight_edit("txtMarked", "40");
        txtSeen = sight_edit("txtSeen", "22, 25, 19");
        optSightShare = new QRadioButton("or a sighting proportion", grpSighting);
        optSightShare->setObjectName("optSightShare");
        txtProportion = sight_edit("txtProportion", QString::fromStdString(with_locale_decimal("0.6", fmt)));
        txtProportionSE = sight_edit("txtProportionSE", QString::fromStdString(with_locale_decimal("0.05", fmt)));
        grid->addWidget(optSightCounts, 0, 0);
        grid->addWidget(txtMarked, 0, 1);
        grid->addWidget(new QLabel("seen in each count", grpSighting), 1, 0);
        grid->addWidget(txtSeen, 1, 1);
        grid->addWidget(optSightShare, 2, 0);
        grid->addWidget(txtProportion, 2, 1);
        grid->addWidget(new QLabel(QString::fromUtf8("\u00b1 its standard error"), grpSighting), 3, 0);
        grid->addWidget(txtProportionSE, 3, 1);
    }

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
                {chkBootstrap, lblIntervals, true},
                {Label7, lblHeadline, true},
                {Label8, lblHeadline, true},
                {lblIntervals, grpSighting, true}};
    for (int i = 0; i < 5; ++i) follows_.push_back({txtBeta[i], lblBeta[i], false});
}

void FormControls::fit_layout() {
    if (!page_) return;
    // every control back at its designed place, then sized to its text
    for (const auto& [w, r] : designed_) w->setGeometry(r);
    if (narrow_shift_ > 0) {
        // the column beside the charts moves left; above them, the predictors' names keep
        // only the width their text takes
        const QRect charts = designed_[picCount];
        for (const auto& [w, r] : designed_)
            if (r.left() > charts.right() && r.top() >= charts.top()) w->move(w->x() - narrow_shift_, w->y());
        for (QLabel* l : lblBeta) l->resize(l->sizeHint().width(), l->height());
        lblExtraParam->resize(lblExtraParam->sizeHint().width(), lblExtraParam->height());
    }
    // On a short screen (a field laptop's 768 lines) the charts give up height, and the
    // controls beside the likelihood chart move up with it, so that the form needs no scrolling.
    const int half = chart_growth_ / 2;
    if (half < 0) {
        const QRect legend = picLegend->geometry();
        picLegend->setGeometry(legend.adjusted(0, 0, 0, half));
        for (QWidget* w : std::initializer_list<QWidget*>{Label3, txtRange, Label4, Label5, chkBootstrap, lblIntervals,
                                                          grpSighting})
            w->move(w->x(), w->y() + half);
    }
    // the sighting group shows its title alone until it is ticked, keeping the page short
    {
        const bool on = grpSighting->isChecked();
        for (QWidget* c : grpSighting->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) c->setVisible(on);
        const int height = on ? std::max(grpSighting->height(), grpSighting->sizeHint().height())
                              : grpSighting->fontMetrics().height() + 8;
        grpSighting->resize(grpSighting->width(), height);
    }
    auto grow_right = [](QWidget* w, int needed) { w->resize(std::max(w->width(), needed), w->height()); };
    const int frame = 10;  // a box's frame and margins around its text
    for (const auto& [w, r] : designed_) {
        if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l == Label7 || l == Label8 || l == lblTotSimDog || l == lblIntervals || l == lblHeadline) {
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
    // the charts take what height the window has beyond the form's, one half each; the
    // controls beside them keep their places
    picCount->setGeometry(designed_[picCount].adjusted(0, 0, -narrow_shift_, half));
    picLL->setGeometry(designed_[picLL].adjusted(0, half, -narrow_shift_, chart_growth_));
    // the page holds every control
    // no margin right of the rightmost controls: at 1,024 pixels the page must fit beside a
    // vertical scroll bar
    QRect extent(QPoint(0, 0), twips(0, 0, 15135, 10695 + 120).size() + QSize(-narrow_shift_, std::min(0, chart_growth_)));
    for (const auto& [w, r] : designed_) extent = extent.united(w->geometry().adjusted(0, 0, 1, 8));
    page_->setFixedSize(extent.size());
}

namespace {
constexpr int kMostChartShrink = 260;  // pixels, of both charts together
}  // namespace

void FormControls::set_narrow(bool narrow) {
    const int shift = narrow ? 24 : 0;
    if (shift == narrow_shift_) return;
    narrow_shift_ = shift;
    fit_layout();
}

bool FormControls::grow_charts_to(int viewport_height) {
    // The charts take the height the page lacks or leaves; the controls beside the likelihood
    // chart move by half of it, so the page's need is found in a few steps, not one.
    const int before = chart_growth_;
    for (int step = 0; step < 8; ++step) {
        const int growth = std::max(-kMostChartShrink, chart_growth_ + viewport_height - page_->height());
        if (growth == chart_growth_) break;
        chart_growth_ = growth;
        fit_layout();
    }
    return chart_growth_ != before;
}


// What each control is for, for the tooltips, and what a screen reader calls it.
void FormControls::describe_controls() {
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
        {lblHeadline, "Dogs in the town", "The dogs counted plus the estimate for the unsurveyed wards, with its 95 % prediction limits."},
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
        {grpSighting, "Sighting correction",
         "Tick to give the dogs present, seen or not: marked dogs present and how many of them each count saw, or "
         "a sighting proportion and its standard error from an earlier study."},
        {txtMarked, "Marked dogs present", "How many marked dogs were present in the surveyed area during the counts."},
        {txtSeen, "Marked dogs seen", "How many marked dogs each count saw, parted by commas or blanks."},
        {txtProportion, "Sighting proportion", "The share of the dogs present that a count sees, from an earlier study."},
        {txtProportionSE, "Standard error of the sighting proportion", "The standard error of that share."},
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

void FormControls::set_focus_order() {
    // Alt and a caption's underlined letter reach its control
    Label1->setBuddy(txtData);
    Label2->setBuddy(txtN_surveys);
    lblJustEstimate->setBuddy(chkJustEstimate);
    Label10->setBuddy(optErr[0]);
    lblWard->setBuddy(txtWard);
    Label6->setBuddy(chkBeta[0]);
    Label9->setBuddy(chkZero);
    Label3->setBuddy(txtRange);
    // Tab in reading order: the path and the button, the distributions, each predictor's tick
    // and box, the ward, the charts' options, the charts
    std::vector<QWidget*> order{txtData, Command1, txtN_surveys, chkJustEstimate, optErr[0], optErr[1], optErr[2]};
    for (int i = 0; i <= 4; ++i) order.insert(order.end(), {chkBeta[i], txtBeta[i]});
    order.insert(order.end(), {txtBeta[5], txtWard, chkZero, txtRange, chkBootstrap, grpSighting, optSightCounts,
                               txtMarked, txtSeen, optSightShare, txtProportion, txtProportionSE, picCount, picLL,
                               picLegend});
    for (std::size_t i = 0; i + 1 < order.size(); ++i) QWidget::setTabOrder(order[i], order[i + 1]);
}


}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
// The form's controls, named as the users' guide names them: made in one place, laid out at
// their designed places and grown to show their whole texts.
#pragma once

#include <QRect>
#include <QString>
#include <array>
#include <map>
#include <vector>

#include "cycle/number_text.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QRadioButton;
class QWidget;

namespace valdmora {

class PictureBox;

// The faces the window takes, the first installed one winning; with none of them, the
// system's sans-serif face.
QStringList window_face_preferences();

// Layout positions are given in twips: 15 to the pixel at 96 dpi. Qt scales logical
// pixels for high-density screens itself.
QRect twips(int left, int top, int width, int height);

class FormControls {
public:
    // Makes every control on a scrolling page that becomes the window's central widget;
    // face: the font family to lay the window out in, empty: the best installed.
    void create_controls(QMainWindow* window, const QString& face, const NumberFormat& fmt, int bootstrap_reps);
    // What each control is for, for the tooltips, and what a screen reader calls it.
    void describe_controls();
    void set_focus_order();
    // Grows each control to show its whole text and moves those after it just enough; the
    // charts take the height the window has beyond the form's.
    void fit_layout();
    // Gives the charts the height of a viewport this tall beyond the form's; true when it changed.
    bool grow_charts_to(int viewport_height);
    // Narrow (the results pane below the form): the charts give up some width and the
    // controls right of them move left, so that the page fits beside a vertical scroll bar.
    void set_narrow(bool narrow);

protected:
    // designed places, in pixels, and which control continues which
    std::map<QWidget*, QRect> designed_;
    struct Follow {
        QWidget* lead;
        QWidget* follower;
        bool below;
    };
    std::vector<Follow> follows_;
    QWidget* page_ = nullptr;
    int chart_growth_ = 0;       // pixels of height the charts have beyond their designed ones
    int narrow_shift_ = 0;       // pixels the right-hand controls move left on a narrow window

    QLabel* Label1 = nullptr;
    QLineEdit* txtData = nullptr;
    QPushButton* Command1 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* lblTotSimDog = nullptr;
    QLabel* lblHeadline = nullptr;  // the town's dogs with named limits, where the simulation summary would be
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
    // the sighting correction, off until ticked: marked dogs and their sightings, or a proportion
    QGroupBox* grpSighting = nullptr;
    QRadioButton* optSightCounts = nullptr;
    QRadioButton* optSightShare = nullptr;
    QLineEdit* txtMarked = nullptr;
    QLineEdit* txtSeen = nullptr;
    QLineEdit* txtProportion = nullptr;
    QLineEdit* txtProportionSE = nullptr;
};

}  // namespace valdmora

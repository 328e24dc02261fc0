// SPDX-License-Identifier: GPL-3.0-or-later
// The window driven as a user drives it: typing, tabbing away, clicking.
#include <QSettings>
#include <QScrollBar>
#include <QScrollArea>
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QCheckBox>
#include <QDockWidget>
#include <QGroupBox>
#include <QSet>
#include <QMenu>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTextDocument>
#include <QDir>
#include <QProcess>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <memory>

#include "estimation/uniform.h"
#include "main_window.h"
#include "map_pane.h"
#include "model_table_dialog.h"
#include "plan_dialog.h"
#include <QSpinBox>
#include "picture_box.h"
#include "window_driver.h"

using valdmora::Form1;
using valdmora::Notice;
using valdmora::PictureBox;

namespace {
int ink(const QImage& image) {
    int n = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) n += rgb.pixel(x, y) != qRgb(255, 255, 255);
    return n;
}
}  // namespace

class WindowTest : public QObject, private WindowDriver {
    Q_OBJECT

private:

    QString write(const QString& name, const std::string& content) {
        const QString path = dir.filePath(name);
        std::ofstream(path.toStdString(), std::ios::binary) << content;
        return path;
    }

    void read_file(const std::string& content) {
        type_into(get<QLineEdit>("txtData"), write("counts.txt", content));
        QTest::mouseClick(command(), Qt::LeftButton);
    }

private slots:
    void init() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QSettings().remove("files");  // each test opens its files afresh
        messages.clear();
        w = std::make_unique<Form1>();
        w->set_message_sink([this](const Notice& m) { messages.push_back(m); });
        // a question no test expects is answered no, never left open
        w->set_question_sink([](const QString&, const QString&) { return false; });
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
    }
    void cleanup() { w.reset(); }

    void wardMapFollowsTheBoundariesAndTheEstimate() {
        const QString ref = VALDMORA_REFERENCE_DIR;
        // boundaries before data wait for the data
        w->open_boundaries(ref + "/town.geojson");
        valdmora::MapPane* pane = w->map_pane();
        QVERIFY(!pane->boundaries());
        type_into(get<QLineEdit>("txtData"), ref + "/town_counts.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(pane->boundaries());
        w->open_boundaries(ref + "/town.geojson");
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(pane->boundaries());
        QCOMPARE(pane->boundaries()->wards_without_boundary, std::vector<std::string>{"Ghost"});
        QVERIFY(!pane->map());  // nothing estimated yet
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(pane->map());
        QCOMPARE(int(pane->map()->wards.size()), 30);
        // the model check names what the residuals say about space
        w->check_model();
        bool said = false;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == "modelCheck" && top->isVisible()) {
                said = top->findChildren<QLabel*>().size() > 0;
                bool found = false;
                for (QLabel* l : top->findChildren<QLabel*>()) found = found || l->text().contains("neighbouring wards");
                said = found;
                top->close();
            }
        QVERIFY(said);
        // bad boundaries keep those held, and say why
        const QString bad = write("bad.geojson", R"({"type":"FeatureCollection","features":[{"type":"Feature",)"
                                                 R"("properties":{"n":"W01"},"geometry":{"type":"Point","coordinates":[10,45]}}]})");
        w->set_file_chooser([&](const QString&, const QString&, bool) { return bad; });
        w->findChild<QAction*>("openBoundaries")->trigger();
        QCOMPARE(int(messages.size()), 1);
        QVERIFY(QString::fromStdString(messages[0].text).contains("feature 1: the geometry is a Point"));
        QVERIFY(pane->boundaries());
        QCOMPARE(int(pane->map()->wards.size()), 30);
        // saved for print: SVG with one shape a ward
        const QString svg = dir.filePath("map.svg");
        QString error;
        QVERIFY2(pane->save(svg, &error), qPrintable(error));
        QFile f(svg);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("<path data-ward="), 30);
    }

    void opensInFileMode() {
        QCOMPARE(w->windowTitle(), QString("valdmora V1.01"));
        QCOMPARE(command()->text(), QString("read data from file"));
        QCOMPARE(get<QLineEdit>("txtData")->text(), QString("counts.txt"));
        QVERIFY(command()->hasFocus());
        for (const char* shown : {"Label1", "txtData", "Command1", "Label7", "Label8", "chkZero", "Label9",
                                  "picLegend", "Label3", "txtRange", "Label4", "Label5", "picCount", "picLL"})
            QVERIFY2(w->findChild<QWidget*>(shown)->isVisible(), shown);
        for (const char* hidden : {"lblTotSimDog", "txtN_surveys", "Label2", "chkJustEstimate", "Label10",
                                   "optErr(0)", "lblWard", "txtWard", "txtBeta(0)", "chkBeta(0)", "lblBeta(1)",
                                   "Label6", "txtBeta(5)", "lblExtraParam"})
            QVERIFY2(!w->findChild<QWidget*>(hidden)->isVisible(), hidden);
        QVERIFY(get<QLabel>("Label8")->font().bold());
        QCOMPARE(get<QLabel>("Label8")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(get<QLabel>("Label1")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(get<QLineEdit>("txtBeta(5)")->text(), QString("0.25"));
        QCOMPARE(get<QLabel>("lblBeta(3)")->text(), QString("Label11"));
        QVERIFY(get<QCheckBox>("chkBeta(0)")->isChecked());
        QVERIFY(get<QCheckBox>("chkZero")->isChecked());
        QVERIFY(get<QRadioButton>("optErr(0)")->isChecked());
        // twips / 15: Command1 at 6000, 120, 2175 x 375
        QCOMPARE(command()->geometry(), QRect(400, 8, 145, 25));
        QCOMPARE(w->state().err_dist, valdmora::Dist::lognormal);
        QCOMPARE(w->state().t_crit(3), 3.182f);
    }

    void focusMovesInTheSetOrderSkippingHiddenControls() {
        // reading order: the button, then (the form's model rows hidden) the charts' options and the charts
        const QStringList expected{"chkZero", "txtRange", "chkBootstrap", "grpSighting", "picCount", "picLL", "picLegend"};
        for (const QString& name : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), name);
        }
    }

    void readingAFileShowsThePredictorRows() {
        read_file("housing,markets\r\nNorthside, 120, 3\r\nEastgate,340,5,27\r\n");
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QCOMPARE(command()->text(), QString("estimate population size"));
        QCOMPARE(get<QLabel>("lblBeta(1)")->text(), QString("housing"));
        QCOMPARE(get<QLabel>("lblBeta(2)")->text(), QString("markets"));
        for (const char* shown : {"chkBeta(0)", "txtBeta(0)", "lblBeta(0)", "chkBeta(2)", "txtBeta(5)", "Label6",
                                  "lblExtraParam", "Label10", "optErr(2)"})
            QVERIFY2(w->findChild<QWidget*>(shown)->isVisible(), shown);
        QVERIFY(!w->findChild<QWidget*>("txtBeta(3)")->isVisible());
        QVERIFY(!w->findChild<QWidget*>("txtN_surveys")->isVisible());
        QCOMPARE(w->state().n_surveyed, int16_t(1));
        QCOMPARE(w->state().n_unsurveyed, int16_t(1));
        QCOMPARE(w->state().data_read, int16_t(-1));
    }

    void aFailedReadChangesNothingAndCanBeRetried() {
        for (const std::string& bad : {std::string(""), std::string("a,b,c,d,e\n"), std::string("a,b\nX,1,2,,,\n"),
                                      std::string("a,b\nX,1,zz\n")}) {
            messages.clear();
            read_file(bad);
            QCOMPARE(int(messages.size()), 1);
            QCOMPARE(command()->text(), QString("read data from file"));
            QCOMPARE(w->state().data_read, int16_t(0));
            QCOMPARE(w->state().n_pred, int16_t(0));
            QVERIFY(!w->findChild<QWidget*>("optErr(0)")->isVisible());
        }
        QCOMPARE(QString::fromStdString(messages.back().text).contains("is not a number"), true);
        // the malformed line keeps its old message, now with where and why
        messages.clear();
        read_file("a,b\nX,1,2,,,\n");
        QCOMPARE(messages.at(0).text, std::string("please check data file"));
        QVERIFY(QString::fromStdString(messages[0].detail).contains("line 2"));
        // a missing file names it
        messages.clear();
        type_into(get<QLineEdit>("txtData"), dir.filePath("missing.txt"));
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(QString::fromStdString(messages.at(0).text).contains("missing.txt"));
        // mended, the same click reads it
        messages.clear();
        read_file("a,b\nX,1,2\n");
        QVERIFY(messages.empty());
        QCOMPARE(command()->text(), QString("estimate population size"));
    }

    void optionClickWritesDefaultsThroughTheChangeHandlers() {
        read_file("a,b\nX,1,2\nY,1,2,7\n");
        type_into(beta(0), "3");
        QCOMPARE(w->state().beta_entered(0), 3.0);
        type_into(beta(1), "0.5");
        QTest::mouseClick(get<QRadioButton>("optErr(1)"), Qt::LeftButton);
        QCOMPARE(w->state().err_dist, valdmora::Dist::normal);
        QCOMPARE(get<QLabel>("lblExtraParam")->text(), QString("SD"));
        QCOMPARE(beta(0)->text(), QString("10"));
        QCOMPARE(beta(1)->text(), QString("0"));
        QCOMPARE(beta(5)->text(), QString("10"));
        QCOMPARE(w->state().beta_entered(5), 10.0);
        QCOMPARE(w->state().beta_entered(0), 3.0);  // only the box text changes
        QCOMPARE(beta(3)->text(), QString("0"));
        QTest::mouseClick(get<QRadioButton>("optErr(2)"), Qt::LeftButton);
        QCOMPARE(beta(5)->text(), QString("1"));
        QCOMPARE(get<QLabel>("lblExtraParam")->text(), QString("VoM - 1"));
        QTest::mouseClick(get<QRadioButton>("optErr(0)"), Qt::LeftButton);
        QCOMPARE(beta(5)->text(), QString("0.25"));
        QCOMPARE(w->state().err_dist, valdmora::Dist::lognormal);
    }

    void optionDefaultsFollowTheLocale() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        Form1 german;
        german.set_message_sink([](const Notice&) {});
        QCOMPARE(german.findChild<QLineEdit*>("txtBeta(5)")->text(), QString("0,25"));
    }

    void resultsPaneShowsTheEstimateAndCopiesItInTheReadersDecimals() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        Form1 german;
        german.set_message_sink([this](const Notice& m) { messages.push_back(m); });
        german.open_data_file(VALDMORA_EXAMPLE_DATA);
        german.findChild<QPushButton*>("Command1")->click();
        QVERIFY(messages.empty());
        auto* pane = german.findChild<QTextBrowser*>("resultsText");
        QVERIFY(pane);
        const QString shown = pane->toPlainText();
        QVERIFY2(shown.contains("estimated dogs in the unsurveyed wards"), qPrintable(shown));
        QVERIFY(shown.contains("the dogs present (prediction)"));
        QVERIFY(shown.contains("log likelihood (complete, with every constant)"));
        german.findChild<QPushButton*>("copyResults")->click();
        const QMimeData* copied = QApplication::clipboard()->mimeData();
        QVERIFY(copied->hasHtml());
        // a German spreadsheet pastes -107,044 as a number
        QVERIFY2(copied->text().contains(QRegularExpression("AIC +[0-9]+,[0-9]{3}\\n")), qPrintable(copied->text()));
        QVERIFY(copied->html().contains("<td>AIC</td>"));
    }

    void emptyingThePathSwitchesToSimulation() {
        type_into(beta(0), "4", false);
        type_into(get<QLineEdit>("txtData"), "");
        QCOMPARE(command()->text(), QString("simulate data and estimate"));
        QCOMPARE(get<QLabel>("lblBeta(3)")->text(), QString("predictor 3"));
        QVERIFY(get<QWidget>("txtN_surveys")->isVisible());
        QVERIFY(get<QWidget>("Label2")->isVisible());
        QVERIFY(get<QWidget>("txtBeta(4)")->isVisible());
        QCOMPARE(w->state().n_pred, int16_t(4));
        QCOMPARE(w->state().beta_entered(0), 4.0);
        QCOMPARE(w->state().beta_entered(5), 0.25);
        // typing a path again returns to reading it: the next click reads the file
        type_into(get<QLineEdit>("txtData"), "other.txt");
        QCOMPARE(command()->text(), QString("read data from file"));
        QVERIFY(!get<QWidget>("txtN_surveys")->isVisible());
    }

    void emptyingThePathAfterAReadKeepsSurveysHidden() {
        read_file("a,b\nX,1,2\n");
        type_into(get<QLineEdit>("txtData"), "");
        QCOMPARE(command()->text(), QString("simulate data and estimate"));
        QVERIFY(!get<QWidget>("txtN_surveys")->isVisible());
    }

    void reestimateBoxAlternatesTheCaption() {
        auto* box = get<QCheckBox>("chkJustEstimate");
        box->show();  // a first simulation shows it
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(command()->text(), QString("Estimate from current data"));
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(command()->text(), QString("Simulate data and estimate"));
    }

    void leavingABoxChecksItsText() {
        read_file("a,b,c,d\nX,1,2,3,4\n");
        type_into(beta(3), "2.5");
        QCOMPARE(w->state().beta_entered(3), 2.5);
        // a text that is not a number stays as typed, outlined, with a tooltip saying why;
        // the entered value stays, and an estimate refuses the box by name
        for (const char* bad : {"abc", "7abc", "-", "1.2.3", " 1", ""}) {
            type_into(beta(3), bad);
            QCOMPARE(beta(3)->text(), QString(bad));
            QVERIFY2(beta(3)->property("notUnderstood").toBool(), bad);
            QVERIFY(beta(3)->toolTip().contains("type a number such as 0.25"));
            QCOMPARE(w->state().beta_entered(3), 2.5);
        }
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(int(messages.size()), 1);
        QVERIFY(QString::fromStdString(messages[0].text).contains("is \"\", which is not a number"));
        messages.clear();
        type_into(beta(3), "2");
        QVERIFY(!beta(3)->property("notUnderstood").toBool());
        QVERIFY(!beta(3)->toolTip().contains("type a number"));
        type_into(beta(5), "-0.5");
        QCOMPARE(w->state().beta_entered(5), -0.5);
        // a lone point becomes 0 at once, without leaving the box
        type_into(beta(2), ".", false);
        QCOMPARE(beta(2)->text(), QString("0"));
        auto* range = get<QLineEdit>("txtRange");
        for (const char* bad : {"x", "", "7abc", "0", "100", "-5"}) {
            type_into(range, bad);
            QCOMPARE(range->text(), QString(bad));
            QVERIFY2(range->toolTip().contains("a percentage from 1 to 99"), bad);
        }
        type_into(range, "150");
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(int(messages.size()), 1);
        QVERIFY(QString::fromStdString(messages[0].text).contains("a percentage from 1 to 99"));
        messages.clear();
        type_into(range, "75");
        QCOMPARE(range->text(), QString("75"));
        QVERIFY(!range->property("notUnderstood").toBool());
    }

    void chartsStayAcrossRepaintsAndSaveAsPng() {
        read_file("a,b\nX,1,2,5\nY,2,3,6\nZ,4,1,9\n");
        auto* key = get<PictureBox>("picLegend");
        const QImage drawn = key->image().copy();
        QVERIFY(ink(drawn) > 0);  // the key was written
        w->hide();
        w->show();
        key->repaint();
        QCOMPARE(key->image(), drawn);
        // what the screen shows inside the frame is the kept picture
        QCOMPARE(key->grab(key->contentsRect()).toImage().convertToFormat(QImage::Format_RGB32),
                 drawn.convertToFormat(QImage::Format_RGB32));
        const QString png = dir.filePath("key.png");
        QVERIFY(key->save_png(png));
        QImage saved(png);
        QCOMPARE(saved.size(), drawn.size());
        QVERIFY(!key->save_png(dir.filePath("no/such/folder/key.png")));

        // a predictor click draws the counts against it; clearing empties the chart
        auto* counts = get<PictureBox>("picCount");
        QCOMPARE(ink(counts->image()), 0);
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QVERIFY(ink(counts->image()) > 0);
        counts->clear();
        QCOMPARE(ink(counts->image()), 0);
    }

    // The sighting group is off until ticked; ticked, the dogs present join the intervals
    // beside the sentence, the pane and the key, and their CSV is written; a count above the
    // marked dogs is a message naming it, and the result on show stays.
    void sightingCorrectionGivesTheDogsPresentOnlyWhenTicked() {
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QFile::remove(dir.filePath("counts.txt"));
        QFile::remove(dir.filePath("ward_dogs_present.csv"));
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, dir.filePath("counts.txt")));
        type_into(get<QLineEdit>("txtData"), "counts.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        auto* group = get<QGroupBox>("grpSighting");
        QVERIFY(!group->isChecked());
        QVERIFY(!get<QLineEdit>("txtMarked")->isEnabled());
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(!get<QLabel>("lblIntervals")->text().contains("dogs present ="));
        QVERIFY(!QFile::exists(dir.filePath("ward_dogs_present.csv")));
        auto* legend = get<PictureBox>("picLegend");
        const int key_ink = ink(legend->image());

        group->setChecked(true);
        type_into(get<QLineEdit>("txtMarked"), "40");
        type_into(get<QLineEdit>("txtSeen"), "22, 25, 19");
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        const QString intervals = get<QLabel>("lblIntervals")->text();
        QVERIFY2(intervals.contains("dogs present = "), qPrintable(intervals));
        QVERIFY(intervals.contains(QString::fromUtf8("sighting proportion 0.550 \u00b1 0.045 (3 counts of 40 marked dogs)")));
        QVERIFY(intervals.contains("delta-method (log scale) 95 % limits of the dogs present: "));
        QVERIFY(QFile::exists(dir.filePath("ward_dogs_present.csv")));
        QVERIFY(ink(legend->image()) > key_ink);
        auto* pane = w->findChild<QTextBrowser*>("resultsText");
        QVERIFY(pane && pane->toPlainText().contains("dogs present, seen or not"));

        type_into(get<QLineEdit>("txtSeen"), "22, 45");
        // the result on show is no longer that of the sightings typed
        QVERIFY(pane->toPlainText().contains("the sighting correction has changed"));
        QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QCOMPARE(messages.size(), std::size_t(1));
        QCOMPARE(messages[0].title, std::string("Sighting correction"));
        QVERIFY2(messages[0].text.find("count 2 saw 45 marked dogs, more than the 40") != std::string::npos,
                 messages[0].text.c_str());
        QCOMPARE(get<QLabel>("lblIntervals")->text(), intervals);
    }

    void estimatingOnTheExampleData() {
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QFile::remove(dir.filePath("counts.txt"));
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, dir.filePath("counts.txt")));
        type_into(get<QLineEdit>("txtData"), "counts.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        for (int j = 1; j <= 3; ++j) QTest::mouseClick(get<QCheckBox>(QString("chkBeta(%1)").arg(j)), Qt::LeftButton);
        QTest::mouseClick(get<QRadioButton>("optErr(2)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(get<QLabel>("Label7")->text().startsWith("maximum log likelihood = -"));
        QVERIFY(get<QLabel>("Label8")->text().startsWith("estimated number of roaming dogs = "));
        QVERIFY(get<QLabel>("Label8")->text().endsWith(" counted"));
        QCOMPARE(get<QLabel>("Label8")->palette().color(QPalette::WindowText), QColor(0, 192, 0));
        QVERIFY(beta(1)->text() != "0");
        QVERIFY(beta(0)->text() != "10");
        QCOMPARE(command()->text(), QString("estimate population size"));
        QVERIFY(get<QWidget>("txtWard")->isVisible());
        QVERIFY(get<QWidget>("lblWard")->isVisible());
        QVERIFY(ink(get<PictureBox>("picLL")->image()) > 0);
        QVERIFY(ink(get<PictureBox>("picCount")->image()) > 0);
        QFile predictions(dir.filePath("ward_predictions.txt"));
        QVERIFY(predictions.open(QIODevice::ReadOnly));
        QCOMPARE(predictions.readAll().count('\n'), qsizetype(48));
        QVERIFY(QFile::exists(dir.filePath("user.txt")));
        QCOMPARE(w->state().n_sims, int16_t(0));

        // the batch front end gives the same numbers for the same inputs
        QTemporaryDir other;
        QProcess batch;
        batch.setWorkingDirectory(dir.path());
        batch.start(VALDMORA_BATCH, {"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3", "--out",
                                     other.path()});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(batch.exitCode(), 0);
        const QStringList lines = QString::fromLocal8Bit(batch.readAllStandardOutput()).split('\n');
        // the batch has no earlier fit to give a change against: the window's line up to its change
        const QString label7 = get<QLabel>("Label7")->text();
        QCOMPARE(lines.value(0), label7.left(label7.indexOf(", change = ")));
        QCOMPARE(lines.value(1), get<QLabel>("Label8")->text());
        QFile theirs(other.filePath("ward_predictions.txt"));
        QVERIFY(theirs.open(QIODevice::ReadOnly));
        predictions.seek(0);
        QCOMPARE(theirs.readAll(), predictions.readAll());
    }

    void aDataFileNamedLikeAnOutputIsNeverReplaced() {
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QFile::remove(dir.filePath("user.txt"));
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, dir.filePath("user.txt")));
        QFile data(dir.filePath("user.txt"));
        QVERIFY(data.open(QIODevice::ReadOnly));
        const QByteArray before = data.readAll();
        data.close();
        type_into(get<QLineEdit>("txtData"), "./user.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QCOMPARE(int(messages.size()), 1);
        QVERIFY2(QString::fromStdString(messages[0].text).contains("it is the data file"), messages[0].text.c_str());
        QVERIFY(data.open(QIODevice::ReadOnly));
        QCOMPARE(data.readAll(), before);
        // the other output is written, and the estimate stands
        QVERIFY(QFile::exists(dir.filePath("ward_predictions.txt")));
        QVERIFY(get<QLabel>("Label8")->text().startsWith("estimated number of roaming dogs = "));
        QFile::remove(dir.filePath("user.txt"));
    }

    void simulationSeriesThenReestimate() {
        valdmora::MersenneUniform random(99);
        w->set_random_source(&random);
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        type_into(get<QLineEdit>("txtData"), "");
        for (int k = 1; k <= 10; ++k) QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QCOMPARE(w->state().n_sims, int16_t(10));
        QVERIFY(get<QLabel>("lblTotSimDog")->isVisible());
        QVERIFY(get<QLabel>("lblTotSimDog")->text().endsWith(" of 10 simulations"));
        QVERIFY(!get<QWidget>("txtWard")->isVisible());  // not in simulation mode
        QCOMPARE(beta(0)->text().isEmpty(), false);
        auto* again = get<QCheckBox>("chkJustEstimate");
        QVERIFY(again->isVisible());
        QTest::mouseClick(again, Qt::LeftButton);
        QCOMPARE(command()->text(), QString("Estimate from current data"));
        const QString summary = get<QLabel>("lblTotSimDog")->text();
        const auto tallies = w->state().tally;
        QDir::setCurrent(dir.path());
        QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QCOMPARE(w->state().n_sims, int16_t(10));
        // re-estimating scores nothing: no kind of interval's tally moves
        for (const valdmora::IntervalTraits& k : valdmora::kIntervalKinds) {
            QCOMPARE(w->state().tally_of(k.kind).scored, tallies[static_cast<std::size_t>(k.kind)].scored);
            QCOMPARE(w->state().tally_of(k.kind).outside, tallies[static_cast<std::size_t>(k.kind)].outside);
        }
        QCOMPARE(get<QLabel>("lblTotSimDog")->text(), summary);
        w->set_random_source(nullptr);
    }

    void aMissingOrBrokenModelLibraryLeavesTheWindowUsable() {
        read_file("a\nS1,1,5\nS2,2,6\nS3,3,9\nU1,1\n");
        QTest::mouseClick(get<QRadioButton>("optErr(1)"), Qt::LeftButton);
        const auto before = w->state();
        w->set_model_binder([] { return valdmora::bind_model_library_from({"/nowhere/libvaldmora.so"}); });
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(int(messages.size()), 1);
        QVERIFY(QString::fromStdString(messages[0].text).contains("/nowhere/libvaldmora.so"));
        QVERIFY(get<QLabel>("Label8")->text().isEmpty());
        QCOMPARE(w->state().max_ll, before.max_ll);
        QCOMPARE(beta(0)->text(), QString("10"));
        // a library without the entry
        messages.clear();
#ifdef Q_OS_WIN
        w->set_model_binder([] { return valdmora::bind_model_library_from({"kernel32.dll"}); });
#else
        w->set_model_binder([] { return valdmora::bind_model_library_from({"libm.so.6"}); });
#endif
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(int(messages.size()), 1);
        QVERIFY(QString::fromStdString(messages[0].text).contains("lacks the entries VALDMORA_FIT"));
        // the real one: the same click now estimates
        messages.clear();
        w->set_model_binder({});
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(get<QLabel>("Label8")->text().startsWith("estimated number of roaming dogs"));
    }

    void unwritableOutputsAndUnreadablePathsAreReported() {
        // a data path that names a folder, then one that names a binary file
        type_into(get<QLineEdit>("txtData"), dir.path());
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(QString::fromStdString(messages.at(0).text).contains("is a folder"));
        messages.clear();
        std::string binary("\x7f" "ELF\x02\x01\x01\0\0\0", 10);
        for (int i = 0; i < 300; ++i) binary += static_cast<char>((i * 37) % 256);
        read_file(binary);
        QCOMPARE(int(messages.size()), 1);
        QCOMPARE(command()->text(), QString("read data from file"));
        QCOMPARE(w->state().data_read, int16_t(0));
#ifndef Q_OS_WIN  // Windows keeps a working folder from being removed
        // a working folder that has gone: the estimate stands, both files are reported
        messages.clear();
        read_file("a\nS1,1,5\nS2,2,6\nS3,3,9\nU1,1\n");
        QTest::mouseClick(get<QRadioButton>("optErr(1)"), Qt::LeftButton);
        const QString old = QDir::currentPath();
        QTemporaryDir gone;
        QDir::setCurrent(gone.path());
        QVERIFY(QDir().rmdir(gone.path()));
        QTest::mouseClick(command(), Qt::LeftButton);
        QDir::setCurrent(old);
        QCOMPARE(int(messages.size()), 2);
        QVERIFY(QString::fromStdString(messages[0].text).contains("user.txt could not be written"));
        QVERIFY(QString::fromStdString(messages[1].text).contains("ward_predictions.txt could not be written"));
        QVERIFY(get<QLabel>("Label8")->text().startsWith("estimated number of roaming dogs"));
        QVERIFY(command()->isEnabled());
#endif
    }

    void anotherFilesResultIsNeverShownAsItsOwn() {
        // what cannot work yet is greyed: no data to compare, no estimate to save or check
        auto action = [this](const char* menu, const QString& start) -> QAction* {
            for (QAction* a : w->findChild<QMenu*>(menu)->actions())
                if (a->text().startsWith(start)) return a;
            return nullptr;
        };
        QVERIFY(!action("menuFile", "Save ward predictions")->isEnabled());
        QVERIFY(!action("menuModel", "&Compare")->isEnabled());
        QVERIFY(!action("menuModel", "C&heck")->isEnabled());
        const QString a = write("a.txt", "population\nS1,100,5\nS2,200,9\nS3,300,12\nS4,400,17\nS5,500,19\nU1,250\n");
        const QString b = write("b.txt", "households\nT1,10,50\nT2,20,30\nT3,30,80\nT4,40,60\nT5,50,90\nV1,25\n");
        type_into(get<QLineEdit>("txtData"), a);
        QTest::mouseClick(command(), Qt::LeftButton);
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(messages.empty());
        QVERIFY(action("menuFile", "Save ward predictions")->isEnabled());
        QVERIFY(action("menuModel", "&Compare")->isEnabled());
        auto* label8 = get<QLabel>("Label8");
        const QString a_result = label8->text();
        QVERIFY(a_result.startsWith("estimated number of roaming dogs"));
        QVERIFY(get<PictureBox>("picCount")->out_of_date().isEmpty());

        // a path typed after a file was read is read at the click, never estimated as a
        type_into(get<QLineEdit>("txtData"), b);
        QCOMPARE(command()->text(), QString("read data from file"));
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(command()->text(), QString("estimate population size"));
        QCOMPARE(get<QLabel>("lblBeta(1)")->text(), QString("households"));
        // population's tick and estimate are no start for households
        QVERIFY(!get<QCheckBox>("chkBeta(1)")->isChecked());
        QCOMPARE(beta(1)->text(), QString("0"));
        // a's result stays in view, washed out and saying whose it is
        QCOMPARE(label8->text(), a_result);
        QCOMPARE(label8->palette().color(QPalette::WindowText), QColor(150, 150, 150));
        for (const char* chart : {"picCount", "picLL"})
            QVERIFY2(get<PictureBox>(chart)->out_of_date().contains("these results are for a.txt (lognormal; constant, "
                                                                    "population); other data are held now"),
                     chart);
        QVERIFY(label8->accessibleDescription().contains("a.txt"));
        // the model check is of the result on show, and says it is out of date
        w->check_model();
        bool said = false;
        for (QWidget* top : QApplication::topLevelWidgets())
            for (QLabel* l : top->findChildren<QLabel*>())
                said = said || (l->isVisible() && l->text().contains("Out of date: these results are for a.txt"));
        QVERIFY(said);
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));

        QVERIFY(w->findChild<QTextBrowser*>("resultsText")->toPlainText().contains("Out of date: these results are for a.txt"));
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(get<PictureBox>("picCount")->out_of_date().isEmpty());
        // the pane follows the new estimate
        const QString pane = w->findChild<QTextBrowser*>("resultsText")->toPlainText();
        QVERIFY2(pane.startsWith("Dogs in the town: "), qPrintable(pane));
        QVERIFY2(pane.contains("\nData: b.txt"), qPrintable(pane));
        QVERIFY(label8->palette().color(QPalette::WindowText) != QColor(150, 150, 150));
        QVERIFY(label8->text() != a_result);
        // a box changed after the estimate marks it out of date, typed back it is current again
        const QString constant = beta(0)->text();
        type_into(beta(0), "3");
        QVERIFY(get<PictureBox>("picLL")->out_of_date().contains("the model or its start values have changed"));
        type_into(beta(0), constant);
        QVERIFY(get<PictureBox>("picLL")->out_of_date().isEmpty());
        // so does a ward named after it, and emptied again it is current
        auto* ward = get<QLineEdit>("txtWard");
        QVERIFY(ward->isVisible());
        type_into(ward, "V1");
        QVERIFY(get<PictureBox>("picCount")->out_of_date().contains("the model or its start values have changed"));
        QVERIFY(w->findChild<QTextBrowser*>("resultsText")->toPlainText().startsWith("Out of date"));
        type_into(ward, "");
        QVERIFY(get<PictureBox>("picCount")->out_of_date().isEmpty());
    }

    // names holding markup, ampersands and quotes appear as written: in the results pane, in
    // the copied table (text and HTML, as a word processor shows it) and in the table of models
    void namesWithMarkupAppearAsWritten() {
        const QString ward = "O'Brien \"Row\" & <b>Sons</b>";
        read_file("<i>roads,R&D,\"mkts\"\nS1,1,2,3,5\nS2,2,1,4,9\nS3,3,5,1,12\nS4,4,2,2,17\nS5,5,3,3,19\n"
                  "S6,6,1,5,22\nS7,7,4,1,25\nS8,8,2,6,31\n" + ward.toStdString() + ",2.5,2,2\nU2,3,3,3\n");
        get<QRadioButton>("optErr(1)")->click();  // normal
        for (int j = 1; j <= 3; ++j) QTest::mouseClick(get<QCheckBox>(QString("chkBeta(%1)").arg(j)), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);  // the ward box shows after an estimate
        auto* ward_box = get<QLineEdit>("txtWard");
        QVERIFY(ward_box->isVisible());
        type_into(ward_box, ward);
        QCOMPARE(ward_box->text(), ward);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages.front().text.c_str());
        const QStringList written{"coefficient of <i>roads", "coefficient of R&D", "coefficient of \"mkts\"",
                                  "Model: normal; constant, <i>roads, R&D, \"mkts\"", "estimated dogs in ward " + ward};
        const QString pane = get<QTextBrowser>("resultsText")->toPlainText();
        get<QPushButton>("copyResults")->click();
        const QMimeData* copied = QApplication::clipboard()->mimeData();
        QVERIFY(copied->hasHtml());
        QTextDocument html;
        html.setHtml(copied->html());
        for (const QString& name : written) {
            QVERIFY2(html.toPlainText().contains(name), qPrintable(name + "\n" + html.toPlainText()));
            QVERIFY2(copied->text().contains(name), qPrintable(name + "\n" + copied->text()));
        }
        for (const QString& name : {QString("<i>roads"), QString("R&D"), QString("\"mkts\""), ward})
            QVERIFY2(pane.contains(name), qPrintable(name + "\n" + pane));
        w->compare_models();
        auto* dialog = w->findChild<valdmora::ModelTableDialog*>();
        QVERIFY(dialog);
        QSet<QString> predictors;
        for (int r = 0; r < dialog->table_widget()->rowCount(); ++r) predictors << dialog->table_widget()->item(r, 1)->text();
        for (const QString& alone : {QString("<i>roads"), QString("R&D"), QString("\"mkts\""), QString("<i>roads+R&D+\"mkts\"")})
            QVERIFY2(predictors.contains(alone), qPrintable(alone));
    }

    void theWardBoxCompletesUnsurveyedWardsWhateverTheCase() {
        read_file("a\nS1,1,5\nS2,2,6\nS3,3,9\nNorthside,1\nNorth Gate,2\nSouthend,3\n");
        QCompleter* completer = get<QLineEdit>("txtWard")->completer();
        QVERIFY(completer);
        completer->setCompletionPrefix("north");
        QCOMPARE(completer->completionCount(), 2);
        completer->setCompletionPrefix("SOUTH");
        QCOMPARE(completer->currentCompletion(), QString("Southend"));
        completer->setCompletionPrefix("S1");  // a surveyed ward is no ward to estimate
        QCOMPARE(completer->completionCount(), 0);
    }

    void theKeyboardAloneReachesAndRunsTheForm() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nU1,25\n");
        QCOMPARE(command()->accessibleName(), QString("estimate population size"));
        QCOMPARE(get<QCheckBox>("chkBeta(1)")->accessibleName(), QString("Estimate the coefficient of households"));
        QCOMPARE(get<QLabel>("Label8")->accessibleName(), QString("Population estimate"));
        QCOMPARE(beta(1)->accessibleName(), QString("Coefficient of households"));
        // Enter in a box estimates, the box's text taken as left
        type_into(beta(0), "6", false);
        QTest::keyClick(beta(0), Qt::Key_Return);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(get<QLabel>("Label8")->text().startsWith("estimated number of roaming dogs"));
        // what a screen reader reads is the result itself
        QCOMPARE(get<QLabel>("Label8")->accessibleName(), "Population estimate: " + get<QLabel>("Label8")->text());
        // Alt and a caption's letter reach its control
        QTest::keyClick(w.get(), Qt::Key_W, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString("txtWard"));
        QTest::keyClick(w.get(), Qt::Key_R, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString("txtRange"));
        // Tab from the path goes to the button, then on through the form in reading order
        get<QLineEdit>("txtData")->setFocus();
        for (const char* next : {"Command1", "optErr(0)"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString(next));
        }
        // the model check window closes with Escape
        w->check_model();
        QWidget* check = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == "modelCheck" && top->isVisible()) check = top;
        QVERIFY(check);
        check->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(check));
        QTest::keyClick(check, Qt::Key_Escape);
        QVERIFY(!check->isVisible());
        // F1 opens the help on going from a survey to an estimate
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QTest::keyClick(w.get(), Qt::Key_F1);
        bool help = false;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == "help-start" && top->isVisible()) {
                help = true;
                top->close();
            }
        QVERIFY(help);
    }

    void theReportIsExportedAsOnePdfOfVectorDrawings() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nS5,50,19\nU1,25\nU2,35\n");
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(messages.empty());
        const QString path = dir.filePath("analysis.pdf");
        w->export_report(path);
        QFile pdf(path);
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        const QByteArray bytes = pdf.readAll();
        QVERIFY(bytes.startsWith("%PDF-"));
        QVERIFY(!bytes.contains("/Subtype /Image"));
        // the data file is never the report's
        QVERIFY_THROWS_EXCEPTION(valdmora::UserError, w->export_report(dir.filePath("counts.txt")));
    }

    void theChartsAndThePaneTakeTheRoomTheWindowGains() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nS5,50,19\nU1,25\nU2,35\n");
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(messages.empty());
        auto* ll = get<PictureBox>("picLL");
        auto* counts = get<PictureBox>("picCount");
        auto* dock = w->findChild<QDockWidget*>("resultsDock");
        w->resize(1300, 700);
        QTRY_COMPARE(w->size(), QSize(1300, 700));
        QTRY_COMPARE(w->dockWidgetArea(dock), Qt::RightDockWidgetArea);
        // hovering over a circle names its ward
        QSet<QString> named;
        for (int y = 0; y < counts->height(); y += 2)
            for (int x = 0; x < counts->width(); x += 2) {
                const QString name = counts->point_name_at(QPointF(x, y));
                if (!name.isEmpty()) named << name;
            }
        QCOMPARE(named, (QSet<QString>{"S1", "S2", "S3", "S4", "S5"}));
        const int ll_height = ll->height(), counts_height = counts->height(), dock_width = dock->width();
        const QRect button = command()->geometry();
        w->resize(1900, 1300);
        QTRY_VERIFY(ll->height() > ll_height + 100);
        QVERIFY(counts->height() > counts_height + 100);
        QVERIFY(ll->geometry().top() >= counts->geometry().bottom());
        QTRY_VERIFY(dock->width() > dock_width + 200);
        QCOMPARE(command()->geometry(), button);  // the form's controls keep their places
        // drawn again at the new size: ink reaches the lower part of the taller chart
        const QImage drawn = ll->image();
        QVERIFY(ink(drawn.copy(0, drawn.height() * 3 / 4, drawn.width(), drawn.height() / 4)) > 0);
        // plot origin at zero redraws the counts chart at once, without estimating again
        const double max_ll = w->state().max_ll;
        const std::vector<std::string> before = counts->texts();
        QTest::mouseClick(get<QCheckBox>("chkZero"), Qt::LeftButton);
        QVERIFY(counts->texts() != before);
        QCOMPARE(w->state().max_ll, max_ll);
    }

    // On a field laptop (1366 x 768, less the title and a task bar) the form needs no scrolling;
    // at 1024 pixels the results pane goes below the form, and back beside it when wider.
    void theFormFitsAFieldLaptopsScreen() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nS5,50,19\nU1,25\nU2,35\n");
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(messages.empty());
        auto* scroll = qobject_cast<QScrollArea*>(w->centralWidget());
        QVERIFY(scroll);
        auto* dock = w->findChild<QDockWidget*>("resultsDock");
        w->resize(1366, 768 - 40 - 30);
        QTRY_COMPARE(w->size(), QSize(1366, 698));
        QTRY_VERIFY(!scroll->verticalScrollBar()->isVisible());
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        QCOMPARE(w->dockWidgetArea(dock), Qt::RightDockWidgetArea);
        // every control beside the charts is still on the page, above the likelihood chart's bottom
        for (const char* name : {"lblIntervals", "chkBootstrap", "txtRange"}) {
            auto* c = get<QWidget>(name);
            QVERIFY2(c->geometry().bottom() <= scroll->widget()->height(), name);
        }
        w->resize(1024, 768 - 40 - 30);
        QTRY_COMPARE(w->dockWidgetArea(dock), Qt::BottomDockWidgetArea);
        // the form has the window's whole width: at most a vertical scroll bar, never a sideways
        // one, with room for Windows' wider bar and frame (17 and 8 pixels)
        QTRY_VERIFY(!scroll->horizontalScrollBar()->isVisible());
        QVERIFY2(scroll->widget()->width() <= 1024 - 8 - 17, qPrintable(QString::number(scroll->widget()->width())));
        // the button says what it does, uncut
        QVERIFY(command()->width() >= command()->sizeHint().width());
        w->resize(1280, 800);
        QTRY_COMPARE(w->dockWidgetArea(dock), Qt::RightDockWidgetArea);
        // and the charts take back the height they gave up
        auto* ll = get<PictureBox>("picLL");
        QTRY_VERIFY(ll->geometry().bottom() > 713);
    }

    // A caption's Alt key takes the focus to its group and changes no value.
    void captionKeysMoveTheFocusNotTheModel() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nS5,50,19\nU1,25\nU2,35\n");
        QTest::mouseClick(get<QRadioButton>("optErr(2)"), Qt::LeftButton);
        type_into(beta(0), "4");
        const QString extra = beta(5)->text();
        command()->setFocus();
        QTest::keyClick(w.get(), Qt::Key_V, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(get<QCheckBox>("chkBeta(0)")));
        QVERIFY(get<QCheckBox>("chkBeta(0)")->isChecked());
        QTest::keyClick(w.get(), Qt::Key_D, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(get<QRadioButton>("optErr(2)")));
        QVERIFY(get<QRadioButton>("optErr(2)")->isChecked());
        QCOMPARE(beta(0)->text(), QString("4"));
        QCOMPARE(beta(5)->text(), extra);
    }

    // Every view of a result is the current one or marked: the likelihood chart of an earlier
    // estimate goes, a data chart of another file goes, and the table of models of other data
    // says so and is neither copied nor saved.
    void everyViewShowsTheAnalysisOnShowOrSaysItIsNot() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nS5,50,19\nU1,25\nU2,35\n");
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY(messages.empty());
        auto* ll = get<PictureBox>("picLL");
        QVERIFY(!ll->empty());
        w->compare_models();
        auto* dialog = w->findChild<valdmora::ModelTableDialog*>();
        QVERIFY(dialog && !dialog->out_of_date());
        QVERIFY(dialog->findChild<QPushButton*>("copy")->isEnabled());
        // a ward's estimate has no profile: the town's curve does not stay beside it
        type_into(get<QLineEdit>("txtWard"), "u1", false);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages.front().text.c_str());
        QVERIFY(ll->empty());
        QVERIFY2(ll->placeholder().contains("a ward is named"), qPrintable(ll->placeholder()));
        QVERIFY(get<QLabel>("lblHeadline")->text().startsWith("Dogs in ward U1: "));
        // the counts against a predictor of this file, then another file without it
        type_into(get<QLineEdit>("txtWard"), "", false);
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);  // unticked: the data chart
        auto* counts = get<PictureBox>("picCount");
        QVERIFY(!counts->empty());
        type_into(get<QLineEdit>("txtData"), write("other.txt", "other\nS1,1,5\nS2,2,9\nS3,3,12\nU1,2\n"));
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(w->state().n_surveyed, 3L);
        QVERIFY(counts->empty());
        QVERIFY(dialog->out_of_date());
        QVERIFY(!dialog->findChild<QPushButton*>("copy")->isEnabled());
        QVERIFY(!dialog->findChild<QPushButton*>("save")->isEnabled());
        QVERIFY(dialog->findChild<QLabel*>("outOfDate")->isVisible());
        // saving the stale predictions is refused, saying why
        QVERIFY_THROWS_EXCEPTION(valdmora::UserError, w->save_predictions_csv(dir.filePath("stale.csv")));
        QVERIFY(!QFile::exists(dir.filePath("stale.csv")));
    }

    // A data file changed on disk since it was read is offered again, as an editor does.
    void aDataFileChangedOnDiskIsOfferedAgain() {
        read_file("households\nS1,10,5\nS2,20,9\nS3,30,12\nU1,25\n");
        QStringList asked;
        w->set_question_sink([&](const QString&, const QString& text) {
            asked << text;
            return true;
        });
        QTest::qWait(1100);  // a later time stamp on any file system
        write("counts.txt", "households\nS1,10,5\nS2,20,9\nS3,30,12\nS4,40,13\nU1,25\n");
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(asked.size(), 1);
        QVERIFY(asked[0].contains("changed on disk"));
        QCOMPARE(w->state().n_surveyed, 4L);
        QVERIFY(w->form().result());
        // unchanged since: no question
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(asked.size(), 1);
    }

    // A closed results pane comes back from the View menu.
    void theViewMenuBringsThePaneBack() {
        auto* dock = w->findChild<QDockWidget*>("resultsDock");
        dock->close();
        QVERIFY(!dock->isVisible());
        QAction* pane = nullptr;
        for (QAction* a : w->findChild<QMenu*>("menuView")->actions())
            if (a->text().contains("Results pane")) pane = a;
        QVERIFY(pane);
        pane->trigger();
        QTRY_VERIFY(dock->isVisible());
    }

    // Space on a focused dialog button presses it, as Return does.
    void spacePressesAFocusedDialogButton() {
        valdmora::ModelTableDialog dialog(valdmora::ModelTable{}, valdmora::NumberFormat{});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* close = dialog.findChild<QPushButton*>("close");
        close->setFocus();
        QTest::keyClick(close, Qt::Key_Space);
        QTRY_VERIFY(!dialog.isVisible());
    }

    // an unticked box, a predictor's or the constant's, keeps what it shows, and the estimate
    // holds the parameter fixed there
    void untickingABoxKeepsItsValueForTheFit() {
        read_file("a,b\nX,1,2,5\nY,2,3,6\nZ,3,1,9\nV,4,4,8\nT,5,2,12\nU,2,2\n");
        auto* tick = get<QCheckBox>("chkBeta(2)");
        type_into(beta(2), "0.7");
        QTest::mouseClick(tick, Qt::LeftButton);  // ticked
        QCOMPARE(beta(2)->text(), QString("0.7"));
        QTest::mouseClick(tick, Qt::LeftButton);  // unticked
        QCOMPARE(beta(2)->text(), QString("0.7"));
        QCOMPARE(w->state().beta_entered(2), 0.7);
        type_into(beta(0), "3");
        QTest::mouseClick(get<QCheckBox>("chkBeta(0)"), Qt::LeftButton);  // unticked
        QCOMPARE(beta(0)->text(), QString("3"));
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);  // ticked
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages.front().text.c_str());
        const valdmora::ClickResult* r = w->form().result();
        QVERIFY(r);
        QCOMPARE(r->estimate.free_pos, (std::vector<int32_t>{2, 4}));
        QCOMPARE(r->estimate.par_value[0], 3.0);
        QCOMPARE(r->estimate.par_value[2], 0.7);
        QCOMPARE(beta(0)->text(), QString("3"));
        QCOMPARE(beta(2)->text(), QString("0.7"));
        QVERIFY(get<PictureBox>("picCount")->out_of_date().isEmpty());
    }

    // Model > Plan a survey on a pilot: the plan in the background, its chart, its table and
    // target, the chosen wards written for the field team, and the plan in the report.
    void planningASurveyShowsTheChartTableAndWritesTheChosenWards() {
        std::string data = "households\n";
        for (int i = 1; i <= 40; ++i)
            data += "W" + std::to_string(i) + "," + std::to_string(100 + 13 * i) +
                    (i <= 12 ? "," + std::to_string(10 + i * 13 / 10 + (i % 3) * 4) : std::string()) + "\n";
        read_file(data);
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        w->plan_survey();
        auto* dialog = w->findChild<valdmora::PlanDialog*>();
        QVERIFY(dialog);
        dialog->surveys_edit()->setText("6,15,30");
        dialog->findChild<QSpinBox*>("planReps")->setValue(20);
        QVERIFY(dialog->make_plan());
        QCOMPARE(dialog->coverage_table()->rowCount(), 3);
        QCOMPARE(dialog->coverage_table()->item(1, 0)->text(), QString("15"));
        QVERIFY(!dialog->chart()->empty());
        QVERIFY2(dialog->target_label()->text().contains("10 %"), qPrintable(dialog->target_label()->text()));
        const QString path = dir.filePath("chosen.csv");
        QString error;
        QVERIFY2(dialog->save_selection(path, &error), qPrintable(error));
        QFile chosen(path);
        QVERIFY(chosen.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromUtf8(chosen.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.first(), QString("ward,households,selection_probability"));
        QVERIFY(rows.size() > 1);
        // never over the data file
        QVERIFY(!dialog->save_selection(dir.filePath("counts.txt"), &error));
        // too few wards for the model: said, nothing run
        dialog->surveys_edit()->setText("2");
        QVERIFY_THROWS_EXCEPTION(valdmora::UserError, dialog->make_plan());
        QTest::mouseClick(command(), Qt::LeftButton);
        const QString pdf = dir.filePath("plan.pdf");
        w->export_report(pdf);
        QVERIFY(QFile::exists(pdf));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// The window as a practitioner meets it: whole texts in every face it can take, numbers that
// survive clicking through, the path's round trip, crisp chart lines, the keyboard, the
// menus with their files and dialogs, drag and drop, Cancel that changes nothing.
#include <QSettings>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QRawFont>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <fstream>
#include <memory>

#include "cycle/user_error.h"
#include "estimation/uniform.h"
#include "help.h"
#include "main_window.h"
#include "model_check_window.h"
#include "model_table_dialog.h"
#include "picture_box.h"
#include "window_driver.h"

using valdmora::Form1;
using valdmora::Notice;
using valdmora::PictureBox;

namespace {

// Every visible control shows its whole text, measured with its own font's metrics, and
// no two visible controls overlap.
QStringList clipped_or_overlapping(QWidget* page) {
    QStringList problems;
    QList<QWidget*> shown;
    for (QWidget* w : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!w->isVisible()) continue;
        shown << w;
        const QFontMetrics m = w->fontMetrics();
        const QString name = w->objectName();
        if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l->text().isEmpty()) continue;
            // a caption with a buddy shows its Alt letter underlined, not its '&'
            const QString text = l->buddy() ? QString(l->text()).remove(QRegularExpression("&(?!&)")) : l->text();
            if (l->wordWrap()) {
                if (l->heightForWidth(l->width()) > l->height()) problems << name + " is cut off at the bottom";
                for (const QString& word : text.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts))
                    if (m.horizontalAdvance(word) > l->contentsRect().width()) problems << name + ": '" + word + "' is cut";
            } else if (m.horizontalAdvance(text) > l->contentsRect().width()) {
                problems << name + " is cut at the right";
            }
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            if (!b->text().isEmpty() && b->sizeHint().width() > b->width()) problems << name + " is cut at the right";
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            if (name != "txtData" && name != "txtWard" && m.horizontalAdvance(e->text()) + 8 > e->width())
                problems << name + " does not show its whole number";
        }
    }
    for (int i = 0; i < shown.size(); ++i)
        for (int j = i + 1; j < shown.size(); ++j)
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                problems << shown[i]->objectName() + " overlaps " + shown[j]->objectName();
    return problems;
}

}  // namespace

class DesktopTest : public QObject, private WindowDriver {
    Q_OBJECT

private:
    QString old_dir;

    QWidget* page() { return w->findChild<QWidget*>("Form1_page"); }

    void make(const QString& face = {}) {
        messages.clear();
        w = std::make_unique<Form1>(nullptr, face);
        w->set_message_sink([this](const Notice& m) { messages.push_back(m); });
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }
    void read_example() {
        QFile::remove("counts.txt");
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, "counts.txt"));
        type_into(get<QLineEdit>("txtData"), "counts.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(command()->text(), QString("estimate population size"));
    }
    void estimate_negbin() {
        for (int j = 1; j <= 3; ++j) QTest::mouseClick(get<QCheckBox>(QString("chkBeta(%1)").arg(j)), Qt::LeftButton);
        QTest::mouseClick(get<QRadioButton>("optErr(2)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);  // recent files go to a test folder
        QCoreApplication::setOrganizationName("valdmora-tests");
        old_dir = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    void cleanupTestCase() { QDir::setCurrent(old_dir); }
    void init() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QSettings().remove("files");  // each test opens its files afresh
    }
    void cleanup() { w.reset(); }

    // The faces the window can end up with: its preferences that are installed and the
    // system's sans-serif face, which it falls back to. Symbol and math faces, which no
    // window is drawn in, are not among them; a face without Latin letters is passed over.
    static QStringList faces_the_window_can_take() {
        QStringList faces;
        const QStringList installed = QFontDatabase::families();
        for (const QString& f : valdmora::window_face_preferences())
            if (installed.contains(f)) faces << f;
        QFont sans;
        sans.setStyleHint(QFont::SansSerif);
        sans.setFamilies({"sans-serif"});
        faces << QFontInfo(sans).family() << QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
        faces.removeDuplicates();
        QStringList latin;
        for (const QString& f : faces)
            if (QFontDatabase::writingSystems(f).contains(QFontDatabase::Latin)) latin << f;
        return latin;
    }

    void everyTextIsWholeInEveryFaceTheWindowCanTake() {
        const QStringList faces = faces_the_window_can_take();
        QVERIFY(!faces.isEmpty());
        // the face the window takes by itself is among those checked
        make();
        QVERIFY2(faces.contains(QFontInfo(w->font()).family()), qPrintable(QFontInfo(w->font()).family()));
        for (const QString& face : faces) {
            // a face without Latin letters (math symbols, icons) is not one a window sets text in
            if (!QFontDatabase::writingSystems(face).contains(QFontDatabase::Latin)) continue;
            const QRawFont letters = QRawFont::fromFont(QFont(face));
            if (!letters.supportsCharacter(QChar('e')) || !letters.supportsCharacter(QChar('n'))) continue;
            make(face);
            QStringList problems = clipped_or_overlapping(page());
            read_example();
            estimate_negbin();
            problems += clipped_or_overlapping(page());
            type_into(get<QLineEdit>("txtData"), "");  // simulation mode: its controls and captions
            QTest::mouseClick(command(), Qt::LeftButton);
            QTest::mouseClick(get<QCheckBox>("chkJustEstimate"), Qt::LeftButton);
            problems += clipped_or_overlapping(page());
            QVERIFY2(problems.isEmpty(), qPrintable(face + ": " + problems.join("; ")));
        }
    }

    void numberBoxesShowWholeNumbersAndKeepTheirTextWhenClickedThrough() {
        make();
        read_example();
        estimate_negbin();
        for (int i : {0, 1, 5}) {
            QLineEdit* box = beta(i);
            QVERIFY(box->fontMetrics().horizontalAdvance(box->text()) + 8 <= box->width());
            QVERIFY2(box->cursorPosition() == 0, qPrintable(box->objectName() + " " + box->text()));
        }
        for (int i : {0, 1, 5}) {
            QLineEdit* box = beta(i);
            const QString text = box->text();
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Tab);
            QCOMPARE(box->text(), text);  // ".0433" and its kind stay what the fit wrote
        }
        QVERIFY(beta(1)->text().startsWith("."));
        QCOMPARE(w->state().beta_entered(1), beta(1)->text().toDouble());
        auto* range = get<QLineEdit>("txtRange");
        type_into(range, "100");
        QVERIFY(range->fontMetrics().horizontalAdvance("100") + 8 <= range->width());
        for (const char* refused : {"-50", "0", "x"}) {
            type_into(range, refused);
            QCOMPARE(range->text(), QString(refused));
            QVERIFY(range->property("notUnderstood").toBool());
        }
    }

    void aPathTypedAfterSimulatingIsReadOnTheNextClick() {
        make();
        read_example();
        type_into(get<QLineEdit>("txtData"), "");
        QCOMPARE(command()->text(), QString("simulate data and estimate"));
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(w->state().n_surveyed, 32);  // the file's surveyed wards, simulated
        // the key names the simulated wards, not the file's
        QCOMPARE(QString::fromStdString(get<PictureBox>("picLegend")->texts().at(1)), QString("Ward1"));
        type_into(get<QLineEdit>("txtData"), "counts.txt");
        QCOMPARE(command()->text(), QString("read data from file"));
        QVERIFY(!get<QWidget>("lblTotSimDog")->isVisible());
        QTest::mouseClick(command(), Qt::LeftButton);
        QCOMPARE(command()->text(), QString("estimate population size"));
        QCOMPARE(QString::fromStdString(get<PictureBox>("picLegend")->texts().at(1)), QString("Southdale"));
        QCOMPARE(get<QLabel>("lblBeta(1)")->text(), QString("households"));
        QVERIFY(w->windowTitle().endsWith("counts.txt"));
    }

    void chartLinesAreOnePixelInTheirExactColours() {
        make();
        read_example();
        estimate_negbin();
        const QImage ll = get<PictureBox>("picLL")->image().convertToFormat(QImage::Format_RGB32);
        // the dashed line 1.92 below the maximum: pure red pixels, in one row
        QMap<int, int> red_rows;
        for (int y = 0; y < ll.height(); ++y)
            for (int x = 0; x < ll.width(); ++x)
                if (ll.pixel(x, y) == qRgb(255, 0, 0)) ++red_rows[y];
        int dashed_rows = 0;
        for (int n : red_rows)
            if (n > 100) ++dashed_rows;
        QCOMPARE(dashed_rows, 1);
        for (int y = 0; y < ll.height(); ++y)
            for (int x = 0; x < ll.width(); ++x) {
                const QRgb p = ll.pixel(x, y);
                QVERIFY2(!(qRed(p) == 255 && qGreen(p) > 0 && qGreen(p) < 255 && qBlue(p) == qGreen(p)), "a faded red pixel");
            }
        // the counts chart's horizontal axis: black, one pixel thick
        const QImage counts = get<PictureBox>("picCount")->image().convertToFormat(QImage::Format_RGB32);
        int axis = -1;
        for (int y = 0; y < counts.height() && axis < 0; ++y) {
            int black = 0;
            for (int x = 0; x < counts.width(); ++x) black += counts.pixel(x, y) == qRgb(0, 0, 0);
            if (black > counts.width() / 2) axis = y;
        }
        QVERIFY(axis > 0);
        for (int x = counts.width() / 4; x < counts.width() / 2; ++x) {
            QCOMPARE(counts.pixel(x, axis), qRgb(0, 0, 0));
            QVERIFY(counts.pixel(x, axis + 1) == qRgb(255, 255, 255) || qRed(counts.pixel(x, axis + 1)) < 250);
        }
        // the axis title stands wholly inside the chart
        const auto texts = get<PictureBox>("picLL")->texts();
        QVERIFY(std::find(texts.begin(), texts.end(), "population") != texts.end());
    }

    void enterClicksTheFocusedButtonAndFocusIsVisible() {
        make();
        QFile::remove("counts.txt");
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, "counts.txt"));
        command()->setFocus();
        QTest::keyClick(command(), Qt::Key_Return);
        QCOMPARE(command()->text(), QString("estimate population size"));
        auto* chart = get<PictureBox>("picLL");
        const QImage unfocused = chart->grab().toImage();
        chart->setFocus();
        QTRY_VERIFY(chart->hasFocus());
        QVERIFY(chart->grab().toImage() != unfocused);
    }

    void aLongRedSentenceKeepsClearOfTheChart() {
        make();
        // one predictor with the same value everywhere: the constant and its slope cannot be told apart
        std::ofstream("flat.txt") << "a\nS1,1,5\nS2,1,5\nS3,1,7\nS4,1,6\nU1,1\n";
        type_into(get<QLineEdit>("txtData"), "flat.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        QTest::mouseClick(get<QCheckBox>("chkBeta(1)"), Qt::LeftButton);
        QTest::mouseClick(get<QRadioButton>("optErr(1)"), Qt::LeftButton);
        QTest::mouseClick(command(), Qt::LeftButton);
        auto* sentence = get<QLabel>("Label8");
        QVERIFY(sentence->text().contains("limits could not be computed"));
        QVERIFY(sentence->geometry().bottom() < get<QWidget>("picCount")->geometry().top());
        QVERIFY(sentence->heightForWidth(sentence->width()) <= sentence->height());
        QVERIFY(get<QLabel>("lblIntervals")->text().startsWith("no limits for the estimate: "));
    }

    void menusOpenSaveAndRemember() {
        make();
        QVERIFY(w->menuBar()->isVisible());
        // the controls sit below the menu bar, at their places within the page
        QCOMPARE(command()->geometry(), QRect(400, 8, 145, 25));
        QVERIFY(page()->mapTo(w.get(), QPoint(0, 0)).y() >= w->menuBar()->height());
        QFile::remove("example.txt");
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, "example.txt"));
        const QString data = QDir::current().absoluteFilePath("example.txt");
        QString answer = data;
        w->set_file_chooser([&](const QString&, const QString&, bool) { return answer; });
        QAction* open = nullptr;
        for (QAction* a : w->findChild<QMenu*>("menuFile")->actions())
            if (a->text().startsWith("&Open data file")) open = a;
        QVERIFY(open);
        open->trigger();
        QCOMPARE(get<QLineEdit>("txtData")->text(), data);
        QCOMPARE(command()->text(), QString("estimate population size"));
        QCOMPARE(w->recent_files().value(0), data);
        QCOMPARE(w->windowTitle(), QString("valdmora V1.01 — example.txt"));
        estimate_negbin();
        QVERIFY2(w->statusBar()->currentMessage().startsWith("wrote ward_predictions.txt and user.txt in "),
                 qPrintable(w->statusBar()->currentMessage()));
        // the ward predictions as CSV, with '.' decimals even in a comma language
        w->save_predictions_csv("predictions.csv");
        QFile csv("predictions.csv");
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = csv.readAll().split('\n');
        QCOMPARE(rows.value(0), QByteArray("ward,predicted_dogs,prediction_lower_95,prediction_upper_95"));
        // the digits that mean something: hundredths of a dog
        QVERIFY(QRegularExpression("^Stonefield,[0-9]+(\\.[0-9]{1,2})?,[0-9.]*,[0-9.]*$").match(QString(rows.value(1))).hasMatch());
        QCOMPARE(rows.size(), 48 + 2);
        QVERIFY(rows.value(1).startsWith("Stonefield,"));
        QCOMPARE(rows.value(1).count(','), 3);
        // the charts, as PNG and as SVG
        w->save_charts(QDir::current().absoluteFilePath("charts.png"));
        // for print: 300 dpi, the counts chart with its key beside it
        const QImage counts_png("charts-counts.png");
        QVERIFY(!counts_png.isNull());
        QCOMPARE(counts_png.dotsPerMeterX(), 11811);
        const auto* counts_box = w->findChild<PictureBox*>("picCount");
        const auto* key_box = w->findChild<PictureBox*>("picLegend");
        QVERIFY(counts_png.width() >= int((counts_box->width() + key_box->width()) * 3.1));
        QVERIFY(!QImage("charts-likelihood.png").isNull());
        w->save_charts(QDir::current().absoluteFilePath("charts.svg"));
        QFile svg("charts-likelihood.svg");
        QVERIFY(svg.open(QIODevice::ReadOnly));
        const QByteArray drawing = svg.readAll();
        QVERIFY(drawing.contains("<svg"));
        // each titled with its file and model
        QVERIFY2(drawing.contains("example.txt, negative binomial; constant"), drawing.left(600).constData());
        // a save never replaces the data it came from, however its path is spelt
        QFile data_file("example.txt");
        QVERIFY(data_file.open(QIODevice::ReadOnly));
        const QByteArray data_before = data_file.readAll();
        data_file.close();
        QAction* save_csv = nullptr;
        for (QAction* a : w->findChild<QMenu*>("menuFile")->actions())
            if (a->text().startsWith("Save ward predictions")) save_csv = a;
        QVERIFY(save_csv);
        // a name typed without an ending gets the chosen kind's
        // (a name of its own: predictions.csv is still open above, which Windows would refuse)
        answer = QDir::current().absoluteFilePath("named");
        save_csv->trigger();
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(QFile::exists("named.csv"));
        answer = QDir::currentPath() + "/./example.txt";
        save_csv->trigger();
        QCOMPARE(int(messages.size()), 1);
        QVERIFY2(QString::fromStdString(messages[0].text).contains("is the data file"), messages[0].text.c_str());
        messages.clear();
        QVERIFY(data_file.open(QIODevice::ReadOnly));
        QCOMPARE(data_file.readAll(), data_before);
        data_file.close();
        // a file that is not there: a message, and the window keeps its data
        answer = QDir::current().absoluteFilePath("gone.txt");
        open->trigger();
        QCOMPARE(int(messages.size()), 1);
        QVERIFY(QString::fromStdString(messages[0].text).contains("gone.txt"));
        QCOMPARE(w->state().n_surveyed, 32);
        // and the path box still names the data the window holds, with the title
        QCOMPARE(get<QLineEdit>("txtData")->text(), data);
        QCOMPARE(w->windowTitle(), QString("valdmora V1.01 — example.txt"));
        QCOMPARE(command()->text(), QString("estimate population size"));
        // a recent path with an ampersand shows it, not a keyboard mnemonic
        QFile::remove("a&b.txt");
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, "a&b.txt"));
        answer = QDir::current().absoluteFilePath("a&b.txt");
        open->trigger();
        QMenu* recent = w->findChild<QMenu*>("menuRecent");
        QVERIFY(recent);
        emit recent->aboutToShow();
        QVERIFY(!recent->actions().isEmpty());
        QCOMPARE(recent->actions().value(0)->text(), QDir::toNativeSeparators(answer).replace('&', "&&"));
        // charts saved before anything is drawn: a message, no empty images
        make();
        QFile::remove("empty-counts.png");
        bool refused = false;
        try {
            w->save_charts(QDir::current().absoluteFilePath("empty.png"));
        } catch (const valdmora::UserError& e) {
            refused = QString(e.what()).contains("no charts");
        }
        QVERIFY(refused);
        QVERIFY(!QFile::exists("empty-counts.png"));
    }

    void aDroppedFileIsRead() {
        make();
        QFile::remove("dropped.txt");
        QVERIFY(QFile::copy(VALDMORA_EXAMPLE_DATA, "dropped.txt"));
        auto* mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(QDir::current().absoluteFilePath("dropped.txt"))});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(50, 50), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.get(), &drop);
        QCOMPARE(w->state().n_surveyed, 32);
        QCOMPARE(w->windowTitle(), QString("valdmora V1.01 — dropped.txt"));
        delete mime;
    }

    void everyControlIsDescribed() {
        make();
        for (QWidget* c : page()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            QVERIFY2(!c->toolTip().isEmpty(), qPrintable(c->objectName()));
            QVERIFY2(!c->accessibleName().isEmpty(), qPrintable(c->objectName()));
        }
    }

    void compareModelsAndUseOne() {
        make();
        QFile::remove("compare40.txt");
        QVERIFY(QFile::copy(VALDMORA_REFERENCE_DIR "/compare40.txt", "compare40.txt"));
        w->open_data_file("compare40.txt");
        w->compare_models();
        auto* dialog = w->findChild<valdmora::ModelTableDialog*>();
        QVERIFY(dialog);
        QTableWidget* table = dialog->table_widget();
        QCOMPARE(table->rowCount(), 24);
        QCOMPARE(table->item(0, 0)->text(), QString("negative binomial"));
        QCOMPARE(table->item(0, 1)->text(), QString("households+road_km+markets"));
        QVERIFY(dialog->findChild<QLabel*>("note")->text().contains("only approximate"));
        // every column says what it holds; the totals are the unsurveyed wards' alone
        for (int c = 0; c < table->columnCount(); ++c) QVERIFY(!table->horizontalHeaderItem(c)->toolTip().isEmpty());
        QCOMPARE(table->horizontalHeaderItem(10)->text(), QString("unsurveyed wards' total"));
        QCOMPARE(table->horizontalHeaderItem(5)->text(), QString("complete log likelihood"));
        // the clipboard and a CSV
        dialog->findChild<QPushButton*>("copy")->click();
        QVERIFY(QApplication::clipboard()->text().startsWith("dist\tpredictors\tk\tn"));
        // glmmTMB's -130.56415583452645, in the reader's decimals where they are commas
        valdmora::ModelTableDialog german(valdmora::ModelTable{{dialog->table().rows[0]}, ""}, valdmora::NumberFormat{',', '.'});
        QVERIFY2(german.clipboard_text().contains("\t-130,56415"), qPrintable(german.clipboard_text()));
        QString error;
        QVERIFY(dialog->save_csv("models.csv", &error));
        // never over the data it was computed from
        QFile data("compare40.txt");
        QVERIFY(data.open(QIODevice::ReadOnly));
        const QByteArray before = data.readAll();
        data.close();
        QVERIFY(!dialog->save_csv(QDir::currentPath() + "/./compare40.txt", &error));
        QVERIFY2(error.contains("is the data file"), qPrintable(error));
        QVERIFY(data.open(QIODevice::ReadOnly));
        QCOMPARE(data.readAll(), before);
        // the second row, lognormal with all three predictors, into the main window
        table->selectRow(1);
        QVERIFY(dialog->findChild<QPushButton*>("use")->isEnabled());
        dialog->findChild<QPushButton*>("use")->click();
        QVERIFY(get<QRadioButton>("optErr(0)")->isChecked());
        for (int j = 0; j <= 3; ++j) QVERIFY(get<QCheckBox>(QString("chkBeta(%1)").arg(j))->isChecked());
        QVERIFY(beta(1)->text() != "0");
        QTest::mouseClick(command(), Qt::LeftButton);
        QVERIFY2(messages.empty(), messages.empty() ? "" : messages[0].text.c_str());
        QVERIFY(get<QLabel>("Label8")->text().startsWith("estimated number of roaming dogs = 944"));
    }

    void checkModelShowsBothChartsAndTheDispersion() {
        make();
        QAction* check_action = nullptr;
        for (QAction* a : w->findChild<QMenu*>("menuModel")->actions())
            if (a->text().contains("heck model")) check_action = a;
        QVERIFY(check_action);
        QVERIFY(!check_action->isEnabled());  // nothing to check yet
        QVERIFY_THROWS_EXCEPTION(valdmora::UserError, w->check_model());  // and asked all the same, it says so
        read_example();
        estimate_negbin();
        w->check_model();
        auto* check = w->findChild<valdmora::ModelCheckWindow*>();
        QVERIFY(check && check->isVisible());
        QVERIFY(check->summary().contains("dispersion statistic"));
        QVERIFY(!check->pearson_box()->empty());
        QVERIFY(!check->quantile_box()->empty());
        // hovering over a point names its ward and its values
        QStringList named;
        for (int y = 0; y < check->pearson_box()->height() && named.isEmpty(); y += 2)
            for (int x = 0; x < check->pearson_box()->width(); x += 2) {
                const QString name = check->pearson_box()->point_name_at(QPointF(x, y));
                if (!name.isEmpty()) named << name;
            }
        QVERIFY(!named.isEmpty());
        QVERIFY2(named[0].contains(": count ") && named[0].contains("Pearson residual"), qPrintable(named[0]));
        // after another model is chosen the checks say they are out of date, charts washed grey
        QTest::mouseClick(get<QRadioButton>("optErr(1)"), Qt::LeftButton);
        QVERIFY(!check->pearson_box()->out_of_date().isEmpty());
        QVERIFY(check->findChild<QLabel*>("outOfDate")->isVisible());
        QVERIFY(check->pearson_box()->save_png("pearson.png"));
        QVERIFY(!QImage("pearson.png").isNull());
    }

    void helpPagesSayWhatTheyShould() {
        make();
        for (auto [topic, text] : {std::pair{"datafile", "19.4"}, std::pair{"charts", "1.92 below"},
                                   std::pair{"about", "Eigen"}}) {
            const QString html = valdmora::HelpDialog::html(topic);
            QVERIFY2(html.contains(text), topic);
        }
        // Help → About, as a user opens it, names the licence and says there is no warranty
        QAction* about = nullptr;
        for (QAction* a : w->findChild<QMenu*>("menuHelp")->actions())
            if (a->text().contains("About")) about = a;
        QVERIFY(about);
        about->trigger();
        auto* dialog = w->findChild<valdmora::HelpDialog*>("help-about");
        QVERIFY(dialog && dialog->isVisible());
        const QString shown = dialog->findChild<QTextBrowser*>("text")->toPlainText().simplified();
        for (const char* text : {"GNU General Public License", "GPL-3.0-or-later", "either version 3",
                                 "any later version", "no warranty", "WITHOUT ANY WARRANTY"})
            QVERIFY2(shown.contains(text), text);
        dialog->close();
    }

    void cancelLeavesEverythingAsItWas() {
        make();
        // a survey large enough that its estimate takes a few seconds
        {
            std::ofstream big("big.txt");
            big << "a,b,c\n";
            for (int i = 0; i < 150000; ++i)
                big << "W" << i << "," << (100 + i % 997) << "," << (200 + (i * 7) % 991) << "," << (300 + (i * 13) % 983)
                    << (i % 2 ? "\n" : "," + std::to_string(20 + i % 40) + "\n");
        }
        std::ofstream("ward_predictions.txt", std::ios::binary) << "before\n";
        type_into(get<QLineEdit>("txtData"), "big.txt");
        QTest::mouseClick(command(), Qt::LeftButton);
        for (int j = 1; j <= 3; ++j) QTest::mouseClick(get<QCheckBox>(QString("chkBeta(%1)").arg(j)), Qt::LeftButton);
        QTest::mouseClick(get<QRadioButton>("optErr(2)"), Qt::LeftButton);
        const auto before = w->state();
        const QString boxes = beta(0)->text() + beta(1)->text() + beta(5)->text();
        const QImage chart = get<PictureBox>("picLL")->image();
        bool saw_progress = false;
        QTimer cancel;
        QObject::connect(&cancel, &QTimer::timeout, [&] {
            if (auto* progress = w->findChild<QProgressDialog*>("progress")) {
                saw_progress = true;
                if (auto* button = progress->findChild<QPushButton*>()) button->click();
            }
        });
        cancel.start(50);
        QTest::mouseClick(command(), Qt::LeftButton);
        cancel.stop();
        QVERIFY(saw_progress);
        QVERIFY2(w->statusBar()->currentMessage().contains("cancelled"), qPrintable(w->statusBar()->currentMessage()));
        QCOMPARE(w->state().max_ll, before.max_ll);
        QCOMPARE(w->state().prev_max_ll, before.prev_max_ll);
        QCOMPARE(beta(0)->text() + beta(1)->text() + beta(5)->text(), boxes);
        QVERIFY(get<QLabel>("Label8")->text().isEmpty());
        QCOMPARE(get<PictureBox>("picLL")->image(), chart);
        QFile file("ward_predictions.txt");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("before\n"));
        QVERIFY(messages.empty());
    }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"

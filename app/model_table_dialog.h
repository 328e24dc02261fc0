// SPDX-License-Identifier: GPL-3.0-or-later
// The table of models in a dialog of its own: one row per model by AICc, the note on
// comparing distributions, and the row chosen for the main window.
#pragma once

#include <QDialog>

#include "cycle/number_text.h"
#include "cycle/output_paths.h"
#include "estimation/model_table.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace valdmora {

class ModelTableDialog : public QDialog {
    Q_OBJECT
public:
    ModelTableDialog(ModelTable table, const NumberFormat& fmt, QWidget* parent = nullptr);

    // The table as text: tab-separated for the clipboard, or CSV with '.' decimals.
    QString as_text(bool csv) const;
    // What Copy puts on the clipboard: tab-separated, in the reader's decimals.
    QString clipboard_text() const;
    QTableWidget* table_widget() const { return view_; }
    const ModelTable& table() const { return table_; }
    // Writes the CSV whole, or says why not; never over a file the window must keep.
    bool save_csv(const QString& path, QString* error) const;
    void set_kept_files(std::vector<NamedPath> files) { kept_ = std::move(files); }
    // A table of data the window no longer holds: said above it, and neither copied, saved
    // nor used; empty: current.
    void set_out_of_date(const QString& line);
    bool out_of_date() const { return !stale_line_.isEmpty(); }

signals:
    void useModel(const ModelRow& row);

private:
    void use_selected();
    ModelTable table_;
    NumberFormat fmt_;
    QTableWidget* view_ = nullptr;
    QPushButton* use_ = nullptr;
    QLabel* saved_ = nullptr;  // says where the table was saved
    QLabel* stale_ = nullptr;
    QPushButton* copy_ = nullptr;
    QPushButton* save_ = nullptr;
    QString stale_line_;
    std::vector<NamedPath> kept_;  // the data file and the estimate's files
};

}  // namespace valdmora

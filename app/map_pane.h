// SPDX-License-Identifier: GPL-3.0-or-later
// The ward map beside the charts: the layer, the classes and the residuals to show, the map
// itself with each ward's name on hover, and saving it as PNG (300 dpi) or SVG.
#pragma once

#include <QImage>
#include <QWidget>

#include <optional>
#include <string>

#include "cycle/map_data.h"
#include "cycle/number_text.h"
#include "estimation/estimate.h"
#include "spatial/boundaries.h"
#include "spatial/map_layers.h"

class QCheckBox;
class QComboBox;
class QLabel;

namespace valdmora {

class MapCanvas : public QWidget {
    Q_OBJECT
public:
    explicit MapCanvas(QWidget* parent = nullptr);
    void set_map(std::optional<WardMapData> map, NumberFormat fmt, QString placeholder);
    const std::optional<WardMapData>& map() const { return map_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    std::optional<WardMapData> map_;
    NumberFormat format_;
    QString placeholder_;
    // the map as last drawn: a large town is drawn once a change, not once a repaint
    QImage drawn_;
    bool stale_ = true;
};

class MapPane : public QWidget {
    Q_OBJECT
public:
    explicit MapPane(QWidget* parent = nullptr);

    // The boundaries matched to the data's wards, and where they came from; none: no map.
    void set_boundaries(std::optional<WardBoundaries> b, const QString& path);
    const std::optional<WardBoundaries>& boundaries() const { return boundaries_; }
    const QString& boundaries_path() const { return path_; }
    // The estimate to map (null: none yet) and the title's first line.
    void set_estimate(const EstimateResult* e, const std::string& heading, NumberFormat fmt);
    // The map on show, for the report.
    const std::optional<WardMapData>& map() const;
    MapOptions options() const;
    const EstimateResult* estimate() const { return estimate_; }
    // Writes the map whole or not at all: PNG at 300 dpi, or SVG by the name's ending.
    bool save(const QString& path, QString* error) const;

signals:
    void saveRequested();

private:
    void rebuild();
    std::optional<WardBoundaries> boundaries_;
    QString path_;
    const EstimateResult* estimate_ = nullptr;
    std::optional<Residuals> residuals_;
    std::string heading_;
    NumberFormat format_;
    QComboBox* layer_ = nullptr;
    QComboBox* classes_ = nullptr;
    QComboBox* residual_kind_ = nullptr;
    QCheckBox* names_ = nullptr;
    MapCanvas* canvas_ = nullptr;
};

}  // namespace valdmora

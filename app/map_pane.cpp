// SPDX-License-Identifier: GPL-3.0-or-later
#include "map_pane.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <cmath>

#include "charts/svg_surface.h"
#include "charts/ward_map.h"
#include "cycle/atomic_file.h"
#include "file_name.h"
#include "qt_text.h"
#include "report/painter_surface.h"
#include "report/pdf_painter.h"

namespace valdmora {

MapCanvas::MapCanvas(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setMinimumSize(320, 240);
    setAccessibleName("Ward map");
}

void MapCanvas::set_map(std::optional<WardMapData> map, NumberFormat fmt, QString placeholder) {
    map_ = std::move(map);
    format_ = fmt;
    placeholder_ = std::move(placeholder);
    stale_ = true;
    update();
}

void MapCanvas::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (!map_) {
        p.setPen(Qt::gray);
        p.drawText(rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, placeholder_);
        return;
    }
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (stale_ || drawn_.size() != pixels) {
        drawn_ = QImage(pixels, QImage::Format_RGB32);
        drawn_.setDevicePixelRatio(ratio);
        drawn_.fill(Qt::white);
        QPainter on_image(&drawn_);
        PainterSurface surface(on_image, QRectF(0, 0, width(), height()), font());
        plot_ward_map(surface, *map_, format_);
        stale_ = false;
    }
    p.drawImage(QPointF(0, 0), drawn_);
}

bool MapCanvas::event(QEvent* e) {
    // the ward under the pointer, by name
    if (e->type() == QEvent::ToolTip && map_) {
        auto* help = static_cast<QHelpEvent*>(e);
        const float lh = static_cast<float>(QFontMetricsF(font()).height());
        const auto k = ward_at(*map_, static_cast<float>(width()), static_cast<float>(height()), lh,
                               static_cast<float>(help->pos().x()), static_cast<float>(help->pos().y()));
        if (k)
            QToolTip::showText(help->globalPos(), from8bit(map_->wards[*k].name), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(e);
}

MapPane::MapPane(QWidget* parent) : QWidget(parent) {
    layer_ = new QComboBox(this);
    layer_->setObjectName("mapLayer");
    layer_->setAccessibleName("Map layer");
    for (const MapLayerTraits& t : map_layers())
        layer_->addItem(QString::fromUtf8(t.caption.data(), static_cast<qsizetype>(t.caption.size())));
    classes_ = new QComboBox(this);
    classes_->setAccessibleName("Classes");
    classes_->addItems({"Quantile classes", "Equal steps"});
    residual_kind_ = new QComboBox(this);
    residual_kind_->setAccessibleName("Residuals");
    residual_kind_->addItems({"Pearson residuals", "Quantile residuals"});
    names_ = new QCheckBox("Ward names", this);
    auto* save = new QPushButton("Save map…", this);
    canvas_ = new MapCanvas(this);
    auto* controls = new QHBoxLayout;
    controls->addWidget(layer_, 1);
    controls->addWidget(classes_);
    controls->addWidget(residual_kind_);
    controls->addWidget(names_);
    controls->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(canvas_, 1);
    for (QComboBox* box : {layer_, classes_, residual_kind_})
        connect(box, &QComboBox::currentIndexChanged, this, [this] { rebuild(); });
    connect(names_, &QCheckBox::toggled, this, [this] { rebuild(); });
    connect(save, &QPushButton::clicked, this, [this] { emit saveRequested(); });
    rebuild();
}

void MapPane::set_boundaries(std::optional<WardBoundaries> b, const QString& path) {
    boundaries_ = std::move(b);
    path_ = path;
    rebuild();
}

void MapPane::set_estimate(const EstimateResult* e, const std::string& heading, NumberFormat fmt) {
    estimate_ = e;
    heading_ = heading;
    format_ = fmt;
    residuals_.reset();
    if (e && e->fit_ok) residuals_ = model_residuals(e->state, e->par_value, static_cast<long>(e->free_pos.size()), 1);
    rebuild();
}

MapOptions MapPane::options() const {
    MapOptions o;
    o.layer = map_layers()[static_cast<std::size_t>(std::max(0, layer_->currentIndex()))].layer;
    o.quantile_classes = classes_->currentIndex() == 0;
    o.quantile_residuals = residual_kind_->currentIndex() == 1;
    o.names = names_->isChecked();
    return o;
}

const std::optional<WardMapData>& MapPane::map() const { return canvas_->map(); }

void MapPane::rebuild() {
    residual_kind_->setEnabled(options().layer == MapLayer::residual);
    if (!boundaries_) {
        canvas_->set_map(std::nullopt, format_, "Open the wards' boundaries with File → Open ward boundaries… to map them.");
        return;
    }
    if (!estimate_) {
        canvas_->set_map(std::nullopt, format_, "Estimate first: the map shows the estimate on its wards.");
        return;
    }
    canvas_->set_map(ward_map_data(*estimate_, *boundaries_, options(), residuals_ ? &*residuals_ : nullptr, heading_),
                     format_, {});
}

bool MapPane::save(const QString& path, QString* error) const {
    if (!map()) {
        if (error) *error = "there is no map to save";
        return false;
    }
    std::string bytes;
    if (path.endsWith(".svg", Qt::CaseInsensitive)) {
        SvgSurface svg(900, 640, SvgSurface::Font{}, map()->title.front());
        plot_ward_map(svg, *map(), format_);
        bytes = svg.svg();
    } else {
        bytes = paint_map_png({*map(), format_});
        if (bytes.empty()) {
            if (error) *error = "there is not enough memory for the image";
            return false;
        }
    }
    const std::string e = write_file_atomically(engine_path(path), bytes);
    if (!e.empty() && error) *error = from8bit(e);
    return e.empty();
}

}  // namespace valdmora

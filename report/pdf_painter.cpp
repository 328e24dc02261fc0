// SPDX-License-Identifier: GPL-3.0-or-later
#include "pdf_painter.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QImage>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextDocument>

#include <cmath>

#include "charts/charts.h"
#include "charts/ward_map.h"
#include "painter_surface.h"

namespace valdmora {

namespace {

QString qt_text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// A chart with its heading, in a band of the page.
template <class Draw>
qreal chart(QPainter& p, qreal top, qreal width, qreal height, const QString& heading, const QFont& font, Draw draw) {
    QFont bold = font;
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::black);
    p.drawText(QPointF(0, top + QFontMetricsF(bold, p.device()).ascent()), heading);
    const qreal below = top + QFontMetricsF(bold, p.device()).height() + 4;
    PainterSurface surface(p, QRectF(0, below, width, height), font);
    draw(surface);
    return below + height + 16;
}

}  // namespace

std::string paint_report_pdf(const ReportPages& pages) {
    const NumberFormat& fmt = pages.format;

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter pdf(&buffer);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
        pdf.setResolution(96);  // the charts' pixels are the window's
        pdf.setTitle(qt_text(pages.title));
        pdf.setCreator(qt_text(pages.creator));
        QPainter p(&pdf);
        const qreal w = pdf.width(), h = pdf.height();
        QFont font("DejaVu Sans");
        font.setStyleHint(QFont::SansSerif);
        font.setPixelSize(11);
        // no ligatures: text copied out of the report, or read aloud, has "fi", not one glyph
        font.setStyleStrategy(QFont::PreferNoShaping);

        // the words, page by page
        QTextDocument doc;
        doc.documentLayout()->setPaintDevice(&pdf);
        doc.setDefaultFont(font);
        doc.setPageSize(QSizeF(w, h));
        doc.setHtml(qt_text(pages.html));
        for (int page = 0; page < doc.pageCount(); ++page) {
            if (page > 0) pdf.newPage();
            p.save();
            p.translate(0, -page * h);
            doc.drawContents(&p, QRectF(0, page * h, w, h));
            p.restore();
        }

        // the charts as vector drawings, after the words on their last page while they fit,
        // so that no page is left half empty
        const qreal heading = QFontMetricsF(font, &pdf).height() + 4 + 16;
        qreal top = doc.size().height() - (doc.pageCount() - 1) * h + 16;
        auto place = [&](qreal height) {
            if (top + heading + height > h) {
                pdf.newPage();
                top = 0;
            }
        };
        place(300);
        top = chart(p, top, w, 300, "Counts: each surveyed ward's count against its prediction", font,
                    [&](Surface& s) { plot_counts(s, pages.counts, fmt); });
        place(200);
        top = chart(p, top, 260, 200, "Key: the first ten surveyed wards", font,
                    [&](Surface& s) { plot_key(s, pages.key_names, pages.key_others); });
        if (pages.likelihood) {
            place(300);
            top = chart(p, top, w, 300, "Profile log likelihood of the unsurveyed wards' total", font,
                        [&](Surface& s) { plot_likelihood(s, *pages.likelihood, fmt); });
        }
        place(320);
        top = chart(p, top, w, 320, "Pearson residuals against fitted means", font,
                    [&](Surface& s) { plot_scatter(s, pages.pearson, fmt); });
        place(320);
        chart(p, top, w, 320, "Quantile residuals against normal quantiles", font,
              [&](Surface& s) { plot_scatter(s, pages.quantile, fmt); });
        if (pages.map) {
            pdf.newPage();
            top = chart(p, 0, w, std::min<qreal>(h * 0.7, w * 0.75), "Where the dogs are: the ward map", font,
                        [&](Surface& s) { plot_ward_map(s, *pages.map, fmt); });
            QTextDocument note;
            note.documentLayout()->setPaintDevice(&pdf);
            note.setDefaultFont(font);
            note.setTextWidth(w);
            note.setPlainText(qt_text(pages.map_sentence));
            p.save();
            p.translate(0, top);
            note.drawContents(&p);
            p.restore();
        }
    }
    return bytes.toStdString();
}

std::string paint_map_png(const MapPicture& picture) {
    const qreal zoom = static_cast<qreal>(picture.dpi) / 96.0;
    QImage image(static_cast<int>(std::ceil(picture.width * zoom)), static_cast<int>(std::ceil(picture.height * zoom)),
                 QImage::Format_RGB32);
    if (image.isNull()) return {};
    image.fill(Qt::white);
    const int per_metre = static_cast<int>(std::lround(picture.dpi / 0.0254));
    image.setDotsPerMeterX(per_metre);
    image.setDotsPerMeterY(per_metre);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::TextAntialiasing, true);
        p.scale(zoom, zoom);
        QFont font("DejaVu Sans");
        font.setStyleHint(QFont::SansSerif);
        font.setPixelSize(12);
        PainterSurface surface(p, QRectF(0, 0, picture.width, picture.height), font);
        plot_ward_map(surface, picture.map, picture.format);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return {};
    return bytes.toStdString();
}

}  // namespace valdmora

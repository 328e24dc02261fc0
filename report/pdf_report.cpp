#include "pdf_report.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextDocument>
#include <algorithm>

#include "charts/charts.h"
#include "cycle/atomic_file.h"
#include "cycle/user_error.h"
#include "estimation/residuals.h"
#include "form/results_summary.h"
#include "painter_surface.h"
#include "summary_html.h"

namespace valdmora {

namespace {

QString html_text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())).toHtmlEscaped(); }

// The report's words: what was read, then the results as the pane has them, then the models.
QString report_html(const ReportInput& in) {
    const FormState& f = *in.form;
    const EstimationState& s = f.result()->state();
    const ResultOrigin& o = *f.result_origin();
    QString html = "<h2>valdmora report</h2><p>" + html_text(in.date) + ", valdmora " + html_text(in.version) + "</p>";
    html += "<h3>Data</h3><p>File: " + html_text(o.data_name) + "<br>Wards: " + QString::number(s.n_surveyed + s.n_unsurveyed) +
            " (" + QString::number(s.n_surveyed) + " surveyed, " + QString::number(s.n_unsurveyed) +
            " unsurveyed)<br>Predictors: ";
    QStringList names;
    for (const std::string& n : o.predictor_names) names << html_text(n);
    html += (names.isEmpty() ? QString("none") : names.join(", ")) + "</p>";
    html += "<h3>Estimate</h3>" + summary_html(results_summary(f));
    if (in.models) html += "<h3>Table of models</h3>" + model_table_html(*in.models, f.format());
    return html;
}

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

std::string report_pdf(const ReportInput& in) {
    if (!in.form || !in.form->result())
        throw UserError("There is no estimate to report yet: estimate first.", "Export report");
    const FormState& f = *in.form;
    const ClickResult& r = *f.result();
    const NumberFormat& fmt = f.format();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter pdf(&buffer);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
        pdf.setResolution(96);  // the charts' pixels are the window's
        pdf.setTitle(QString::fromStdString("valdmora report: " + f.result_origin()->data_name));
        pdf.setCreator(QString::fromStdString("valdmora " + in.version));
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
        doc.setHtml(report_html(in));
        for (int page = 0; page < doc.pageCount(); ++page) {
            if (page > 0) pdf.newPage();
            p.save();
            p.translate(0, -page * h);
            doc.drawContents(&p, QRectF(0, page * h, w, h));
            p.restore();
        }

        // the charts as vector drawings
        pdf.newPage();
        qreal top = 0;
        top = chart(p, top, w, 300, "Counts: each surveyed ward's count against its prediction", font,
                    [&](Surface& s) { plot_counts(s, r.counts, fmt); });
        const auto& names = r.state().surveyed_name.values();
        top = chart(p, top, 220, 200, "Key: the first ten surveyed wards", font, [&](Surface& s) {
            plot_key(s, std::span<const std::string>(names.data(), std::min<std::size_t>(names.size(), 10)));
        });
        if (r.likelihood)
            chart(p, top, w, 300, "Profile log likelihood of the unsurveyed wards' total", font,
                  [&](Surface& s) { plot_likelihood(s, *r.likelihood, fmt); });
        pdf.newPage();
        const Residuals res = model_residuals(r.state(), r.estimate.par_value, static_cast<long>(r.estimate.free_pos.size()), 1);
        top = chart(p, 0, w, 320, "Pearson residuals against fitted means", font,
                    [&](Surface& s) { plot_scatter(s, pearson_chart(res), fmt); });
        chart(p, top, w, 320, "Quantile residuals against normal quantiles", font,
              [&](Surface& s) { plot_scatter(s, quantile_chart(res), fmt); });
    }
    return bytes.toStdString();
}

std::string write_report_pdf(const ReportInput& in, const std::string& path) {
    return write_file_atomically(path, report_pdf(in));
}

}  // namespace valdmora

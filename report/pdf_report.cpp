// SPDX-License-Identifier: GPL-3.0-or-later
#include "pdf_report.h"

#include "cycle/atomic_file.h"
#include "pdf_painter.h"

namespace valdmora {

std::string report_pdf(const ReportInput& in) { return paint_report_pdf(report_pages(in)); }

std::string write_report_pdf(const ReportInput& in, const std::string& path) {
    return write_file_atomically(path, report_pdf(in));
}

}  // namespace valdmora

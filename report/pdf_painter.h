// SPDX-License-Identifier: GPL-3.0-or-later
// A report's pages painted as one PDF through Qt's own writer: the words laid out as text, the
// charts as vector drawings. The window calls it directly; the batch program through the
// report plugin, so that the program itself maps no Qt library.
#pragma once

#include <string>

#include "report_pages.h"

namespace valdmora {

// The PDF's bytes. Needs a Qt GUI application (fonts).
std::string paint_report_pdf(const ReportPages& pages);

// The map as PNG bytes at the picture's resolution, or empty when the image cannot be made.
std::string paint_map_png(const MapPicture& picture);

}  // namespace valdmora

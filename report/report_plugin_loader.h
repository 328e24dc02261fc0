// SPDX-License-Identifier: GPL-3.0-or-later
// The report plugin, found and loaded when a report is asked for: beside the program, or in
// an installed tree's private folder (lib/valdmora relative to the program's bin/).
#pragma once

#include <string>
#include <vector>

#include "report_pages.h"
#include "report_plugin.h"

namespace valdmora {

// The plugin's file name on this platform.
const char* report_plugin_file();

// The places searched, in order; never the system's search path, where a stray file of the
// same name could lie.
std::vector<std::string> report_plugin_candidates();

struct ReportPlugin {
    std::string path;
    valdmora_report_pdf_entry paint = nullptr;
    valdmora_report_png_entry paint_png = nullptr;

    // The pages as a PDF; a UserError when the plugin cannot make it.
    std::string pdf(const ReportPages& pages) const;
    // The ward map as a PNG; a UserError when the plugin cannot make it.
    std::string png(const MapPicture& picture) const;
};

// Loads the first candidate that exists, and keeps it loaded for the life of the program.
// Raises a UserError naming the file when none exists, or when the one found is not a whole
// shared library, cannot be loaded (with the loader's reason) or lacks its entry.
ReportPlugin load_report_plugin(const std::vector<std::string>& candidates = report_plugin_candidates());

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
// What a report's pages hold, as plain data: its words as HTML and the inputs of its charts.
// The batch program hands this to the report plugin, which paints it; both are built from
// this very header, and the plugin refuses pages from another build (report_plugin.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cycle/chart_data.h"
#include "cycle/map_data.h"
#include "cycle/number_text.h"

namespace valdmora {

struct ReportPages {
    std::string title;    // the PDF's title
    std::string creator;  // the PDF's creator: the program and its version
    std::string html;     // the words, laid out page by page
    CountsChartData counts;
    std::vector<std::string> key_names;  // the key's wards: the first ten surveyed
    std::size_t key_others = 0;          // the surveyed wards beyond them
    std::optional<LikelihoodChartData> likelihood;
    ScatterChartData pearson, quantile;
    NumberFormat format;
    std::optional<WardMapData> map;  // a page of its own, with the spatial check's sentence
    std::string map_sentence;
};

// The ward map alone, as a picture for print.
struct MapPicture {
    WardMapData map;
    NumberFormat format;
    float width = 900.0f, height = 640.0f;  // in the window's pixels, 96 to the inch
    float dpi = 300.0f;
};

}  // namespace valdmora

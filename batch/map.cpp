// SPDX-License-Identifier: GPL-3.0-or-later
// map: one estimate from a count data file drawn as a ward map on its boundaries, as SVG or
// (through the report plugin, so that the program maps no Qt library) as PNG at 300 dpi.
#include <CLI/CLI.hpp>

#include <iostream>

#include "charts/svg_surface.h"
#include "charts/ward_map.h"
#include "command.h"
#include "cycle/atomic_file.h"
#include "cycle/platform_file.h"
#include "estimate_options.h"
#include "output.h"
#include "report/report_plugin_loader.h"
#include "session.h"
#include "spatial/map_layers.h"
#include "spatial_options.h"

namespace valdmora {

// The map's first title line: the data file and the model.
std::string map_heading(const std::string& file, const EstimateResult& e, const std::vector<std::string>& predictors);

namespace {

struct MapCommandOptions : ModelOptions {
    BoundaryOptions boundaries;
    std::string svg, png;
    MapOptions map;
};

std::string layer_keys() {
    std::string s;
    for (const MapLayerTraits& t : map_layers()) s += (s.empty() ? "" : ", ") + std::string(t.key);
    return s;
}

void declare(CLI::App& sub) {
    declare_model_options(sub);
    declare_bootstrap_options(sub);
    declare_boundary_options(sub, true);
    add_text_option(sub, "--svg", "write the map as SVG to this file");
    add_text_option(sub, "--png", "write the map as PNG at 300 dpi to this file");
    add_text_option(sub, "--layer", "what the colours show: " + layer_keys() + " (default: predicted)");
    add_text_option(sub, "--classes", "quantile or equal: classes holding equal numbers of wards, or of equal width "
                                      "(default: quantile)");
    add_switch(sub, "--names", "print each ward's name on the map");
    add_switch(sub, "--quantile-residuals", "the residual layer shows quantile rather than Pearson residuals");
}

MapCommandOptions parse(const CLI::App& given) {
    MapCommandOptions o;
    static_cast<ModelOptions&>(o) = parse_model_options(given);
    o.boundaries = parse_boundary_options(given);
    o.svg = option_text(given, "--svg");
    o.png = option_text(given, "--png");
    if (o.svg.empty() == o.png.empty()) throw UsageError("map: give one of --svg PATH or --png PATH");
    const std::string layer = option_text(given, "--layer", "predicted");
    const auto l = map_layer_from_key(layer);
    if (!l) throw UsageError("--layer: '" + layer + "' is not a layer; the layers are " + layer_keys());
    o.map.layer = *l;
    const std::string classes = option_text(given, "--classes", "quantile");
    if (classes != "quantile" && classes != "equal")
        throw UsageError("--classes: '" + classes + "' is neither quantile nor equal");
    o.map.quantile_classes = classes == "quantile";
    o.map.names = option_given(given, "--names");
    o.map.quantile_residuals = option_given(given, "--quantile-residuals");
    return o;
}

int run(const MapCommandOptions& o) {
    const std::string out = o.svg.empty() ? o.png : o.svg;
    {
        const std::string clash = output_clash({{"the data file", o.file}, {"the boundaries file", o.boundaries.path}},
                                               {{o.svg.empty() ? "--png" : "--svg", out}});
        if (!clash.empty()) throw UsageError(clash);
    }
    // a PNG needs the plugin: a missing one fails before any work is done
    std::optional<ReportPlugin> plugin;
    if (!o.png.empty()) plugin = load_report_plugin();
    Session s;
    const ClickServices sv = services();
    const ClickResult r = estimate_click(s, o, sv);
    const EstimateResult& e = r.estimate;
    const WardBoundaries b = estimate_boundaries(o.boundaries, e.state);
    std::vector<Notice> notices = s.notices();
    const std::vector<Notice> own = click_notices(r);
    notices.insert(notices.end(), own.begin(), own.end());
    for (const Notice& n : boundary_notices(b)) notices.push_back(n);
    int status = e.fit_ok ? 0 : 1;

    std::optional<Residuals> residuals;
    if (e.fit_ok) residuals = model_residuals(e.state, e.par_value, static_cast<long>(e.free_pos.size()), o.seed);
    const WardMapData map = ward_map_data(e, b, o.map, residuals ? &*residuals : nullptr,
                                          map_heading(o.file, e, s.predictors()));
    std::string bytes;
    if (plugin) {
        MapPicture picture;
        picture.map = map;
        picture.format = s.format();
        bytes = plugin->png(picture);
    } else {
        SvgSurface svg(900, 640, SvgSurface::Font{}, map.title.front());
        plot_ward_map(svg, map, s.format());
        bytes = svg.svg();
    }
    const std::string problem = write_file_atomically(out, bytes);
    if (problem.empty()) {
        std::cout << "wrote " << shown(out) << "\n";
    } else {
        notices.push_back({"Output file", not_written_message(out, problem), "", true});
        status = 1;
    }
    print_notices(notices);
    return status;
}

}  // namespace

std::string map_heading(const std::string& file, const EstimateResult& e, const std::vector<std::string>& predictors) {
    std::string name = platform::path_to_utf8(platform::path_from_utf8(file).filename());
    std::string free;
    for (int32_t k : e.free_pos)
        if (k >= 2 && k <= e.state.n_pred + 1)
            free += (free.empty() ? "" : ", ") + predictor_name(predictors, static_cast<int>(k - 1));
    return shown(name) + ": " + std::string(distribution(e.state.err_dist).name) + " model, " +
           (free.empty() ? std::string("constant only") : "predictors " + free);
}

Command map_command() {
    return make_command<MapCommandOptions>(
        "map", "One estimate from a count data file, drawn as a map of the wards on their boundaries.",
        "valdmora-batch map counts.txt --dist negbin --free 0,households --boundaries wards.geojson --layer density "
        "--png map.png",
        false, declare, parse, run);
}

}  // namespace valdmora

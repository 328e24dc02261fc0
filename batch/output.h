// SPDX-License-Identifier: GPL-3.0-or-later
// What every subcommand prints and writes: the terminal's lines and notices, the JSON of a
// click, and the output files, each written whole.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cycle/number_text.h"
#include "cycle/output_paths.h"
#include "cycle/user_error.h"
#include "estimation/click.h"

namespace valdmora {

using json = nlohmann::ordered_json;

json finite_or_null(double v);
std::string dump(const json& j);
json notices_json(const std::vector<Notice>& notices);

// A line for the terminal: control bytes escaped, nothing cut.
std::string shown(const std::string& text);
std::string shown_lines(const std::string& text);
void print_notices(const std::vector<Notice>& notices);

// The notices of a click as the batch reports them: the window's, plus what only the
// batch has to say.
std::vector<Notice> click_notices(const ClickResult& r);

// The likelihood line of a batch run: it has no earlier fit to give a change against.
std::string batch_likelihood_line(const ClickResult& r, const NumberFormat& fmt);

// One click's result as JSON; predictors are the data's names.
json result_json(const ClickResult& r, const std::vector<std::string>& predictors, const NumberFormat& fmt);

// No output may replace the data file or another output of the run; refused before any
// work, compared by the file each path reaches.
void refuse_clashes(const std::string& data_file, const std::vector<NamedPath>& outputs);
// ward_predictions.txt and user.txt in dir.
std::vector<NamedPath> click_outputs(const std::string& dir);
// ward_dogs_present.csv in dir, written when sightings are given.
NamedPath dogs_present_output(const std::string& dir);
// The output folder must exist and take files; said before any work is done.
void check_output_folder(const std::string& dir);
// Writes the click's files whole into dir; the messages of those that could not be.
std::vector<std::string> write_outputs(const ClickResult& r, const std::string& dir);

}  // namespace valdmora

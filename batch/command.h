// SPDX-License-Identifier: GPL-3.0-or-later
// What every subcommand shares: its entry in the command table, usage errors, the numbers
// of the command line, and the engine's services.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "cycle/distributions.h"
#include <string_view>
#include <vector>

#include "estimation/click_input.h"

namespace CLI {
class App;
}

namespace valdmora {

// A usage error: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One subcommand. declare puts its options on the command line (and so in its help); run
// parses what was given into the subcommand's options of numbers, then does the work and
// returns the exit status.
struct Command {
    std::string_view name;
    std::string_view summary;  // the help's line
    std::string_view example;
    // a first stop request lets it finish writing the rows it has
    bool keeps_rows_when_stopped = false;
    void (*declare)(CLI::App& sub) = nullptr;
    std::function<int(const CLI::App& given)> run;
};

// A table entry from the subcommand's option parser and its run function.
template <class Options>
Command make_command(std::string_view name, std::string_view summary, std::string_view example, bool keeps_rows,
                     void (*declare)(CLI::App&), Options (*parse)(const CLI::App&), int (*run)(const Options&)) {
    return {name, summary, example, keeps_rows, declare, [parse, run](const CLI::App& given) { return run(parse(given)); }};
}

// The command table, in the help's order: the core's commands, then those the program adds
// (the report, which needs Qt, is the program's and not the core's).
const std::vector<Command>& commands();
void add_command(Command c);
Command estimate_command();
Command simulate_command();
Command compare_command();
Command plan_command();
Command select_command();

// --dist: the distributions' keys, and their help.
std::vector<std::string> distribution_keys();
std::string distributions_help();

// --- reading the options given ---

// The option's text as given, or fallback when it was not given.
std::string option_text(const CLI::App& given, const std::string& name, const std::string& fallback = "");
bool option_given(const CLI::App& given, const std::string& name);
// Declares an option that takes a value (shown as TEXT in the help), read back with option_text.
void add_text_option(CLI::App& sub, const std::string& name, const std::string& description);
// Declares a flag, read back with option_given.
void add_switch(CLI::App& sub, const std::string& name, const std::string& description);

// Numbers on the command line are written with '.', whatever the locale.
double option_number(const std::string& text, const char* option);
long option_whole(const std::string& text, const char* option, long lo, long hi);
uint64_t option_seed(const std::string& text);
// A number of surveys, rounded as the window rounds it (a half to the even neighbour).
long option_surveys(const std::string& text);
// A percentage above 0.
double option_range(const std::string& text);
// The distribution's code (1..3) from its key.
Dist option_distribution(const std::string& key);
// Six box values B0,B1,B2,B3,B4,E.
std::array<double, 6> option_boxes(const std::string& list, const char* option);
std::vector<std::string> split_list(const std::string& text);

// --- the engine ---

// The model library to fit with and the engine's Cancel, set by a stop request.
ClickServices services();
// Fits go to library instead of the one bound from its file (the fuzz target's).
void use_library(const ModelLibrary* library);
void reset_cancel();
std::atomic<bool>* cancel_flag();

}  // namespace valdmora

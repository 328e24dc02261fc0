// SPDX-License-Identifier: GPL-3.0-or-later
// valdmora-batch: one estimating click, a series of simulate-and-estimate clicks, or a
// table of models, from the command line, through the same engine as the window. Each
// subcommand is an entry of the command table (command.h) in a file of its own.
//
// Exit status: 0 done; 1 a data or fit problem, an output not written whole, or a named
// ward not found; 2 a usage error; 130 / 143 stopped by SIGINT / SIGTERM (on Windows:
// Ctrl-C / Ctrl-Break or the console closed; a simulation after writing the rows it had
// finished).
#include "batch.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <iostream>

#include "command.h"
#include "cycle/user_error.h"
#include "estimation/progress.h"
#include "output.h"
#include "stop_request.h"

namespace valdmora {

namespace {
std::vector<Command>& table() {
    static std::vector<Command> commands{estimate_command(), simulate_command(), compare_command(),
                                           plan_command(), select_command()};
    return commands;
}
}  // namespace

const std::vector<Command>& commands() { return table(); }

void add_command(Command c) { table().push_back(std::move(c)); }

int batch_main(int argc, char** argv, const ModelLibrary* library) {
    use_library(library);
    reset_cancel();
    // the separators are all the batch reads of the locale: its numeric part alone
    std::setlocale(LC_NUMERIC, "");
    plain_line_ends();
    // on Windows the arguments as UTF-8, whatever the ANSI code page can hold
    const std::vector<std::string> args = utf8_arguments(argc, argv);
    std::vector<char*> arg_pointers;
    for (const std::string& a : args) arg_pointers.push_back(const_cast<char*>(a.c_str()));
    argc = static_cast<int>(args.size());
    argv = arg_pointers.data();
    CLI::App app{"valdmora-batch: estimate roaming dogs from a count data file, run a simulation study, or compare "
                 "models, with the same engine as the valdmora window."};
    app.require_subcommand(1);
    // an empty value is a slip in a script, never a request for the default
    const CLI::Validator not_empty(
        [](std::string& value) { return value.empty() ? std::string("the value must not be empty") : std::string(); },
        "", "NOT_EMPTY");
    std::vector<std::pair<const Command*, CLI::App*>> subs;
    for (const Command& c : commands()) {
        CLI::App* sub = app.add_subcommand(std::string(c.name), std::string(c.summary) + "\nExample: " + std::string(c.example));
        c.declare(*sub);
        for (CLI::Option* opt : sub->get_options())
            if (opt->get_type_size() != 0 && opt->get_name() != "--help") opt->check(not_empty);
        subs.emplace_back(&c, sub);
    }
    app.footer("Run valdmora-batch SUBCOMMAND --help to see a subcommand's options.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    const Command* chosen = nullptr;
    const CLI::App* given = nullptr;
    for (const auto& [c, sub] : subs)
        if (sub->parsed()) {
            chosen = c;
            given = sub;
        }
    if (!chosen) return 2;  // require_subcommand has said so already
    // a simulation keeps the rows it has finished; other work is simply abandoned
    watch_for_stop_requests(cancel_flag(), chosen->keeps_rows_when_stopped);
    try {
        return chosen->run(*given);
    } catch (const Cancelled&) {
        return stop_request_exit_status();
    } catch (const UsageError& e) {
        std::cerr << shown_lines(e.what()) << "\n";
        return 2;
    } catch (const UserError& e) {
        std::cerr << shown_lines(e.what()) << (e.detail().empty() ? "" : "\n" + shown_lines(e.detail())) << "\n";
        return 1;
    } catch (const std::bad_alloc&) {
        std::cerr << "There is not enough memory for this data.\n";
        return 1;
    }
}

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
// A run stopped from outside: SIGINT / SIGTERM on POSIX; Ctrl-C, Ctrl-Break and the
// console closing on Windows. A simulation only notes the first request: the repetition in
// hand is dropped, the rows so far are written, then the program ends. Any other work, or
// a second request, removes the temporary files not yet renamed and ends the program at
// once with 130 / 143.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace valdmora {

// Forgets an earlier request and starts watching. cancel (may be null) is set on every
// request, so that long loops stop at their next check; keep_rows says whether the first
// request leaves the program running.
void watch_for_stop_requests(std::atomic<bool>* cancel, bool keep_rows);
bool stop_requested();
// "SIGINT", "SIGTERM"; "Ctrl-C", "Ctrl-Break", "closing the console"
const char* stop_request_name();
// 130 for SIGINT and Ctrl-C, 143 for SIGTERM, Ctrl-Break and a closing console
int stop_request_exit_status();
// The rows are written: a closing Windows console, held until now, may end the program.
void stop_request_handled();
// Says which request stopped the run, marks it handled, and gives the exit status.
int stopped_exit_status();

bool stderr_is_terminal();
// Output as on every platform: Windows would otherwise write \r\n for \n.
void plain_line_ends();
// The command line as UTF-8 (on Windows from its UTF-16 form; elsewhere as given).
std::vector<std::string> utf8_arguments(int argc, char** argv);

}  // namespace valdmora

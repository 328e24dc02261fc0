// A long simulation stopped from outside: SIGINT / SIGTERM on POSIX; Ctrl-C, Ctrl-Break
// and the console closing on Windows. The request is only noted; the loop finishes the
// repetition it is in, and the rows so far are written before the program ends.
#pragma once

#include <string>
#include <vector>

namespace valdmora {

void watch_for_stop_requests();
bool stop_requested();
// "SIGINT", "SIGTERM"; "Ctrl-C", "Ctrl-Break", "closing the console"
const char* stop_request_name();
// 130 for SIGINT and Ctrl-C, 143 for SIGTERM, Ctrl-Break and a closing console
int stop_request_exit_status();
// The rows are written: a closing Windows console, held until now, may end the program.
void stop_request_handled();

bool stderr_is_terminal();
// Output as on every platform: Windows would otherwise write \r\n for \n.
void plain_line_ends();
// The command line as UTF-8 (on Windows from its UTF-16 form; elsewhere as given).
std::vector<std::string> utf8_arguments(int argc, char** argv);

}  // namespace valdmora

// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch.h"
#include "command.h"

namespace valdmora {
Command report_command();
Command map_command();
}

int main(int argc, char** argv) {
    valdmora::add_command(valdmora::report_command());
    valdmora::add_command(valdmora::map_command());
    return valdmora::batch_main(argc, argv);
}

// What tald says by itself, without the store: the lines that end a command
// line short of its arguments or with a wrong one, the version, the help.
#pragma once

#include "command/front/options.hpp"

/// The end of the scan: the usage hint and 1 for a negative result.
int said_finish(int result);

/// The line for a command line that ends in `word` (a word that names no
/// command: short of its arguments, a wrong one, none), then the end of the
/// scan with `result`, the scan's so far (0 after a level), where the line
/// was short of arguments. The exit status.
int said_of(TaldWord word, int result);

/// "-V": the version. 0.
int said_version();

/// "--help": the help text. 0.
int cli_help();

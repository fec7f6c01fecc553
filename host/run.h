// The host's whole run for parsed options.
#pragma once

#include "options.h"

#include <iosfwd>

namespace zel::host {

// Checks, world, packages, applications; then the script, or the window when there is no script
// and a display; then dump, snapshot and shutdown. Returns the exit code; host messages go to err.
int runHost(const hostOptions& options, std::istream& standardInput, std::ostream& err);

} // namespace zel::host

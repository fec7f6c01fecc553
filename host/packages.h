// The packages the host was asked to run, loaded, and one application of each class they register.
#pragma once

#include "options.h"
#include "session.h"

#include <iosfwd>

namespace zel::host {

// Loads the options' packages (after their package paths) and launches one application of each
// class they register under iApplication, in order. False, with one line on err, when a package
// cannot be loaded, registers no application, or a class makes none.
bool launchPackages(const hostOptions& options, session& s, std::ostream& err);

} // namespace zel::host

// Where the models come from: --models, else the sample models that ship with the project.
#pragma once

#include "options.h"

#include <zel/types.h>

#include <iosfwd>
#include <string>

namespace zel::host {

// The default model folder: <exe>/../share/propplacer/models when zelhost is installed, else the
// sample models of the source tree it was built from.
// Empty when neither exists.
std::string defaultModelFolder();

// The model folder the options name (the sample models when none), absolute, without a trailing
// separator.
wstring modelFolderFor(const hostOptions& options, std::ostream& err);

} // namespace zel::host

// The F1 list: every key of the package and of the viewer, as the host tells the screen.
#pragma once

#include <zel/render/screen.h>

#include <vector>

namespace zel::host {

std::vector<render::helpSection> helpText();

} // namespace zel::host

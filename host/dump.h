// The JSON dump of the world: its scene graph and its windows.
#pragma once

#include <zel/world/world.h>

#include <iosfwd>
#include <string>

namespace zel::host {

// Writes the world's dump as JSON (two-space indent, final line end). False, with one line on
// err, when the file cannot be written.
bool writeDump(const world::world& w, const std::string& file, std::ostream& err);

} // namespace zel::host

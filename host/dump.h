// The JSON dump of the world: its scene graph and its windows.
#pragma once

#include <zel/world/world.h>

#include <iosfwd>
#include <string>

namespace zel::host {

class editHistory;

// Writes the world's dump as JSON (two-space indent, final line end), with "steps": {"undo": N,
// "redo": M} when a history is given. False, with one line on err, when the file cannot be
// written.
bool writeDump(const world::world& w, const std::string& file, std::ostream& err,
               editHistory* history = nullptr);

} // namespace zel::host

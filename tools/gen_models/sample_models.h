// The sample models that ship with the project, and the note that goes with them.
#pragma once

#include "model3ds.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zel::genModels {

model makeArchi();    // a small house: floor slab, walls with a door and two windows, pitched roof
model makeTable();    // a table: one object with a wooden top and darker legs and rails
model makeTree();     // a fir tree: trunk and three stacked cones
model makeWindmill(); // a windmill whose sails turn once every 60 frames
model makeCrate();    // a plain box

struct sampleFile {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::size_t triangles = 0; // 0 for files that hold no geometry
};

// Every file of the sample-model folder, in a fixed order. Returns false, with the reason in error,
// when a model cannot be encoded.
bool sampleFiles(std::vector<sampleFile>& files, std::string& error);

} // namespace zel::genModels

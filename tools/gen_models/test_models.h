// Models for the drawing tests, written by `zelgenmodels --test OUTDIR` and used by the tests in
// code: each shows one thing a renderer can get wrong.
#pragma once

#include "model3ds.h"
#include "sample_models.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zel::genModels {

// Two quads, a metre square each, upright side by side in the XZ plane facing -Y (towards the
// viewer in a Z-up file): the left one (x from -1.1 to -0.1) with a white material "red" whose
// picture is red.png, the right one (x from 0.1 to 1.1) with "blue" and blue.png.
model makeTwoQuads();

// A town 10 km square: a grid of walls 10 m high (red), under one roof 1 m above them that reaches
// 100 m past the outer walls (grey), seen whole from afar a depth buffer must still tell them
// apart.
model makeBigTown();

// A cylinder of radius 1 and height 2 around the Z axis, its 24 sides in one smoothing group; with
// mixedWinding every other side is wound the other way (as some exporters write them). No caps.
model makeCylinder(bool mixedWinding);

// A PNG of 4 x 4 pixels of one colour (stored without compression).
std::vector<std::uint8_t> solidPng(std::uint8_t r, std::uint8_t g, std::uint8_t b);

// Every file of the test-model folder, the pictures included.
bool testFiles(std::vector<sampleFile>& files, std::string& error);

} // namespace zel::genModels

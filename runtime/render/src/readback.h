// Pixels of the bound read framebuffer, shared by the backends.
#pragma once

#include <zel/render/image.h>

namespace zel::render::detail {

// Reads width x height RGBA pixels from the current GL_READ_FRAMEBUFFER's read buffer and turns
// them top row first (GL gives the bottom row first).
image readFramebuffer(int width, int height);

} // namespace zel::render::detail

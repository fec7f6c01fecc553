#pragma once

// The kernel's Landlock version: asked by the helper before it restricts itself, and by the host,
// which says once when imports run without it.

namespace zel::import {

// The Landlock ABI version of the running kernel, 0 when it has none (or it is switched off).
int landlockAbi();

} // namespace zel::import

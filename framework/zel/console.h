// The console: std::cout and std::wcout both reach stdout as UTF-8, every line complete and in the
// order written, whatever the locale. libzel sets this up when it is loaded.
#pragma once

#include <zel/types.h>

namespace zel::console {

// Gives std::wcout a buffer that encodes to UTF-8 into std::cout's buffer. Idempotent; call it
// again after anything replaced std::wcout's buffer. Never call std::ios::sync_with_stdio(false)
// after it.
ZEL_API void install();
// Puts back std::wcout's previous buffer (done when libzel is unloaded).
ZEL_API void uninstall();

} // namespace zel::console

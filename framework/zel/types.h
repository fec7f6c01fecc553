// Basic types shared by every zel interface.
#pragma once

#include <string>

namespace zel {

// Wide string: UTF-16 code units on every platform. Lengths and cuts count code units.
using wstring = std::u16string;

} // namespace zel

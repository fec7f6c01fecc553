// Basic types shared by every zel interface.
#pragma once

#include <string>

// What libzel exports. On Windows a DLL exports only what is marked (and its users must import it
// as such); elsewhere every symbol of default visibility is exported already.
#if defined(_WIN32) && defined(ZEL_BUILDING_LIBZEL)
#define ZEL_API __declspec(dllexport)
#elif defined(_WIN32)
#define ZEL_API __declspec(dllimport)
#else
#define ZEL_API
#endif

namespace zel {

// Wide string: UTF-16 code units on every platform. Lengths and cuts count code units.
using wstring = std::u16string;

} // namespace zel

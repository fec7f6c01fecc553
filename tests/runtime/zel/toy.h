// The interface that the test package's one class implements.
#pragma once

#include <zel/xstd.h>

namespace zeltest {

class iToy {
public:
    static constexpr zel::xstd::uuid IID{0x6B1D2E30, 0x3C44, 0x4F0A, 0x9A, 0x51, 0x27,
                                         0x83,       0x0C,   0x4E,   0x11, 0xD2};
    virtual ~iToy() {}
    virtual int answer() const { return 0; }
};

} // namespace zeltest

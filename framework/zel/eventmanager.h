// zel::eventManager: key events and their source, and the event source that windows connect to.
#pragma once

#include <zel/xstd.h>

namespace zel::eventManager {

class keyEvent {
public:
    explicit keyEvent(unsigned int key) : key_(key) {}
    // The character's code on a US layout.
    unsigned int getEventKey() const { return key_; }

private:
    unsigned int key_;
};

class iKeyObserver {
public:
    virtual ~iKeyObserver() {}
    // An auto-repeat while the key is held.
    virtual void onKeyPress(keyEvent*) {}
    // A physical press.
    virtual void onKeyDown(keyEvent*) {}
    // The release.
    virtual void onKeyUp(keyEvent*) {}
};

class iKeySource {
public:
    virtual ~iKeySource() {}
    // Each returns false when there was nothing to do (already added, not there, null).
    virtual bool addKeyObserver(iKeyObserver*) { return false; }
    virtual bool removeKeyObserver(iKeyObserver*) { return false; }
    virtual bool hasKeyObserver(iKeyObserver*) const { return false; }
};

// The source of window-system events that a window connects to.
class iEventSource {
public:
    virtual ~iEventSource() {}
};

class iContext {
public:
    static constexpr xstd::uuid IID{0x80A9676D, 0x6FAA, 0x4652, 0xB8, 0x57, 0xB5,
                                    0x4E,       0x83,   0x04,   0x87, 0x51};
    virtual ~iContext() {}
    virtual iKeySource* getKeySource() { return nullptr; }
    virtual iEventSource* getEventSource() { return nullptr; }
};

} // namespace zel::eventManager

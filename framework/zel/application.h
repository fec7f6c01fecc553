// zel::application: what the host gives an application and the application interface it drives.
#pragma once

#include <zel/types.h>
#include <zel/xstd.h>

namespace zel::application {

// A plain value: the application's name and a one-line description.
class ZEL_API profile {
public:
    profile();
    profile(const profile&);
    profile& operator=(const profile&);
    ~profile();

    bool setName(const wstring& name);
    bool setDescription(const wstring& description);
    const wstring& getName() const { return name_; }
    const wstring& getDescription() const { return description_; }

private:
    wstring name_;
    wstring description_;
};

// The host's side of one running application.
class iApplicationHandle {
public:
    virtual ~iApplicationHandle() {}
    // The host keeps its own copy.
    virtual void setProfile(const profile&) {}
    // The application's search path; its first folder is the application's current directory.
    virtual xstd::searchPath getSearchPath() const { return {}; }
};

// What every lifecycle call carries: the application's handle.
class applicationEvent {
public:
    explicit applicationEvent(iApplicationHandle* subject = nullptr) : subject_(subject) {}
    iApplicationHandle* getSubject() const { return subject_; }

private:
    iApplicationHandle* subject_;
};

// An application: the host calls onStart first, then onActivate and onDeactivate any number of
// times, and onStop; then it deletes the object.
class iApplication {
public:
    static constexpr xstd::uuid IID{0xE2344DED, 0x503E, 0x45CD, 0x8F, 0x17, 0x6D,
                                    0x60,       0xF1,   0x2D,   0x81, 0x5D};
    virtual ~iApplication() {}
    virtual void onStart(const applicationEvent&) {}
    virtual void onStop(const applicationEvent&) {}
    virtual void onActivate(const applicationEvent&) {}
    virtual void onDeactivate(const applicationEvent&) {}
    // A notification the host may send between activations; applications may ignore it.
    virtual void onNotify(const applicationEvent&) {}
};

} // namespace zel::application

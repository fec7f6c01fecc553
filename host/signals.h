// Ctrl-C and a polite kill end the window's loop the way Escape does.
#pragma once

#include <csignal>

namespace zel::host {

// While one lives, SIGINT and SIGTERM set quitRequested() instead of ending the process, so that
// the applications still get their deactivate, stop and delete. A signal the host was started to
// ignore (a background job's SIGINT) stays ignored. The handlers before are put back at the end.
class quitOnSignals {
public:
    quitOnSignals();
    ~quitOnSignals();
    quitOnSignals(const quitOnSignals&) = delete;
    quitOnSignals& operator=(const quitOnSignals&) = delete;

    static bool quitRequested();

private:
    const int signals_[2] = {SIGINT, SIGTERM};
    void (*previous_[2])(int) = {SIG_DFL, SIG_DFL};
};

} // namespace zel::host

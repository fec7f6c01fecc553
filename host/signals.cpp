#include "signals.h"

namespace zel::host {

namespace {

volatile std::sig_atomic_t quitSignal = 0;

} // namespace

quitOnSignals::quitOnSignals() {
    quitSignal = 0;
    for (int i = 0; i < 2; ++i) {
        previous_[i] = std::signal(signals_[i], [](int) { quitSignal = 1; });
        if (previous_[i] == SIG_IGN)
            std::signal(signals_[i], SIG_IGN);
    }
}

quitOnSignals::~quitOnSignals() {
    for (int i = 0; i < 2; ++i)
        if (previous_[i] != SIG_ERR)
            std::signal(signals_[i], previous_[i]);
}

bool quitOnSignals::quitRequested() {
    return quitSignal != 0;
}

} // namespace zel::host

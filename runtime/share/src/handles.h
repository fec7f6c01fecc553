// Owners for the NATS client's handles: each destroys its handle when it goes, so that tearing a
// link down is the order of its members.
#pragma once

#include <nats/nats.h>

#include <memory>

namespace zel::share::detail {

template <class T, void (*destroy)(T*)> struct natsDeleter {
    void operator()(T* p) const {
        if (p)
            destroy(p);
    }
};

inline void closeAndDestroy(natsConnection* c) {
    natsConnection_Close(c);
    natsConnection_Destroy(c);
}

using connectionHandle =
    std::unique_ptr<natsConnection, natsDeleter<natsConnection, closeAndDestroy>>;
using optionsHandle = std::unique_ptr<natsOptions, natsDeleter<natsOptions, natsOptions_Destroy>>;
using jetStreamHandle = std::unique_ptr<jsCtx, natsDeleter<jsCtx, jsCtx_Destroy>>;
using storeHandle = std::unique_ptr<kvStore, natsDeleter<kvStore, kvStore_Destroy>>;
// A JetStream subscription that takes its consumer down with it where the broker lets it.
inline void unsubscribeAndDestroy(natsSubscription* s) {
    natsSubscription_Unsubscribe(s);
    natsSubscription_Destroy(s);
}
using watcherHandle =
    std::unique_ptr<natsSubscription, natsDeleter<natsSubscription, unsubscribeAndDestroy>>;
using entryHandle = std::unique_ptr<kvEntry, natsDeleter<kvEntry, kvEntry_Destroy>>;
using messageHandle = std::unique_ptr<natsMsg, natsDeleter<natsMsg, natsMsg_Destroy>>;
using streamInfoHandle =
    std::unique_ptr<jsStreamInfo, natsDeleter<jsStreamInfo, jsStreamInfo_Destroy>>;

} // namespace zel::share::detail

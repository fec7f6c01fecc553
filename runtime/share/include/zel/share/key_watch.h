// A watch of some of a bucket's keys: an ordered consumer of the bucket's stream, bound to it by
// name, since a user of a deployment may not ask which streams there are. The sites' watches of
// their buckets, a site's watch of its own models and the broker's keeper all start theirs here.
// Header only, so that the keeper needs nothing else of the shared scene.
#pragma once

#include <nats/nats.h>

#include <string>

namespace zel::share {

struct keyWatch {
    jsDeliverPolicy deliver = js_DeliverLastPerSubject;
    bool headersOnly = false; // each record's headers (its size among them), never its contents
    // What may wait in the client before the watcher takes it (-1: no bound).
    int pendingMessages = -1;
    int pendingBytes = -1;
};

// The keys of bucket that match keys (a subject pattern: ">" for all); null when the broker does
// not start the consumer.
inline natsSubscription* watchKeys(jsCtx* js, const std::string& bucket, const std::string& keys,
                                   const keyWatch& how) {
    const std::string stream = "KV_" + bucket, subject = "$KV." + bucket + "." + keys;
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    so.Ordered = true;
    so.Config.DeliverPolicy = how.deliver;
    so.Config.HeadersOnly = how.headersOnly;
    natsSubscription* sub = nullptr;
    if (js_SubscribeSync(&sub, js, subject.c_str(), nullptr, &so, nullptr) != NATS_OK)
        return nullptr;
    natsSubscription_SetPendingLimits(sub, how.pendingMessages, how.pendingBytes);
    return sub;
}

} // namespace zel::share

// The connection to the broker: its options (servers, credentials), the JetStream context, the
// scene's buckets opened or made, and what libnats calls back, handed to a listener that may go
// before the library's last callback does.
#pragma once

#include "handles.h"

#include <zel/share/shared_scene.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zel::share::detail {

std::string statusText(natsStatus s);

// What libnats reports, on its own threads.
class connectionListener {
public:
    virtual void onError(natsStatus err, const char* text) = 0;
    virtual void onDisconnected() = 0;
    virtual void onReconnected() = 0;
    virtual void onAck(natsMsg* msg, jsPubAckErr* pae) = 0;

protected:
    ~connectionListener() = default;
};

struct connectionCallbacks;

class connection {
public:
    // Null, with one line in error, when the broker cannot be reached or refuses the credentials.
    static std::unique_ptr<connection> open(const shareOptions& options,
                                            connectionListener& listener, std::string& error);
    // Nobody hears the library from now on; then closes.
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // The bucket, opened, or made where this user may. ttlNs: 0 for records kept until deleted.
    bool openBucket(storeHandle& kv, const std::string& name, std::int64_t ttlNs,
                    std::string& error);
    // The bucket's stream's last sequence, or nothing when the broker does not answer; found is
    // false when the broker says the bucket is not there.
    std::optional<std::uint64_t> lastSequence(const std::string& bucket, int waitMs,
                                              bool* found = nullptr);
    // The listener hears nothing from now on.
    void detach();

    natsConnection* nats() const { return conn_.get(); }
    jsCtx* jetStream() const { return js_.get(); }
    const std::string& where() const { return where_; }

private:
    connection(const shareOptions& options, connectionListener& listener);
    bool connect(std::string& error);

    shareOptions options_;
    std::string where_;
    std::shared_ptr<connectionCallbacks> callbacks_;
    // Destroyed in reverse: the context, then the connection.
    connectionHandle conn_;
    jetStreamHandle js_;
};

} // namespace zel::share::detail

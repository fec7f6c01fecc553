// The connection to the broker: its options (servers, credentials), the JetStream context, the
// scene's buckets opened or made, and what libnats calls back, handed to a listener that may go
// before the library's last callback does.
#pragma once

#include "handles.h"

#include <zel/share/share_options.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
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

// A bucket as this client makes it: a stream with the key-value layout (KV_<name>, subjects
// $KV.<name>.>, one message per key, direct gets, file storage) whose messages nobody may purge,
// delete or roll up, each at most maxMessage bytes.
struct bucketSpec {
    // The shortest window of duplicate detection the broker takes.
    static constexpr std::int64_t minDuplicateWindowNs = 100'000'000;
    std::string name;
    std::string scene;           // for the lines a user reads
    std::int64_t maxAgeNs = 0;   // 0: kept until deleted
    std::int32_t maxMessage = 0; // bytes, headers included
    std::int64_t maxBytes = -1;  // the whole bucket; -1: no limit
    // The stream's configuration as the JetStream API takes it.
    nlohmann::json config(int replicas) const;
    // What is unsafe in a configuration the broker holds ("" when nothing).
    std::string unsafe(const nlohmann::json& config) const;
};

class connection {
public:
    // Null, with one line in error, when the broker cannot be reached or refuses the credentials.
    static std::unique_ptr<connection> open(const shareOptions& options,
                                            connectionListener& listener, std::string& error);
    // Nobody hears the library from now on; then closes.
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Makes sure the bucket's stream is there with safe settings (made, or brought to them, when
    // this user may: the admin), then binds it. Unsafe settings this user cannot change are told
    // in one line on log and do not stop the join; a bucket this user may not read, or that is
    // missing and this user may not make, is an error naming the scene.
    // purgeable (when given) tells whether the bucket lets its writers purge or roll up records,
    // settings this user could not change.
    bool openBucket(storeHandle& kv, const bucketSpec& spec, std::ostream& log, std::string& error,
                    bool* purgeable = nullptr);
    // The bucket's stream's last sequence, or nothing when the broker does not answer; found is
    // false when the broker says the bucket is not there; messages, when given, gets how many
    // messages the stream holds (left as it is without an answer).
    std::optional<std::uint64_t> lastSequence(const std::string& bucket, int waitMs,
                                              bool* found = nullptr,
                                              std::uint64_t* messages = nullptr);
    // The listener hears nothing from now on.
    void detach();
    // Closes the connection: whatever still waits for the broker ends at once.
    void close();

    natsConnection* nats() const { return conn_.get(); }
    jsCtx* jetStream() const { return js_.get(); }
    const std::string& where() const { return where_; }

    // Called with every error the library reports (its own threads).
    void noteError(const char* text);

private:
    struct apiReply {
        bool answered = false;
        bool refused = false;      // the broker refused this user the subject
        bool noResponders = false; // nothing on the broker answers the subject
        nlohmann::json body;
        std::string error() const; // the broker's description of an error reply ("" when none)
        int errorCode() const;     // its err_code, 0 when none
    };
    connection(const shareOptions& options, connectionListener& listener);
    bool connect(std::string& error);
    // One JetStream API request, answered on this user's inbox. A refusal of the subject ends
    // the wait at once instead of after waitMs.
    apiReply request(const std::string& subject, const std::string& payload, int waitMs);
    // The JetStream context for the API under prefix.
    bool makeJetStream(const std::string& prefix);

    shareOptions options_;
    std::string where_;
    std::string user_; // as the broker knows it (its inbox prefix is _INBOX_<user>)
    std::string inboxPrefix_;
    // The JetStream API's subjects as this user reaches them: $JS.API on a broker of one account;
    // zel.API where every user has an account of its own that imports the API from the streams'
    // account (there, $JS.API is the broker's answer that the user's account has no JetStream).
    // Known after the first openBucket.
    std::string api_ = "$JS.API";
    bool apiKnown_ = false;
    std::shared_ptr<connectionCallbacks> callbacks_;
    std::mutex errorsMutex_;
    std::uint64_t errorCount_ = 0;
    std::deque<std::string> errors_; // the last few, newest last
    // Destroyed in reverse: the context, then the connection.
    connectionHandle conn_;
    jetStreamHandle js_;
};

} // namespace zel::share::detail

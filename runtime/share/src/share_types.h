// The few small things that the link to the broker and the scene's world side hand each other: a
// model by its hash, a model asked for, a record on its way out; and how text that came from
// someone else is shown in a log line.
#pragma once

#include <zel/share/records.h>

#include <zel/import/imported_scene.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zel::share::detail {

using clock = std::chrono::steady_clock;
using sceneRef = std::shared_ptr<const import::scene>;

struct assetRequest {
    std::string user;
    std::string hash;
    bool operator==(const assetRequest&) const = default;
};

// One record on its way out: the node's state, or its deletion.
struct outgoing {
    std::string key;
    bool erase = false;
    nodeRecord record;
    // The imported scene that the record's meshes come from; the link hashes and uploads it and
    // fills in the record's mesh reference.
    sceneRef source;
};

// Bytes for one line of stderr: control characters and anything not printable ASCII as \xNN.
std::string printable(std::string_view text, std::size_t max = 200);

} // namespace zel::share::detail

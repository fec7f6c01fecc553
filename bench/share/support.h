// What the shared-scene benchmark's parts share: times and percentiles, a site's world joined to a
// scene, a plain client of the broker, and the failure that ends the run.
#pragma once

#include <triangle_model.h>
#include <zel/import/imported_scene.h>
#include <zel/share/shared_scene.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <nats/nats.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace sharebench {

using clock_type = std::chrono::steady_clock;
using zel::world::sceneNode;

double ms(clock_type::duration d);

struct percentiles {
    double p50 = 0, p99 = 0;
};
percentiles of(std::vector<double> v);

// What ends the run after a failure, thrown before any of a part's threads start and caught by
// main: the stack unwinds, so the brokers stop and their folders go.
struct failure {};
[[noreturn]] void fail(const std::string& line);

// A world joined to the scene, its own node "drag" under its navigator.
struct siteWorld {
    zel::world::world w;
    std::unique_ptr<zel::share::sharedScene> share;
    sceneNode* drag = nullptr;
    siteWorld(const std::string& url, const std::string& scene, const std::string& user);
    void set(float x);
    // x of every mirrored "drag" node (one per other site).
    std::vector<float> mirroredDrags();
};

// A plain connection and its JetStream context, what an operator or a peer publishes through.
class plainClient {
public:
    explicit plainClient(const std::string& url);
    ~plainClient();
    plainClient(const plainClient&) = delete;
    plainClient& operator=(const plainClient&) = delete;
    natsConnection* connection() const { return nc_; }
    jsCtx* js() const { return js_; }
    // Publishes without waiting for the acknowledgement; finish() waits for them all (60 s).
    void publishAsync(const std::string& subject, const std::string& value);
    void finish();

private:
    natsConnection* nc_ = nullptr;
    jsCtx* js_ = nullptr;
};

// A model of one triangle (tests/support).
using zeltest::triangleModel;

// The identity matrix as a record's field.
inline const std::string identityField = R"("matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1])";

// Processor time of the process, and of the calling thread in milliseconds; resident memory.
double cpuSeconds();
double threadMs();
long rssKiB();

} // namespace sharebench

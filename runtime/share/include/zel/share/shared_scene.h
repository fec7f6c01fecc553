// A world joined to a shared scene on a NATS JetStream broker. The site publishes the nodes it owns
// (its navigator with everything under it, and every other node of its own in the scene) as state
// records in the scene's node bucket, and builds read-only mirrors of every other site's records.
//
// Threads: the world is touched only by the thread that owns it, inside pump(), sync(), waitSites()
// and the destructor. A publisher thread sends what pump() collected (one record per changed node,
// however often it changed), a watch thread drains the node bucket's watcher, a presence thread
// keeps this site's presence fresh and hears the others', an asset thread fetches, checks and
// decodes meshes. None of them ever holds the world thread up on the network.
#pragma once

#include <zel/share/share_options.h>
#include <zel/world/world.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace zel::share {

struct siteEntry {
    std::string site;
    std::string user;
    bool self = false;
    double joined = 0.0; // when it joined, as its presence record says (seconds since 1970)
};

struct avatar {
    std::string user;
    matrix4 world; // the mirrored navigator's world matrix
};

class sharedScene {
public:
    // Connects, opens (or makes) the scene's buckets and starts the threads; the world's nodes
    // report to the returned scene from now on. Null, with one line (no line end) in error, when
    // the broker cannot be reached, refuses the credentials or the buckets cannot be opened.
    static std::unique_ptr<sharedScene> join(world::world& w, const shareOptions& options,
                                             std::ostream& log, std::string& error);
    // Leaves: deletes this site's records and presence (when the broker is there), stops the
    // threads, and detaches from the world.
    ~sharedScene();
    sharedScene(const sharedScene&) = delete;
    sharedScene& operator=(const sharedScene&) = delete;

    // On the world's thread, between events: applies what arrived, hands this site's changes to
    // the publisher. Never waits for the network.
    void pump();
    // Called on the scene's own threads each time something arrives for pump() to apply, so that
    // a window waiting for input can wake up. It must be quick and safe on any thread; empty:
    // nobody is called.
    void setWakeUp(std::function<void()> wake);
    // Waits (pumping) until the broker acknowledged every change made so far and every record the
    // broker holds now is applied here, meshes included. False when the time ran out.
    bool sync(double seconds);
    // What the last sync that ran out was still waiting for.
    const std::string& syncProblem() const;
    // Waits (pumping) until at least n sites, this one included, are present.
    bool waitSites(int n, double seconds);

    // The present sites, this one included, by site id.
    std::vector<siteEntry> sites() const;
    std::vector<avatar> avatars() const;
    const std::string& sceneName() const;
    const std::string& siteId() const;
    // True while the broker is away.
    bool reconnecting() const;
    // True once the broker refused this site's writes.
    bool viewerOnly() const;

private:
    struct impl;
    explicit sharedScene(std::unique_ptr<impl> i);
    std::unique_ptr<impl> impl_;
};

} // namespace zel::share

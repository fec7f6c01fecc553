// How a site joins a shared scene: the broker, the credentials, the scene and the limits. Both the
// link to the broker and the scene take these, so they sit apart from either.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel::share {

struct shareOptions {
    // nats://HOST:PORT or tls://HOST:PORT, one or several (a cluster).
    std::vector<std::string> servers;
    std::string scene = "default";
    std::string user;
    // Credentials for the broker: user and password, or a credentials file; all may be empty.
    std::string brokerUser;
    std::string brokerPassword;
    std::string credentialsFile;
    // The certificate authority (a PEM file) that a tls:// broker's certificate must come from;
    // empty: the system's.
    std::string caFile;
    // The total size of the scene's models on the broker, set when this user makes the scene's
    // asset bucket (or brings it to safe settings): new models are refused once it is full.
    std::int64_t assetLimitBytes = std::int64_t(16) << 30;
    // How long connecting may take at start.
    double connectSeconds = 3.0;
    // The persistent import cache's folder, where fetched models are kept by their hash (empty:
    // none), and its size bound.
    std::string modelCacheFolder;
    std::string modelCacheBase; // the folder the user named above it (import::cacheSettings::base)
    std::uint64_t modelCacheBytes = std::uint64_t{2} << 30;
};

} // namespace zel::share

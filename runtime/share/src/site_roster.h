// The sites of the scene that this one has heard of: which are present and since when, and what
// each user holds against the per-user limits. A site is remembered while it is present or has
// mirrors. World thread only; knows nothing of the world, so that it is tested alone.
#pragma once

#include "mirror_tree.h"
#include "share_types.h"

#include <zel/share/records.h>
#include <zel/share/shared_scene.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace zel::share::detail {

// A site whose presence was not refreshed for this long is gone (it refreshes every second and
// the broker forgets it after 5 s).
inline constexpr auto presenceTimeout = std::chrono::milliseconds(4000);

struct userState {
    std::size_t live = 0;    // nodes and the meshes they name
    std::size_t present = 0; // sites present
};

struct siteState : mirroredSite {
    userState* user = nullptr;
    bool self = false;
    double joined = 0.0; // as its presence record says
    clock::time_point seen{};
    clock::time_point absentSince{};
    clock::time_point cleanedAt{};
};

class siteRoster {
public:
    // This site is present from the start, and never goes.
    explicit siteRoster(siteName self);
    siteRoster(const siteRoster&) = delete;
    siteRoster& operator=(const siteRoster&) = delete;

    const siteName& self() const { return self_; }
    // The site, remembered from now on if it was not.
    siteState& siteOf(const siteName& name);
    // Null when not remembered.
    siteState* find(const std::string& id);
    // Forgets the site when it is absent and holds no mirrors.
    void forgetIfEmpty(const std::string& id);

    // A presence record of key, heard at now. False when its user has maxSitesPerUser sites
    // present already; came is the site when it was absent before, else null.
    bool heard(const siteName& key, double joined, clock::time_point now, siteState*& came);
    // The site's presence record was deleted: the site, when it was present and is not this one.
    siteState* deleted(const std::string& id);
    // Sites whose presence was not refreshed in time, now absent.
    std::vector<siteState*> expire(clock::time_point now);

    // The present sites, this one included, by id.
    std::vector<siteEntry> sites() const;
    // When this site joined (its own presence record may come back later, or never for a viewer).
    void setSelfJoined(double joined) { selfJoined_ = joined; }
    // Keys of the records of this user's other sites that have been away for longer than absence
    // (once per such site and absence; again after another absence of that length).
    std::vector<std::string> staleKeysOfOwnUser(clock::time_point now, clock::duration absence);

    const std::unordered_map<std::string, siteState>& all() const { return sites_; }

private:
    void setPresent(siteState& s, bool present);

    siteName self_;
    double selfJoined_ = 0.0;
    std::unordered_map<std::string, siteState> sites_;
    std::unordered_map<std::string, userState> users_;
};

} // namespace zel::share::detail

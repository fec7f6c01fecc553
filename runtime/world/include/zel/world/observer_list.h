// Observers in the order added, called over a snapshot so that an observer may add or remove
// observers (itself included) while it is being called.
#pragma once

#include <algorithm>
#include <vector>

namespace zel::world {

template <class O> class observerList {
public:
    // False for null or one already there.
    bool add(O* o) {
        if (!o || has(o))
            return false;
        list_.push_back(o);
        return true;
    }
    bool remove(O* o) {
        const auto it = std::find(list_.begin(), list_.end(), o);
        if (it == list_.end())
            return false;
        list_.erase(it);
        return true;
    }
    bool has(O* o) const { return o && std::find(list_.begin(), list_.end(), o) != list_.end(); }
    bool empty() const { return list_.empty(); }

    // Calls call(o) for each observer of the snapshot that is still there when its turn comes: one
    // removed meanwhile may already be gone, so it is never called. One added meanwhile waits for
    // the next delivery.
    template <class F> void deliver(F&& call) const {
        const std::vector<O*> snapshot = list_;
        for (O* o : snapshot)
            if (has(o))
                call(o);
    }

private:
    std::vector<O*> list_;
};

} // namespace zel::world

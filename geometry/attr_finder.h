// Walks an attribute iterator to the attributes of one type.
#pragma once

#include <zel/xstd.h>

#include <utility>

namespace propplacer {

// Takes over an attribute iterator and stands on its first attribute of type T, tested at run time.
// next() moves on to the following attribute of that type. The walk is over when isValid() fails;
// destroying the finder deletes the iterator.
template <class T> class attrFinder {
public:
    // The source handle is left empty.
    explicit attrFinder(zel::xstd::iterator<zel::xstd::attr*>&& source) : attrs(std::move(source)) {
        seek();
    }
    attrFinder(const attrFinder&) = delete;
    attrFinder& operator=(const attrFinder&) = delete;

    // True while the finder stands on an attribute of type T.
    bool isValid() const { return attrs.isValid(); }
    // The attribute the finder stands on, or null once the walk is over.
    T* getFound() const { return found; }

    void next() {
        attrs.advance();
        seek();
    }

private:
    void seek() {
        found = nullptr;
        while (attrs.isValid()) {
            if (auto* match = dynamic_cast<T*>(attrs.getCurrent())) {
                found = match;
                return;
            }
            attrs.advance();
        }
    }

    zel::xstd::iterator<zel::xstd::attr*> attrs;
    T* found = nullptr;
};

} // namespace propplacer

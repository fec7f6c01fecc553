// A cyclic list of choices with one current position.
//
// Elements are kept in the order appended; the ring only grows. Appending never moves the current
// position, only next and previous do, wrapping at either end. A reference returned by current,
// next or previous stays valid until the next append to the same ring.
//
// An empty ring has no current element: current, next and previous then leave the position at 0 and
// return a value-initialised element (an empty string, a null pointer) that belongs to no ring.
// Callers that must not act on a missing element ask isEmpty first.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace propplacer {

template <class T> class optionRing {
public:
    optionRing() = default;
    optionRing(const optionRing&) = delete;
    optionRing& operator=(const optionRing&) = delete;

    // Copies the value to the end; returns its position (the new element count minus 1).
    std::int32_t append(T value) {
        elements.push_back(std::move(value));
        return static_cast<std::int32_t>(elements.size()) - 1;
    }

    const T& current() const {
        if (elements.empty())
            return none();
        return elements[static_cast<std::size_t>(position)];
    }

    std::int32_t currentIndex() const { return position; }

    // Advances with wrap-around; returns the new current element.
    const T& next() {
        if (elements.empty())
            return none();
        position = static_cast<std::int32_t>(static_cast<std::uint32_t>(position + 1) % count());
        return current();
    }

    // Moves back with wrap-around; returns the new current element.
    const T& previous() {
        if (elements.empty())
            return none();
        position = position - 1;
        if (position < 0)
            position = static_cast<std::int32_t>(count()) - 1;
        else
            position = static_cast<std::int32_t>(static_cast<std::uint32_t>(position) % count());
        return current();
    }

    bool isEmpty() const { return elements.empty(); }

private:
    std::uint32_t count() const { return static_cast<std::uint32_t>(elements.size()); }

    static const T& none() {
        static const T nothing{};
        return nothing;
    }

    std::int32_t position = 0;
    std::vector<T> elements;
};

} // namespace propplacer

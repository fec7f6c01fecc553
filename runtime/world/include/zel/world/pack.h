// Tk's pack algorithm over plain rectangles: no widgets, no drawing.
//
// Items are placed in order, each against one side of the cavity that the earlier ones left. An
// item's parcel spans the cavity across that side and is as deep as the item asks plus its padding;
// expanding items share out what is left along their side (the last takes the rounding remainder).
// Within its parcel an item is centred at its requested size, or stretched by its fill, less its
// padding.
#pragma once

#include <span>
#include <vector>

namespace zel::world {

enum class packSide { top = 0, bottom = 1, left = 2, right = 3 };

struct packItem {
    int width = 0; // requested size
    int height = 0;
    packSide side = packSide::top;
    bool fillX = false;
    bool fillY = false;
    bool expand = false;
    int padX = 0; // on each side
    int padY = 0;
};

struct packRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const packRect&) const = default;
};

struct packSize {
    int width = 0;
    int height = 0;
    bool operator==(const packSize&) const = default;
};

// The smallest container that gives every item its requested size and padding.
packSize packRequest(std::span<const packItem> items);

// Each item's rectangle in a container of that size, in item order. An item that does not fit gets
// what is left, down to an empty rectangle (width or height 0) where nothing is left.
std::vector<packRect> packLayout(packSize container, std::span<const packItem> items);

} // namespace zel::world

// Tk's two passes: the request sums the items along their sides; the layout cuts a parcel for each
// item off the shrinking cavity and places the item inside it.
#include <zel/world/pack.h>

#include <algorithm>

namespace zel::world {

namespace {

bool vertical(packSide side) {
    return side == packSide::top || side == packSide::bottom;
}

int clampPad(int pad) {
    return std::max(pad, 0);
}

// Total padding across, both sides together.
int padWidth(const packItem& item) {
    return 2 * clampPad(item.padX);
}

int padHeight(const packItem& item) {
    return 2 * clampPad(item.padY);
}

int reqWidth(const packItem& item) {
    return std::max(item.width, 0) + padWidth(item);
}

int reqHeight(const packItem& item) {
    return std::max(item.height, 0) + padHeight(item);
}

// The extra width item `from` gets when it expands: what is left of the cavity after the items
// packed left or right from here on, shared among those that expand; never more than an item packed
// top or bottom further on leaves, so that it still fits.
int xExpansion(std::span<const packItem> items, std::size_t from, int cavityWidth) {
    int minExpand = cavityWidth;
    int numExpand = 0;
    for (std::size_t i = from; i < items.size(); ++i) {
        const int childWidth = reqWidth(items[i]);
        if (vertical(items[i].side)) {
            if (numExpand > 0)
                minExpand = std::min(minExpand, (cavityWidth - childWidth) / numExpand);
        } else {
            cavityWidth -= childWidth;
            if (items[i].expand)
                ++numExpand;
        }
    }
    if (numExpand > 0)
        minExpand = std::min(minExpand, cavityWidth / numExpand);
    return std::max(minExpand, 0);
}

int yExpansion(std::span<const packItem> items, std::size_t from, int cavityHeight) {
    int minExpand = cavityHeight;
    int numExpand = 0;
    for (std::size_t i = from; i < items.size(); ++i) {
        const int childHeight = reqHeight(items[i]);
        if (!vertical(items[i].side)) {
            if (numExpand > 0)
                minExpand = std::min(minExpand, (cavityHeight - childHeight) / numExpand);
        } else {
            cavityHeight -= childHeight;
            if (items[i].expand)
                ++numExpand;
        }
    }
    if (numExpand > 0)
        minExpand = std::min(minExpand, cavityHeight / numExpand);
    return std::max(minExpand, 0);
}

} // namespace

packSize packRequest(std::span<const packItem> items) {
    int width = 0;
    int height = 0;
    int maxWidth = 0;
    int maxHeight = 0;
    for (const packItem& item : items) {
        if (vertical(item.side)) {
            maxWidth = std::max(maxWidth, reqWidth(item) + width);
            height += reqHeight(item);
        } else {
            maxHeight = std::max(maxHeight, reqHeight(item) + height);
            width += reqWidth(item);
        }
    }
    return {std::max(maxWidth, width), std::max(maxHeight, height)};
}

std::vector<packRect> packLayout(packSize container, std::span<const packItem> items) {
    std::vector<packRect> out;
    out.reserve(items.size());
    int cavityX = 0;
    int cavityY = 0;
    int cavityWidth = std::max(container.width, 0);
    int cavityHeight = std::max(container.height, 0);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const packItem& item = items[i];
        int frameX, frameY, frameWidth, frameHeight;
        if (vertical(item.side)) {
            frameWidth = cavityWidth;
            frameHeight = reqHeight(item);
            if (item.expand)
                frameHeight += yExpansion(items, i, cavityHeight);
            cavityHeight -= frameHeight;
            if (cavityHeight < 0) {
                frameHeight += cavityHeight;
                cavityHeight = 0;
            }
            frameX = cavityX;
            if (item.side == packSide::top) {
                frameY = cavityY;
                cavityY += frameHeight;
            } else {
                frameY = cavityY + cavityHeight;
            }
        } else {
            frameHeight = cavityHeight;
            frameWidth = reqWidth(item);
            if (item.expand)
                frameWidth += xExpansion(items, i, cavityWidth);
            cavityWidth -= frameWidth;
            if (cavityWidth < 0) {
                frameWidth += cavityWidth;
                cavityWidth = 0;
            }
            frameY = cavityY;
            if (item.side == packSide::left) {
                frameX = cavityX;
                cavityX += frameWidth;
            } else {
                frameX = cavityX + cavityWidth;
            }
        }

        // Inside the parcel: the requested size, stretched by fill, cut to what the parcel holds
        // within the padding, centred.
        const int innerWidth = frameWidth - padWidth(item);
        const int innerHeight = frameHeight - padHeight(item);
        int width = std::max(item.width, 0);
        int height = std::max(item.height, 0);
        if (item.fillX || width > innerWidth)
            width = innerWidth;
        if (item.fillY || height > innerHeight)
            height = innerHeight;
        packRect r;
        r.x = frameX + clampPad(item.padX) + (innerWidth - width) / 2;
        r.y = frameY + clampPad(item.padY) + (innerHeight - height) / 2;
        r.width = std::max(width, 0);
        r.height = std::max(height, 0);
        out.push_back(r);
    }
    return out;
}

} // namespace zel::world

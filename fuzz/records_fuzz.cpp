// The shared scene's parsers of what other sites write: keys, node records, presence records and
// asset manifests, and the inflater of deflated models. The first byte picks the parser, the rest
// is the text. Whatever a parser accepts must be within the limits it promises and survive being
// written and read again; the inflater never makes more than the size it was given.

#include "inflater.h"

#include <zel/share/records.h>

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace share = zel::share;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

const share::nodeKey recordKey{{"alice", "0123abcd"}, 7};
const share::siteName presenceKey{"alice", "0123abcd"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string reason;
    switch (data[0] % 5) {
    case 0:
        if (const auto r = share::decodeRecord(recordKey, text, reason)) {
            for (float f : r->matrix)
                check(std::isfinite(f));
            check(r->meshScene.empty() || share::validHash(r->meshScene));
            std::string again;
            const auto back = share::decodeRecord(recordKey, share::encodeRecord(*r), again);
            check(back && *back == *r);
        }
        break;
    case 1:
        if (const auto p = share::decodePresence(presenceKey, text, reason)) {
            std::string again;
            check(share::decodePresence(presenceKey, share::encodePresence(*p), again).has_value());
        }
        break;
    case 2:
        if (const auto m = share::decodeManifest(text, reason)) {
            check(m->size <= share::maxAssetBytes);
            std::string again;
            check(share::decodeManifest(share::encodeManifest(*m), again).has_value());
        }
        break;
    case 4: {
        // A declared size of up to 16 MiB, then the stream in pieces of 1 to 256 bytes.
        if (text.size() < 4)
            break;
        const std::uint64_t declared = (std::uint64_t(std::uint8_t(text[0])) << 16) |
                                       (std::uint64_t(std::uint8_t(text[1])) << 8) |
                                       std::uint8_t(text[2]);
        const std::size_t piece = std::size_t(std::uint8_t(text[3])) + 1;
        const auto* stream = reinterpret_cast<const std::byte*>(text.data() + 4);
        const std::size_t length = text.size() - 4;
        share::detail::inflater in(declared);
        std::vector<std::byte> out;
        bool ok = true;
        for (std::size_t at = 0; ok && at < length; at += piece) {
            ok = in.feed({stream + at, std::min(piece, length - at)}, out, reason);
            check(out.size() <= declared);
        }
        check(!(ok && in.finish(reason)) || out.size() == declared);
        break;
    }
    default:
        if (const auto k = share::parseNodeKey(text))
            check(share::parseNodeKey(k->text()).has_value());
        if (const auto s = share::parsePresenceKey(text))
            check(share::validUserName(s->user));
        break;
    }
    return 0;
}

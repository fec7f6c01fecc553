// The shared scene's parsers of what other sites write: keys, node records, presence records and
// asset manifests. The first byte picks the parser, the rest is the text. Whatever a parser
// accepts must be within the limits it promises and survive being written and read again.

#include <zel/share/records.h>

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
    switch (data[0] % 4) {
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
    default:
        if (const auto k = share::parseNodeKey(text))
            check(share::parseNodeKey(k->text()).has_value());
        if (const auto s = share::parsePresenceKey(text))
            check(share::validUserName(s->user));
        break;
    }
    return 0;
}

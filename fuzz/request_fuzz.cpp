// The helper's request parser on arbitrary bytes (the body after the magic and the length): what
// it accepts names a file and encodes back to the very bytes it came from.

#include <zel/import/import_protocol.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace imp = zel::import;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > imp::protocol::maxRequestBytes)
        return 0;
    const std::vector<char> body(data, data + size);
    const std::optional<imp::protocol::request> r = imp::protocol::decodeRequest(body);
    if (!r)
        return 0;
    const std::vector<char> again = imp::protocol::encodeRequest(*r);
    if (again.size() != 12 + size || std::memcmp(again.data() + 12, data, size) != 0 ||
        r->file.empty())
        std::abort();
    return 0;
}

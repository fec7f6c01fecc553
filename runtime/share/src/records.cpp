#include <zel/share/records.h>

#include <zel/base/sha256.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <random>

namespace zel::share {

namespace {

bool nameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool validToken(std::string_view text, std::size_t maxLength) {
    if (text.empty() || text.size() > maxLength)
        return false;
    for (char c : text)
        if (!nameCharacter(c))
            return false;
    return true;
}

bool validHex(std::string_view text, std::size_t length) {
    if (text.size() != length)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

std::size_t utf8Characters(std::string_view text) {
    std::size_t n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
}

// "user.hex" at the start of key; rest gets what follows.
std::optional<siteName> parseSite(std::string_view key, std::string_view& rest) {
    const std::size_t dot = key.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    const std::string_view user = key.substr(0, dot);
    const std::string_view after = key.substr(dot + 1);
    const std::size_t dot2 = after.find('.');
    const std::string_view hex = after.substr(0, dot2);
    if (!validUserName(user) || !validHex(hex, 8))
        return std::nullopt;
    rest = dot2 == std::string_view::npos ? std::string_view() : after.substr(dot2);
    return siteName{std::string(user), std::string(hex)};
}

} // namespace

bool validUserName(std::string_view user) {
    return validToken(user, maxUserLength);
}

bool validSceneName(std::string_view scene) {
    return validToken(scene, maxSceneLength);
}

siteName makeSite(const std::string& user) {
    std::random_device device;
    std::mt19937 random(device());
    std::uniform_int_distribution<std::uint32_t> digits;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", digits(random));
    return siteName{user, hex};
}

std::optional<nodeKey> parseNodeKey(std::string_view key) {
    if (key.size() > maxKeyLength)
        return std::nullopt;
    std::string_view rest;
    std::optional<siteName> site = parseSite(key, rest);
    if (!site || rest.size() < 2 || rest[0] != '.' || rest.size() > 21)
        return std::nullopt;
    nodeKey out{*site, 0};
    const std::string_view digits = rest.substr(1);
    for (char c : digits)
        if (c < '0' || c > '9')
            return std::nullopt;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out.n);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return out;
}

std::optional<siteName> parsePresenceKey(std::string_view key) {
    if (key.size() > maxKeyLength)
        return std::nullopt;
    std::string_view rest;
    std::optional<siteName> site = parseSite(key, rest);
    if (!site || !rest.empty())
        return std::nullopt;
    return site;
}

std::string encodeRecord(const nodeRecord& r) {
    nlohmann::json m = nlohmann::json::array();
    for (float f : r.matrix)
        m.push_back(f);
    nlohmann::json out = {
        {"name", r.name}, {"parent", r.parent}, {"order", r.order}, {"matrix", m}};
    if (!r.meshScene.empty())
        out["mesh"] = {{"scene", r.meshScene}, {"meshes", r.meshes}};
    if (r.anim >= 0)
        out["anim"] = r.anim == 1;
    if (r.navigator)
        out["navigator"] = true;
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<nodeRecord> decodeRecord(const nodeKey& key, std::string_view value,
                                       std::string& reason) {
    if (value.size() > maxRecordBytes) {
        reason = "record of " + std::to_string(value.size()) + " bytes";
        return std::nullopt;
    }
    const nlohmann::json j = nlohmann::json::parse(value, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        reason = "not a JSON object";
        return std::nullopt;
    }
    nodeRecord r;
    auto name = j.find("name");
    if (name == j.end() || !name->is_string()) {
        reason = "no name";
        return std::nullopt;
    }
    r.name = name->get<std::string>();
    if (utf8Characters(r.name) > maxNameCharacters) {
        reason = "name longer than 1024 characters";
        return std::nullopt;
    }
    auto parent = j.find("parent");
    if (parent == j.end() || !parent->is_string()) {
        reason = "no parent";
        return std::nullopt;
    }
    r.parent = parent->get<std::string>();
    if (!r.parent.empty()) {
        const std::optional<nodeKey> p = parseNodeKey(r.parent);
        if (!p || !(p->site == key.site)) {
            reason = "parent is not a node of the same site";
            return std::nullopt;
        }
        if (p->n == key.n) {
            reason = "node is its own parent";
            return std::nullopt;
        }
    }
    auto order = j.find("order");
    if (order == j.end() || !order->is_number_unsigned()) {
        reason = "no order";
        return std::nullopt;
    }
    r.order = order->get<std::uint64_t>();
    auto matrix = j.find("matrix");
    if (matrix == j.end() || !matrix->is_array() || matrix->size() != 16) {
        reason = "matrix is not 16 numbers";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        const nlohmann::json& v = (*matrix)[i];
        if (!v.is_number() || !std::isfinite(v.get<double>()) ||
            !std::isfinite(static_cast<float>(v.get<double>()))) {
            reason = "matrix holds a number that is not finite";
            return std::nullopt;
        }
        r.matrix[i] = static_cast<float>(v.get<double>());
    }
    if (auto mesh = j.find("mesh"); mesh != j.end()) {
        if (!mesh->is_object() || !mesh->contains("scene") || !(*mesh)["scene"].is_string() ||
            !validHash((*mesh)["scene"].get<std::string>()) || !mesh->contains("meshes") ||
            !(*mesh)["meshes"].is_array() || (*mesh)["meshes"].size() > 65536) {
            reason = "bad mesh reference";
            return std::nullopt;
        }
        r.meshScene = (*mesh)["scene"].get<std::string>();
        for (const nlohmann::json& i : (*mesh)["meshes"]) {
            if (!i.is_number_unsigned() || i.get<std::uint64_t>() > 0xFFFFFFFFu) {
                reason = "bad mesh index";
                return std::nullopt;
            }
            r.meshes.push_back(static_cast<std::uint32_t>(i.get<std::uint64_t>()));
        }
        // A mesh shown twice in one place shows nothing more, and each copy would cost memory.
        std::vector<std::uint32_t> sorted = r.meshes;
        std::sort(sorted.begin(), sorted.end());
        if (auto twice = std::adjacent_find(sorted.begin(), sorted.end()); twice != sorted.end()) {
            reason = "mesh " + std::to_string(*twice) + " named twice";
            return std::nullopt;
        }
    }
    if (auto anim = j.find("anim"); anim != j.end()) {
        if (!anim->is_boolean()) {
            reason = "anim is not true or false";
            return std::nullopt;
        }
        r.anim = anim->get<bool>() ? 1 : 0;
    }
    if (auto nav = j.find("navigator"); nav != j.end())
        r.navigator = nav->is_boolean() && nav->get<bool>() && r.parent.empty();
    return r;
}

std::string encodePresence(const presenceRecord& p) {
    return nlohmann::json{{"user", p.user}, {"site", p.site}, {"joined", p.joined}}.dump();
}

std::optional<presenceRecord> decodePresence(const siteName& key, std::string_view value,
                                             std::string& reason) {
    if (value.size() > maxRecordBytes) {
        reason = "presence record too large";
        return std::nullopt;
    }
    const nlohmann::json j = nlohmann::json::parse(value, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("user") || !j["user"].is_string() ||
        !j.contains("site") || !j["site"].is_string()) {
        reason = "presence record is not {user, site, joined}";
        return std::nullopt;
    }
    presenceRecord p{j["user"].get<std::string>(), j["site"].get<std::string>(), 0.0};
    if (p.user != key.user || p.site != key.id()) {
        reason = "presence record names another site than its key";
        return std::nullopt;
    }
    if (j.contains("joined") && j["joined"].is_number())
        p.joined = j["joined"].get<double>();
    return p;
}

std::string encodeManifest(const assetManifest& m) {
    nlohmann::json j{{"size", m.size}, {"chunks", m.chunks}, {"chunk", m.chunkBytes}};
    if (m.encoding == assetEncoding::deflate) {
        j["encoding"] = "deflate";
        j["inflated"] = m.inflated;
    }
    return j.dump();
}

std::optional<assetManifest> decodeManifest(std::string_view value, std::string& reason) {
    const nlohmann::json j = nlohmann::json::parse(value, nullptr, false);
    auto whole = [&](const char* k) {
        return j.is_object() && j.contains(k) && j[k].is_number_unsigned();
    };
    if (j.is_discarded() || !whole("size") || !whole("chunks") || !whole("chunk")) {
        reason = "manifest is not {size, chunks, chunk}";
        return std::nullopt;
    }
    assetManifest m;
    m.size = j["size"].get<std::uint64_t>();
    const std::uint64_t chunks = j["chunks"].get<std::uint64_t>();
    const std::uint64_t chunk = j["chunk"].get<std::uint64_t>();
    if (m.size > maxAssetBytes) {
        reason = "asset larger than 512 MiB";
        return std::nullopt;
    }
    if (chunk != assetChunkBytes) {
        reason = "manifest's chunk size is not " + std::to_string(assetChunkBytes);
        return std::nullopt;
    }
    if (chunks != (m.size + chunk - 1) / chunk) {
        reason = "manifest's chunks do not add up to its size";
        return std::nullopt;
    }
    m.chunks = static_cast<std::uint32_t>(chunks);
    m.chunkBytes = static_cast<std::uint32_t>(chunk);
    if (auto e = j.find("encoding"); e != j.end()) {
        if (!e->is_string() || e->get<std::string>() != "deflate") {
            reason = "manifest's encoding is not deflate";
            return std::nullopt;
        }
        if (!whole("inflated")) {
            reason = "deflated manifest has no inflated size";
            return std::nullopt;
        }
        m.encoding = assetEncoding::deflate;
        m.inflated = j["inflated"].get<std::uint64_t>();
        if (m.inflated > maxAssetBytes) {
            reason = "asset larger than 512 MiB";
            return std::nullopt;
        }
    } else {
        m.inflated = m.size;
    }
    return m;
}

std::string sha256Hex(std::span<const std::byte> data) {
    return base::sha256Hex(data);
}

bool validHash(std::string_view hash) {
    return validHex(hash, 64);
}

std::string urlHost(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    // Two @ say different hosts to different readers: none.
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
        if (rest.find('@', at + 1) != std::string_view::npos)
            return {};
        rest = rest.substr(at + 1);
    }
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        return close == std::string_view::npos ? std::string()
                                               : std::string(rest.substr(1, close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

bool loopbackHost(std::string_view host) {
    std::string lower(host);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "localhost" || lower == "::1")
        return true;
    // Four decimal numbers below 256, the first 127.
    int parts = 0;
    std::string_view rest = lower;
    while (true) {
        std::size_t dot = rest.find('.');
        const std::string_view part = rest.substr(0, dot);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || part.size() > 3 || ec != std::errc() ||
            end != part.data() + part.size() || value > 255 || (parts == 0 && value != 127))
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        rest = rest.substr(dot + 1);
    }
    return parts == 4;
}

} // namespace zel::share

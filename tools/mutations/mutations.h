#pragma once

// Deterministic damage to a model file for the mutation runs (the test's short one and the long
// tool): the same original and seed give the same bytes on every machine. With the file reading and
// writing that every user of it does.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zel::import::mutation {

inline std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One of: a few flipped bits, a cut, a run overwritten with extreme values (chunk lengths and
// counts are where readers go wrong), a slice repeated in place.
inline std::string mutate(const std::string& original, std::uint64_t seed) {
    std::string s = original;
    if (s.empty())
        return s;
    std::uint64_t state = seed;
    auto below = [&](std::uint64_t n) { return n == 0 ? 0 : splitmix(state) % n; };
    switch (below(4)) {
    case 0:
        for (std::uint64_t i = 0, n = 1 + below(8); i < n; ++i)
            s[below(s.size())] ^= static_cast<char>(1u << below(8));
        break;
    case 1:
        s.resize(below(s.size()));
        break;
    case 2: {
        static constexpr unsigned char extremes[] = {0x00, 0xFF, 0x7F, 0x80};
        const std::uint64_t at = below(s.size());
        for (std::uint64_t i = at, end = std::min<std::uint64_t>(s.size(), at + 2 + below(3));
             i < end; ++i)
            s[i] = static_cast<char>(extremes[below(4)]);
        break;
    }
    default: {
        const std::uint64_t at = below(s.size());
        const std::uint64_t len = 1 + below(std::min<std::uint64_t>(64, s.size() - at));
        s.insert(at, s.substr(at, len));
        break;
    }
    }
    return s;
}

// The bytes of file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// False when file cannot be written whole.
inline bool writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bool(out);
}

} // namespace zel::import::mutation

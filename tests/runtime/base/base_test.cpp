// The primitives: SHA-256 against published vectors, hexadecimal text both ways, the retry of an
// interrupted call, the owned descriptor and the file stamp.
#include <zel/base/eintr.h>
#include <zel/base/file_stamp.h>
#include <zel/base/hex.h>
#include <zel/base/sha256.h>
#include <zel/base/unique_fd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace zel::base;

std::span<const std::byte> bytesOf(const std::string& s) {
    return std::as_bytes(std::span(s.data(), s.size()));
}

TEST(Sha256, KnownVectors) {
    struct row {
        const char* name;
        std::string message;
        const char* digest;
    };
    const row rows[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million a", std::string(1'000'000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(sha256Hex(bytesOf(r.message)), r.digest);
        // Taken in pieces of every size up to a block and a half: the same digest.
        for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{97}}) {
            if (r.message.size() > 100'000 && piece < 97)
                continue;
            sha256 h;
            for (std::size_t at = 0; at < r.message.size(); at += piece)
                h.add(std::string_view(r.message).substr(at, piece));
            EXPECT_EQ(hexOf(h.done()), r.digest) << "pieces of " << piece;
        }
    }
}

TEST(Hex, RoundTripsAndRejects) {
    using four = std::array<std::uint8_t, 4>;
    const four value{0x00, 0x9f, 0xa0, 0xff};
    EXPECT_EQ(hexOf(value), "009fa0ff");
    EXPECT_EQ(fromHex<four>("009fa0ff"), value);
    EXPECT_EQ(fromHex<four>("009FA0FF"), value);
    EXPECT_EQ(hexOf(std::span<const std::uint8_t>()), "");

    struct row {
        const char* name;
        std::string text;
    };
    const row rejected[] = {
        {"one digit short", "009fa0f"},
        {"one digit long", "009fa0ff0"},
        {"empty", ""},
        {"g", "009fa0fg"},
        {"space", "009fa0 f"},
        {"sign", "+09fa0ff"},
        {"colon, after 9", "009:a0ff"},
        {"at sign, before A", "009@a0ff"},
        {"backtick, before a", "009`a0ff"},
        {"nul", std::string("009fa0f\0", 8)},
    };
    for (const row& r : rejected) {
        std::array<std::uint8_t, 4> out{};
        EXPECT_FALSE(bytesFromHex(r.text, out)) << r.name;
    }
}

TEST(RetryOnInterrupt, RepeatsOnlyWhatWasInterrupted) {
    struct row {
        const char* name;
        std::vector<std::pair<int, int>> results; // each call's result and errno
        int expected;
        int expectedErrno;
        std::size_t calls;
    };
    const row rows[] = {
        {"at once", {{7, 0}}, 7, 0, 1},
        {"after two interruptions", {{-1, EINTR}, {-1, EINTR}, {0, 0}}, 0, 0, 3},
        {"another error", {{-1, EBADF}, {5, 0}}, -1, EBADF, 1},
        {"interrupted, then another error", {{-1, EINTR}, {-1, EAGAIN}}, -1, EAGAIN, 2},
    };
    for (const row& r : rows) {
        std::size_t calls = 0;
        const int got = retryOnInterrupt([&] {
            const auto [result, error] = r.results.at(calls++);
            errno = error;
            return result;
        });
        EXPECT_EQ(got, r.expected) << r.name;
        EXPECT_EQ(calls, r.calls) << r.name;
        if (r.expected < 0) {
            EXPECT_EQ(errno, r.expectedErrno) << r.name;
        }
    }
}

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesWhatItHoldsOnce) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    {
        uniqueFd a(ends[0]);
        uniqueFd b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), ends[0]);
        uniqueFd c(ends[1]);
        c = std::move(b); // closes the write end it held
        EXPECT_FALSE(isOpen(ends[1]));
        EXPECT_TRUE(isOpen(ends[0]));
        const int kept = c.release();
        EXPECT_FALSE(c);
        c.reset(kept);
    }
    EXPECT_FALSE(isOpen(ends[0]));
}

TEST(FileStamp, SeesAWriteAndTellsFilesApart) {
    const std::filesystem::path dir =
        std::filesystem::path(::testing::TempDir()) / ("stamp-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto a = dir / "a", b = dir / "b";
    std::ofstream(a) << "one";
    std::ofstream(b) << "one";
    const std::optional<fileStamp> first = stampOf(a);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size, 3u);
    EXPECT_EQ(stampOf(a), first);
    EXPECT_NE(stampOf(b)->inode, first->inode);
    // The same size written in place: the change time still moves (or, on a coarse clock, at
    // least never goes back).
    std::ofstream(a, std::ios::in | std::ios::out) << "two";
    const std::optional<fileStamp> second = stampOf(a);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->size, 3u);
    EXPECT_GE(second->ctimeNs, first->ctimeNs);
    errno = 0;
    EXPECT_FALSE(stampOf(dir / "missing"));
    EXPECT_EQ(errno, ENOENT);
    std::filesystem::remove_all(dir);
}

} // namespace

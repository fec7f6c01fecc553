// The host's end of the helper's questions: a bounded share of work a call, and no answers past
// the broker's limit.
#include "test_support.h"
#include <zel/import/file_broker.h>
#include <zel/import/import_protocol.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include <sys/socket.h>
#include <unistd.h>

namespace zel::import {
namespace {

// Sends count existence questions for name at once, as a helper that does not wait would.
void ask(int socket, int count, const std::string& name) {
    std::string all;
    for (int i = 0; i < count; ++i) {
        char header[protocol::brokerHeaderSize];
        protocol::encodeBrokerHeader(static_cast<std::uint32_t>(brokerAsk::exists),
                                     static_cast<std::uint32_t>(name.size()), header);
        all.append(header, sizeof header);
        all += name;
    }
    ASSERT_EQ(::send(socket, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
}

// The answers that have arrived, counted.
int answers(int socket) {
    std::string got;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    int count = 0;
    for (std::size_t at = 0; at + protocol::brokerHeaderSize <= got.size(); ++count) {
        std::uint32_t error = 0, length = 0;
        protocol::decodeBrokerHeader(got.data() + at, error, length);
        at += protocol::brokerHeaderSize + length;
    }
    return count;
}

TEST(BrokerService, AnswersAtMost64ACallAndClosesPastTheQuestionLimit) {
    test::tempDir folder;
    std::ofstream(folder.path() / "a.obj") << "v 0 0 0\n";
    struct row {
        std::size_t limit;
        int asked;
        std::vector<int> perCall; // answers of successive calls
        bool open;                // the channel still open after them
    };
    const std::vector<row> rows{
        {4096, 63, {63, 0}, true}, {4096, 64, {64, 0}, true}, {4096, 65, {64, 1}, true},
        {8, 7, {7}, true},         {8, 8, {8}, true},         {8, 9, {8}, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.limit) + " " + std::to_string(r.asked));
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        brokerLimits limits;
        limits.maxRequests = r.limit;
        fileBroker broker(folder.path() / "a.obj", {}, {}, limits);
        brokerService service(pair[0], broker);
        ask(pair[1], r.asked, "a.obj");
        for (const int expected : r.perCall) {
            service.service();
            EXPECT_EQ(answers(pair[1]), expected);
        }
        EXPECT_EQ(service.fd() >= 0, r.open);
        ::close(pair[0]);
        ::close(pair[1]);
    }
}

} // namespace
} // namespace zel::import

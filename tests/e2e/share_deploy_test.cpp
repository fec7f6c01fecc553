// The deployment tools/broker.sh makes, tried as its users would break it: hostile users with a
// client of another language (the JavaScript NATS client, tests/e2e/attack), and TLS with
// certificates the test makes with openssl.
#include "e2e.h"
#include "share_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace e2e;

namespace {

using environment = std::vector<std::pair<std::string, std::string>>;

environment credentials(const std::string& user, const std::string& password) {
    return {{"ZEL_SHARE_USER", user}, {"ZEL_SHARE_PASSWORD", password}};
}

long lines(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

// The node of the root owned by a site of user whose name is name, or null.
const json* namedOwnedBy(const json& dump, const std::string& user, const std::string& name) {
    for (const json& c : dump["scene"]["children"])
        if (c.contains("owner") && c["owner"].get<std::string>().rfind(user + "-", 0) == 0 &&
            c.value("name", "") == name)
            return &c;
    return nullptr;
}

} // namespace

TEST(ShareDeploy, HostileUsersFailAtTheBrokerOrLeaveEveryoneElseWhole) {
    const fs::path attackDir = ZEL_ATTACK_DIR;
    if (std::string(ZEL_NODE).empty() || !fs::exists(attackDir / "node_modules" / "nats"))
        GTEST_SKIP() << "node or the attack's npm packages (npm ci in " << attackDir
                     << ") are missing";
    const std::string pw = R"({"admin":"ad-1q","mallory":"ma-2w","vera":"ve-3e","walt":"wa-4r"})";
    broker b(withUsers("admin admin ad-1q\n"
                       "writer alice al-5t scenes=lobby\n"
                       "writer mallory ma-2w scenes=lobby\n"
                       "viewer vera ve-3e scenes=lobby,design\n"
                       "writer walt wa-4r scenes=design\n"));
    ASSERT_TRUE(b.started()) << b.err();
    const environment admin = credentials("admin", "ad-1q");
    tempFolder tmp;
    // The administrator's join makes the lobby's streams, with the settings no writer can undo
    // (walt's scene, design, need not exist: he tries only the lobby). Its asset bucket holds
    // 128 MiB: a writer's share, half of it, is quickly filled.
    {
        environment small = admin;
        small.emplace_back("ZEL_SHARE_ASSET_LIMIT", std::to_string(128 << 20));
        site root(tmp.path(), "admin", b.url(), "share sync 30\n", small, {"--scene", "lobby"});
        ASSERT_TRUE(root.finish()) << root.err();
    }
    // alice stands in the lobby with her model and watches while the others attack.
    site alice(tmp.path(), "alice", b.url(),
               "share sync 30\ndump a0.json\nshare wait 3 240\nshare sync 30\ndump a.json\n",
               credentials("alice", "al-5t"), {"--scene", "lobby"});
    ASSERT_TRUE(waitForFile(tmp.path() / "a0.json", 60)) << alice.err();

    processOptions spec;
    spec.args = {ZEL_NODE, (attackDir / "attack.mjs").string()};
    spec.workingDirectory = attackDir.string();
    spec.environment = {{"ZEL_ATTACK_URL", b.url()},
                        {"ZEL_ATTACK_PASSWORDS", pw},
                        {"ZEL_ATTACK_BROKER_PID", std::to_string(b.pid())}};
    backgroundProcess attack;
    const fs::path out = tmp.path() / "attack.out";
    ASSERT_TRUE(attack.start(spec, out.string(), (tmp.path() / "attack.err").string()));
    bool done = false;
    for (int i = 0; i < 15000 && !done; ++i) {
        done = readText(out).find("attacks done") != std::string::npos;
        if (!done)
            sleepFor(0.01);
    }
    ASSERT_TRUE(done) << readText(out) << readText(tmp.path() / "attack.err");
    // alice syncs and dumps once the attacks are over (mallory still present with her record):
    // with the two gates she counts three sites at least, with mallory alone two.
    gate first(tmp.path(), b.url(), "00000001", admin, {}, "gate", "lobby"),
        second(tmp.path(), b.url(), "00000002", admin, {}, "gate", "lobby");
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(alice.finish(0, 120)) << alice.err();
    attack.terminate(SIGTERM);
    attack.wait(10);
    const std::string report = readText(out);
    std::cout << report; // the floods' figures
    EXPECT_EQ(report.find("FELL"), std::string::npos) << report;
    EXPECT_EQ(attack.exitCode(), 0) << report << readText(tmp.path() / "attack.err");
    std::size_t held = 0;
    for (std::size_t at = 0; (at = report.find("held ", at)) != std::string::npos; ++at)
        ++held;
    EXPECT_EQ(held, 20u) << report;

    // alice's own state is what it was, and mallory's record that names one mesh 30,000 times
    // draws no more than alice's whole model.
    const json a0 = alice.dump("a0.json"), a = alice.dump("a.json");
    ASSERT_EQ(ownedBy(a, "alice").size(), 1u);
    EXPECT_EQ(ownedBy(a, "alice"), ownedBy(a0, "alice"));
    const long long model = trianglesBelow(ownedBy(a, "alice")[0]);
    EXPECT_GT(model, 0);
    if (const json* amplifier = namedOwnedBy(a, "mallory", "amplifier")) {
        EXPECT_LE(trianglesBelow(*amplifier), model);
    }

    // A writer of another scene who tries to join this one: one line naming it, exit status 4,
    // without waiting for a time-out.
    const auto start = std::chrono::steady_clock::now();
    site walt(tmp.path(), "walt", b.url(), "share sync 30\n", credentials("walt", "wa-4r"),
              {"--scene", "lobby"});
    ASSERT_TRUE(walt.finish(4, 30)) << walt.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_NE(walt.err().find("lobby"), std::string::npos) << walt.err();
    EXPECT_EQ(lines(walt.err()), 1) << walt.err();
    for (const std::string& log : {b.err(), alice.err(), walt.err(), report})
        for (const char* secret : {"ad-1q", "al-5t", "ma-2w", "ve-3e", "wa-4r"})
            EXPECT_EQ(log.find(secret), std::string::npos) << log;
}

TEST(ShareDeploy, TlsAcrossMachinesWithTheCaOfTheDeploymentOnly) {
    if (std::string(ZEL_OPENSSL).empty())
        GTEST_SKIP() << "openssl is missing";
    tempFolder tmp;
    const fs::path d = tmp.path();
    auto openssl = [&](std::vector<std::string> args) {
        processOptions spec;
        spec.args = {ZEL_OPENSSL};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.workingDirectory = d.string();
        spec.timeoutSeconds = 60;
        const processResult r = runProcess(spec);
        return r.exitCode == 0 ? std::string() : r.err + r.out;
    };
    // Two CAs: the deployment's and another; the broker's certificate names localhost only.
    for (const char* ca : {"ca", "other"})
        ASSERT_EQ(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                           "-nodes", "-keyout", std::string(ca) + ".key", "-out",
                           std::string(ca) + ".pem", "-days", "2", "-subj",
                           std::string("/CN=zel test ") + ca}),
                  "");
    writeText(d / "san.ext", "subjectAltName=DNS:localhost\n");
    ASSERT_EQ(openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                       "-keyout", "broker.key", "-out", "broker.csr", "-subj", "/CN=localhost"}),
              "");
    ASSERT_EQ(
        openssl({"x509", "-req", "-in", "broker.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", "broker.pem", "-days", "2", "-extfile", "san.ext"}),
        "");
    broker b(withUsers("admin admin ad-1q\n",
                       {"--tls", (d / "broker.pem").string(), (d / "broker.key").string()}));
    ASSERT_TRUE(b.started()) << b.err();
    const std::string port = std::to_string(b.port());
    environment env = credentials("admin", "ad-1q");
    env.emplace_back("ZEL_SHARE_CA", (d / "ca.pem").string());
    // The broker itself takes nothing in clear, whatever a client tries: it asks for TLS in its
    // greeting, and a plain CONNECT gets no PONG.
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(b.port()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        auto receive = [&] {
            std::string got;
            char buffer[4096];
            for (ssize_t n; got.find('\n') == std::string::npos &&
                            (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                got.append(buffer, static_cast<std::size_t>(n));
            return got;
        };
        const std::string info = receive();
        EXPECT_NE(info.find("\"tls_required\":true"), std::string::npos) << info;
        const std::string plain = "CONNECT {\"verbose\":false}\r\nPING\r\n";
        ::send(fd, plain.data(), plain.size(), MSG_NOSIGNAL);
        EXPECT_EQ(receive().find("PONG"), std::string::npos);
        ::close(fd);
    }
    // The page's WebSocket listener speaks TLS with the same certificate.
    processOptions spec;
    spec.args = {ZEL_OPENSSL,
                 "s_client",
                 "-connect",
                 "127.0.0.1:" + std::to_string(b.port() + 1),
                 "-servername",
                 "localhost",
                 "-CAfile",
                 (d / "ca.pem").string(),
                 "-verify_return_error",
                 "-verify_hostname",
                 "localhost"};
    spec.timeoutSeconds = 30;
    const processResult r = runProcess(spec);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Verify return code: 0 (ok)"), std::string::npos) << r.out << r.err;
    // Through TLS with the deployment's CA, to the name on the certificate.
    site good(d, "admin", "tls://localhost:" + port, "share sync 30\n", env);
    EXPECT_TRUE(good.finish()) << good.err();
    // Each of these: one line and exit status 4.
    environment otherCa = credentials("admin", "ad-1q");
    otherCa.emplace_back("ZEL_SHARE_CA", (d / "other.pem").string());
    for (const auto& [name, url, with, words] :
         std::vector<std::tuple<std::string, std::string, environment, std::string>>{
             {"wrongca", "tls://localhost:" + port, otherCa, "certificate"},
             {"wrongname", "tls://127.0.0.1:" + port, env, "certificate"},
             {"plain", "nats://localhost:" + port, env, "TLS"}}) {
        site s(d, name, url, "share sync 10\n", with);
        if (!s.finish(4, 30)) {
            ADD_FAILURE() << name << ": not exit status 4: " << s.err();
            continue;
        }
        const std::string err = s.err();
        EXPECT_EQ(lines(err), 1) << name << ": " << err;
        EXPECT_NE(err.find(words), std::string::npos) << name << ": " << err;
        EXPECT_EQ(err.find("ad-1q"), std::string::npos) << name << ": " << err;
    }
}

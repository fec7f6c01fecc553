#include "session.h"

#include "dump.h"

#include <zel/component.h>
#include <zel/eventmanager.h>
#include <zel/world/world.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace zel;
using host::command;
using host::commandKind;

// An application that writes every call it gets into a shared log and listens to keys.
class recorder : public application::iApplication, public eventManager::iKeyObserver {
public:
    recorder(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {
        auto* info =
            component::classRegistry::getTheSingleton().findInterface(eventManager::iContext::IID);
        auto* ctx =
            info
                ? static_cast<eventManager::iContext*>(info->create(typeid(eventManager::iContext)))
                : nullptr;
        keys_ = ctx ? ctx->getKeySource() : nullptr;
        if (keys_)
            keys_->addKeyObserver(this);
    }
    ~recorder() override {
        if (keys_)
            keys_->removeKeyObserver(this);
        log_.push_back(name_ + " delete");
    }
    void onStart(const application::applicationEvent& e) override {
        std::string folders;
        if (e.getSubject()) {
            const xstd::searchPath path = e.getSubject()->getSearchPath();
            for (const wstring& f : path.getFolders())
                folders += " " + xstd::toUtf8(f);
            application::profile p;
            p.setName(xstd::widen(name_));
            e.getSubject()->setProfile(p);
        }
        log_.push_back(name_ + " start" + folders);
    }
    void onStop(const application::applicationEvent&) override { log_.push_back(name_ + " stop"); }
    void onActivate(const application::applicationEvent&) override {
        log_.push_back(name_ + " activate");
    }
    void onDeactivate(const application::applicationEvent&) override {
        log_.push_back(name_ + " deactivate");
    }
    void onKeyDown(eventManager::keyEvent* k) override { key("down", k); }
    void onKeyUp(eventManager::keyEvent* k) override { key("up", k); }
    void onKeyPress(eventManager::keyEvent* k) override { key("press", k); }

private:
    void key(const char* what, eventManager::keyEvent* k) {
        log_.push_back(name_ + " " + what + " " + std::to_string(k->getEventKey()));
    }
    std::vector<std::string>& log_;
    std::string name_;
    eventManager::iKeySource* keys_ = nullptr;
};

std::vector<command> script(const std::string& text) {
    auto parsed = host::parseScript(text, "test");
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.commands;
}

class sessionTest : public ::testing::Test {
protected:
    void SetUp() override { world_.registerServices(); }
    world::world world_;
    std::vector<std::string> log_;
};

TEST_F(sessionTest, launchStartsAndActivatesWithTheModelFolderAsSearchPath) {
    host::session s(world_, u"/models/here");
    s.launch(new recorder(log_, "a"));
    s.launch(new recorder(log_, "b"));
    EXPECT_EQ(log_, (std::vector<std::string>{"a start /models/here", "a activate",
                                              "b start /models/here", "b activate"}));
    EXPECT_EQ(s.getHandle(0).getProfile().getName(), u"a");
    EXPECT_EQ(s.getHandle(1).getProfile().getName(), u"b");
    s.shutdown();
}

TEST_F(sessionTest, shutdownDeactivatesStopsAndDeletesInLaunchOrder) {
    host::session s(world_, u"/m");
    s.launch(new recorder(log_, "a"));
    s.launch(new recorder(log_, "b"));
    log_.clear();
    s.shutdown();
    EXPECT_EQ(log_, (std::vector<std::string>{"a deactivate", "a stop", "a delete", "b deactivate",
                                              "b stop", "b delete"}));
    EXPECT_EQ(s.liveCount(), 0u);
}

TEST_F(sessionTest, lifecycleCommandsReachEveryLiveApplication) {
    host::session s(world_, u"/m");
    s.launch(new recorder(log_, "a"));
    s.launch(new recorder(log_, "b"));
    log_.clear();
    std::ostringstream err;
    ASSERT_TRUE(s.run(script("stop\ndeactivate\nactivate\nstart\n"), err));
    EXPECT_EQ(log_,
              (std::vector<std::string>{"a stop", "b stop", "a deactivate", "b deactivate",
                                        "a activate", "b activate", "a start /m", "b start /m"}));
    s.shutdown();
}

TEST_F(sessionTest, destroyDeletesAndLaterCommandsSkipTheApplication) {
    host::session s(world_, u"/m");
    s.launch(new recorder(log_, "a"));
    log_.clear();
    std::ostringstream err;
    ASSERT_TRUE(s.run(script("key x\ndestroy\nkey x\nstart\nstop\ndestroy\n"), err));
    // The keys after destroy go nowhere: the application unregistered when it was deleted.
    EXPECT_EQ(log_, (std::vector<std::string>{"a down 120", "a up 120", "a delete"}));
    EXPECT_EQ(s.liveCount(), 0u);
    log_.clear();
    s.shutdown();
    EXPECT_TRUE(log_.empty());
}

TEST_F(sessionTest, keyCommandsGoThroughTheWorldsDelivery) {
    host::session s(world_, u"/m");
    s.launch(new recorder(log_, "a"));
    log_.clear();
    std::ostringstream err;
    ASSERT_TRUE(s.run(script("key x\ndown 0x178\nup Z\npress c\n"), err));
    EXPECT_EQ(log_, (std::vector<std::string>{"a down 120", "a up 120", "a down 376", "a up 90",
                                              "a press 99"}));
    s.shutdown();
}

TEST_F(sessionTest, entryAndResizeWithoutAWindowDoNothing) {
    host::session s(world_, u"/m");
    s.launch(new recorder(log_, "a"));
    log_.clear();
    std::ostringstream err;
    EXPECT_TRUE(s.run(script("entry type abc\nentry enter\nresize 100 100\nwheel 120\n"
                             "mouse down 1 2 3\nadvance 1\n"),
                      err));
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(err.str(), "");
    s.shutdown();
}

TEST_F(sessionTest, dumpWritesPrettyJsonWithALineEnd) {
    fs::path file = fs::temp_directory_path() / "zelhost_session_dump.json";
    fs::remove(file);
    std::ostringstream err;
    ASSERT_TRUE(host::writeDump(world_, file.string(), err)) << err.str();
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("\n  \"scene\""), std::string::npos) << text.substr(0, 200);
    auto j = nlohmann::json::parse(text);
    EXPECT_EQ(j["scene"]["name"], "scene");
    EXPECT_TRUE(j["windows"].is_array());
    fs::remove(file);
}

TEST_F(sessionTest, aDumpThatCannotBeWrittenEndsTheRunWithOneLine) {
    host::session s(world_, u"/m");
    s.launch(new recorder(log_, "a"));
    log_.clear();
    std::string folder = fs::temp_directory_path().string();
    std::ostringstream err;
    EXPECT_FALSE(s.run(script("key x\ndump " + folder + "\nkey z\n"), err));
    EXPECT_EQ(log_, (std::vector<std::string>{"a down 120", "a up 120"}));
    EXPECT_EQ(err.str(), "zelhost: cannot write dump " + folder + ": it is a folder\n");
    s.shutdown();
}

} // namespace

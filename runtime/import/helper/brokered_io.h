#pragma once

// The importer's reads inside the helper: every file Assimp opens is asked of the host's file
// broker (file_broker.h) by name and read through the descriptor it hands over. The helper opens
// nothing itself.

#include <zel/import/file_broker.h>

#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace zel::import {

// A read-only stream over a descriptor, with its own position (pread): several streams may share
// one file.
class descriptorStream final : public Assimp::IOStream {
public:
    explicit descriptorStream(std::shared_ptr<const base::uniqueFd> fd);
    std::size_t Read(void* buffer, std::size_t size, std::size_t count) override;
    std::size_t Write(const void*, std::size_t, std::size_t) override { return 0; }
    aiReturn Seek(std::size_t offset, aiOrigin origin) override;
    std::size_t Tell() const override { return position_; }
    std::size_t FileSize() const override { return size_; }
    void Flush() override {}

private:
    std::shared_ptr<const base::uniqueFd> fd_;
    std::size_t size_ = 0;
    std::size_t position_ = 0;
};

// Assimp's file system: the broker's answers. Writing is refused. The importer opens a file and
// asks whether names exist several times over; each name is asked of the host once, and up to
// keptFiles descriptors are kept for the import's length.
class brokeredFiles final : public Assimp::IOSystem {
public:
    static constexpr std::size_t keptFiles = 16;

    explicit brokeredFiles(const brokerClient& broker) : broker_(broker) {}
    // A file the helper already has, under the name the importer will ask for.
    void adopt(const std::string& name, base::uniqueFd fd);
    bool Exists(const char* file) const override;
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* file, const char* mode = "rb") override;
    void Close(Assimp::IOStream* stream) override { delete stream; }
    bool CreateDirectory(const std::string&) override { return false; }
    bool ChangeDirectory(const std::string&) override { return false; }
    bool DeleteFile(const std::string&) override { return false; }

private:
    struct answer {
        int error = 0;
        std::shared_ptr<const base::uniqueFd> file; // null: not kept
    };
    brokerClient broker_;
    mutable std::map<std::string, answer> known_;
    std::size_t kept_ = 0;
};

} // namespace zel::import

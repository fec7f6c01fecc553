#pragma once

// The importer's reads inside the helper: every file Assimp opens is asked of the host's file
// broker (file_broker.h) by name and read through the descriptor it hands over. The helper opens
// nothing itself.

#include <zel/import/file_broker.h>

#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>

#include <cstddef>

namespace zel::import {

// A read-only stream over a descriptor, with its own position (pread): several streams may share
// one file.
class descriptorStream final : public Assimp::IOStream {
public:
    explicit descriptorStream(process::fileDescriptor fd);
    std::size_t Read(void* buffer, std::size_t size, std::size_t count) override;
    std::size_t Write(const void*, std::size_t, std::size_t) override { return 0; }
    aiReturn Seek(std::size_t offset, aiOrigin origin) override;
    std::size_t Tell() const override { return position_; }
    std::size_t FileSize() const override { return size_; }
    void Flush() override {}

private:
    process::fileDescriptor fd_;
    std::size_t size_ = 0;
    std::size_t position_ = 0;
};

// Assimp's file system: the broker's answers. Writing is refused.
class brokeredFiles final : public Assimp::IOSystem {
public:
    explicit brokeredFiles(const brokerClient& broker) : broker_(broker) {}
    bool Exists(const char* file) const override;
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* file, const char* mode = "rb") override;
    void Close(Assimp::IOStream* stream) override { delete stream; }
    bool CreateDirectory(const std::string&) override { return false; }
    bool ChangeDirectory(const std::string&) override { return false; }
    bool DeleteFile(const std::string&) override { return false; }

private:
    brokerClient broker_;
};

} // namespace zel::import

// zel::sceneGraph::reader: the scene-graph reader and its attributes.
#pragma once

#include <zel/scenegraph.h>
#include <zel/xstd.h>

namespace zel::sceneGraph::reader {

class iSgReader {
public:
    static constexpr xstd::uuid IID{0x8DBA9F7C, 0xE5B8, 0x11D3, 0xA3, 0x5E, 0x00,
                                    0xC0,       0x4F,   0xA0,   0x4D, 0xF1};
    virtual ~iSgReader() {}
    // A new node tree for the file, or null when it cannot be read. A name that is not absolute is
    // looked for in the folders of every fileSearchAttr, in order, then in the working directory.
    virtual iSceneNode* readFile(const wstring&) { return nullptr; }
    // Keeps the attribute (takes ownership); null is refused.
    virtual bool addAttribute(xstd::attr*) { return false; }
    virtual xstd::iterator<xstd::attr*> getAttributes() const { return {}; }
};

// Where the reader looks for model files.
class ZEL_API fileSearchAttr : public xstd::attr {
public:
    fileSearchAttr();
    ~fileSearchAttr() override;
    bool setSearchPath(const xstd::searchPath& path);
    const xstd::searchPath& getSearchPath() const { return path_; }

private:
    xstd::searchPath path_;
};

// Where the reader looks for texture images.
class ZEL_API textureSearchAttr : public xstd::attr {
public:
    textureSearchAttr();
    ~textureSearchAttr() override;
    bool setSearchPath(const xstd::searchPath& path);
    const xstd::searchPath& getSearchPath() const { return path_; }

private:
    xstd::searchPath path_;
};

// Whether the reader attaches a file's keyframe animation to the node tree it makes (off by
// default).
class ZEL_API animAttr : public xstd::attr {
public:
    animAttr();
    ~animAttr() override;
    bool setEnable(bool enable);
    bool getEnable() const { return enable_; }

private:
    bool enable_ = false;
};

} // namespace zel::sceneGraph::reader

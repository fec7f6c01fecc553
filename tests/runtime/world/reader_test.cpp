// The reader on the project's sample models and on third-party files: where files are looked for,
// the trees it makes, textures found ignoring case, meshes shared between nodes, clean failures.
#include "test_support.h"

#include <zel/world/geometry.h>
#include <zel/world/world.h>

#include "reader.h"
#include <zel/import/imported_scene.h>
#include <zel/import/model_import.h>

#include <algorithm>
#include <fstream>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using zel::sceneGraph::iSceneNode;
using zel::sceneGraph::reader::fileSearchAttr;
using zel::sceneGraph::reader::textureSearchAttr;
using zel::world::geometryAttr;
using zeltest::attrsOf;
using zeltest::corpusFile;
using zeltest::tempDir;
using zeltest::w;
using zeltest::walk;

namespace {

zel::xstd::searchPath pathOf(std::vector<fs::path> folders) {
    zel::xstd::searchPath p;
    for (const fs::path& f : folders)
        p.addFolder(zel::xstd::fromUtf8(f.string()));
    return p;
}

class readerTest : public ::testing::Test {
protected:
    void searchIn(std::vector<fs::path> folders) {
        auto* a = new fileSearchAttr;
        a->setSearchPath(pathOf(std::move(folders)));
        reader->addAttribute(a);
    }
    void texturesIn(std::vector<fs::path> folders) {
        auto* a = new textureSearchAttr;
        a->setSearchPath(pathOf(std::move(folders)));
        reader->addAttribute(a);
    }
    iSceneNode* read(const fs::path& name) {
        return reader->readFile(zel::xstd::fromUtf8(name.string()));
    }

    zel::world::world world;
    zel::sceneGraph::reader::iSgReader* reader = world.getReader();
};

std::vector<geometryAttr*> geometryOf(iSceneNode* root) {
    std::vector<geometryAttr*> out;
    for (iSceneNode* n : walk(root))
        for (geometryAttr* g : attrsOf<geometryAttr>(n))
            out.push_back(g);
    return out;
}

std::size_t trianglesOf(iSceneNode* root) {
    std::size_t n = 0;
    for (geometryAttr* g : geometryOf(root))
        n += g->getTriangleCount();
    return n;
}

void copyFile(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void writeFile(const fs::path& to, const std::string& bytes) {
    std::ofstream(to, std::ios::binary) << bytes;
}

// The 3DS root turns the file's z-up into y-up.
void expectZUpTurnedToYUp(iSceneNode* root) {
    const zel::vec3 up = zeltest::matrixOf(*root).transformPoint(zel::vec3(0, 0, 1));
    EXPECT_NEAR(up[0], 0.0f, 1e-5f);
    EXPECT_NEAR(up[1], 1.0f, 1e-5f);
    EXPECT_NEAR(up[2], 0.0f, 1e-5f);
}

} // namespace

TEST_F(readerTest, SampleModelsBecomeNewTrees) {
    const fs::path models(ZEL_SAMPLE_MODELS_DIR);
    ZEL_REQUIRE_FILE(models / "archi.3ds");
    searchIn({models});
    for (const char* name : {"archi.3ds", "table.3ds", "tree.3ds", "windmill.3ds", "CRATE.3DS"}) {
        SCOPED_TRACE(name);
        if (!fs::exists(models / name))
            continue;
        testing::internal::CaptureStdout();
        iSceneNode* root = reader->readFile(w(name));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(zel::xstd::toUtf8(root->getName()), name);
        EXPECT_GT(root->getNumChildren(), 0);
        expectZUpTurnedToYUp(root);
        EXPECT_GT(trianglesOf(root), 0u);
        for (geometryAttr* g : geometryOf(root)) {
            EXPECT_GT(g->getColor()[3], 0.0f);
            for (std::uint32_t i : g->getIndices())
                ASSERT_LT(i, g->getVertexCount());
        }
        // Every read is a new tree over the same shared data.
        iSceneNode* again = reader->readFile(w(name));
        ASSERT_NE(again, nullptr);
        EXPECT_NE(again, root);
        const auto first = geometryOf(root), second = geometryOf(again);
        ASSERT_EQ(first.size(), second.size());
        for (std::size_t i = 0; i < first.size(); ++i) {
            EXPECT_NE(first[i], second[i]);
            EXPECT_EQ(first[i]->getMesh(), second[i]->getMesh());
        }
    }
}

TEST_F(readerTest, ArchiHasSeveralColours) {
    const fs::path archi = zeltest::sampleModel("archi.3ds");
    ZEL_REQUIRE_FILE(archi);
    iSceneNode* root = read(archi);
    ASSERT_NE(root, nullptr);
    std::set<std::array<float, 4>> colours;
    for (geometryAttr* g : geometryOf(root))
        colours.insert(g->getColor());
    EXPECT_GE(colours.size(), 3u);
}

TEST_F(readerTest, FailedReadsReturnNullWithOneLineOnStderr) {
    tempDir dir;
    writeFile(dir / "empty.3ds", "");
    writeFile(dir / "junk.3ds", std::string(64, '\x7f'));
    fs::create_directory(dir / "folder.3ds");
    // A FIFO must be named as one, and never opened: opening it would wait for a writer forever.
    ASSERT_EQ(::mkfifo((dir / "pipe.3ds").c_str(), 0600), 0);
    const std::string absoluteFifo = (dir / "pipe.3ds").string();
    searchIn({dir.path()});
    struct failure {
        const char* name;
        const char* reason; // a part of the reason
    };
    const failure cases[] = {
        {"nosuch.3ds", "no such file"},
        {"", "no file name"},
        {"folder.3ds", "it is a folder"},
        {"pipe.3ds", "it is a FIFO"},
        {absoluteFifo.c_str(), "it is a FIFO"},
        {"/dev/null", "it is a device"},
        {"empty.3ds", ""},
        {"junk.3ds", ""},
        {"/nonexistent/abs.3ds", ""},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        iSceneNode* root = reader->readFile(w(c.name));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(root, nullptr);
        const std::string prefix = std::string("readFile(): cannot read ") + c.name + ": ";
        EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
        EXPECT_NE(err.find(c.reason, prefix.size()), std::string::npos) << err;
        EXPECT_GT(err.size(), prefix.size() + 1) << "a reason is given";
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST_F(readerTest, SearchFoldersInOrderThenTheWorkingDirectory) {
    const fs::path rotating = corpusFile("assimp/3DS/RotatingCube.3DS");
    const fs::path four = corpusFile("online3dviewer/cube_four_instances.3ds");
    ZEL_REQUIRE_FILE(rotating);
    ZEL_REQUIRE_FILE(four);
    tempDir a, b, cwd;
    copyFile(rotating, a / "x.3ds");
    copyFile(four, b / "x.3ds");
    copyFile(four, b / "sub" / "y.3ds");
    copyFile(rotating, cwd / "x.3ds");
    copyFile(rotating, cwd / "onlyhere.3ds");
    // RotatingCube has one mesh node, cube_four_instances four.
    auto meshNodes = [](iSceneNode* root) {
        std::size_t n = 0;
        for (iSceneNode* node : walk(root))
            n += attrsOf<geometryAttr>(node).empty() ? 0 : 1;
        return n;
    };

    const fs::path previous = fs::current_path();
    fs::current_path(cwd.path());
    struct lookup {
        const char* name;
        std::vector<std::vector<fs::path>> attrs; // one fileSearchAttr per entry
        fs::path file;                            // what is read, absolute or by name
        std::size_t meshNodes;
    };
    const lookup cases[] = {
        {"first folder wins", {{a.path(), b.path()}}, "x.3ds", 1},
        {"order of the folders", {{b.path(), a.path()}}, "x.3ds", 4},
        {"every attribute in turn", {{"/nonexistent-folder"}, {b.path()}}, "x.3ds", 4},
        {"a folder below a search folder", {{a.path(), b.path()}}, "sub/y.3ds", 4},
        {"working directory last", {{a.path()}}, "onlyhere.3ds", 1},
        {"working directory without attributes", {}, "x.3ds", 1},
        {"absolute names as they are", {{a.path()}}, b / "x.3ds", 4},
    };
    for (const lookup& c : cases) {
        SCOPED_TRACE(c.name);
        zel::world::world fresh;
        for (const auto& folders : c.attrs) {
            auto* attr = new fileSearchAttr;
            attr->setSearchPath(pathOf(folders));
            fresh.getReader()->addAttribute(attr);
        }
        iSceneNode* root = fresh.getReader()->readFile(zel::xstd::fromUtf8(c.file.string()));
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(meshNodes(root), c.meshNodes);
        EXPECT_EQ(zel::xstd::toUtf8(root->getName()), c.file.filename().string());
    }
    fs::current_path(previous);
}

TEST_F(readerTest, UpperCaseTextureNamesAreFoundIgnoringCase) {
    ZEL_NEEDS_CORPUS();
    struct textured {
        const char* file;
        std::set<std::string> textures; // the names of the files found
    };
    const textured cases[] = {
        {"assimp/3DS/test1.3ds", {"CWALL02.jpg", "IMAGE1.jpg", "IMAGE2.jpg"}},
        {"assimp/3DS/cube_with_diffuse_texture.3DS", {"test.png"}},
        {"online3dviewer/cube_four_instances.3ds", {"texture.png"}},
    };
    for (const textured& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = corpusFile(c.file);
        if (!fs::exists(file))
            continue;
        iSceneNode* root = read(file);
        ASSERT_NE(root, nullptr);
        std::set<std::string> found;
        for (geometryAttr* g : geometryOf(root)) {
            if (g->getTextureName().empty())
                continue;
            ASSERT_TRUE(g->getTexture()) << g->getTextureName();
            EXPECT_GT(g->getTexture()->width, 0u);
            found.insert(g->getTexture()->name);
        }
        EXPECT_EQ(found, c.textures);
    }
}

TEST_F(readerTest, TextureSearchFoldersComeBeforeTheModelsFolder) {
    const fs::path cube = corpusFile("assimp/3DS/cube_with_diffuse_texture.3DS");
    ZEL_REQUIRE_FILE(cube);
    tempDir textures;
    // A 3 x 2 picture (a BMP, which the decoder tells by its content), unlike the model's own:
    // the file header, the 40-byte information header (3 x 2, 24 bits), two rows of 12 bytes.
    const std::string bmp = std::string("BM\x4e\0\0\0\0\0\0\0\x36\0\0\0", 14) +
                            std::string("\x28\0\0\0\x03\0\0\0\x02\0\0\0\x01\0\x18\0", 16) +
                            std::string(24, '\0') + std::string(24, '\x40');
    writeFile(textures / "Test.Png", bmp);
    texturesIn({textures.path()});
    iSceneNode* root = read(cube);
    ASSERT_NE(root, nullptr);
    const auto geometry = geometryOf(root);
    ASSERT_FALSE(geometry.empty());
    EXPECT_EQ(geometry[0]->getTextureName(), "TEST.PNG");
    ASSERT_TRUE(geometry[0]->getTexture());
    EXPECT_EQ(geometry[0]->getTexture()->name, "Test.Png");
    EXPECT_EQ(geometry[0]->getTexture()->width, 3u);
    EXPECT_EQ(geometry[0]->getTexture()->height, 2u);
}

TEST_F(readerTest, MeshUsedBySeveralNodesIsShared) {
    const fs::path file = corpusFile("online3dviewer/cube_four_instances.3ds");
    ZEL_REQUIRE_FILE(file);
    iSceneNode* root = read(file);
    ASSERT_NE(root, nullptr);
    std::vector<std::vector<geometryAttr*>> perNode;
    for (iSceneNode* n : walk(root))
        if (auto g = attrsOf<geometryAttr>(n); !g.empty())
            perNode.push_back(g);
    ASSERT_EQ(perNode.size(), 4u);
    std::set<const void*> distinct;
    for (const auto& g : perNode) {
        ASSERT_EQ(g.size(), perNode[0].size());
        for (std::size_t i = 0; i < g.size(); ++i) {
            EXPECT_EQ(g[i]->getMesh(), perNode[0][i]->getMesh());
            EXPECT_EQ(g[i]->getPositions().data(), perNode[0][i]->getPositions().data());
            distinct.insert(g[i]->getMesh());
        }
    }
    EXPECT_EQ(distinct.size(), perNode[0].size());
    // Drawn triangles count every instance.
    EXPECT_EQ(trianglesOf(root), 4 * trianglesOf(walk(root)[1]));
}

TEST_F(readerTest, MeshDataOutlivesTheImportCache) {
    const fs::path file = corpusFile("assimp/3DS/RotatingCube.3DS");
    ZEL_REQUIRE_FILE(file);
    iSceneNode* root = read(file);
    ASSERT_NE(root, nullptr);
    const auto geometry = geometryOf(root);
    ASSERT_FALSE(geometry.empty());
    const std::size_t triangles = geometry[0]->getTriangleCount();
    zel::import::clearImportCache();
    EXPECT_EQ(geometry[0]->getTriangleCount(), triangles);
    float sum = 0;
    for (float v : geometry[0]->getPositions())
        sum += v; // the sanitizer build catches a read of freed memory here
    EXPECT_TRUE(std::isfinite(sum));
}

// Import limits belong to the world that was made with them: a second world must not change what
// the first one allows. The file is big enough (a 300 x 300 grid, about 3 MB of text) that even a
// helper started ahead cannot parse it within the strict world's millisecond.
TEST(readerLimits, EachWorldKeepsItsOwnImportLimits) {
    tempDir dir;
    const fs::path file = dir / "grid.obj";
    {
        std::ofstream out(file);
        const int n = 300;
        for (int z = 0; z <= n; ++z)
            for (int x = 0; x <= n; ++x)
                out << "v " << x << " 0 " << z << "\n";
        for (int z = 0; z < n; ++z)
            for (int x = 0; x < n; ++x) {
                const int a = z * (n + 1) + x + 1;
                out << "f " << a << ' ' << a + n + 1 << ' ' << a + n + 2 << ' ' << a + 1 << "\n";
            }
    }
    zel::world::worldOptions strictOptions;
    strictOptions.importSeconds = 0.001;
    zel::world::world strict(strictOptions);
    zel::world::world relaxed;
    testing::internal::CaptureStderr();
    EXPECT_EQ(strict.getReader()->readFile(w(file.string())), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
    EXPECT_NE(relaxed.getReader()->readFile(w(file.string())), nullptr);
}

TEST_F(readerTest, AnimatedSampleCarriesItsAnimation) {
    const fs::path windmill = zeltest::sampleModel("windmill.3ds");
    const fs::path archi = zeltest::sampleModel("archi.3ds");
    ZEL_REQUIRE_FILE(windmill);
    ZEL_REQUIRE_FILE(archi);
    auto* on = new zel::sceneGraph::reader::animAttr;
    on->setEnable(true);
    reader->addAttribute(on);
    iSceneNode* moving = read(windmill);
    iSceneNode* still = read(archi);
    ASSERT_NE(moving, nullptr);
    ASSERT_NE(still, nullptr);
    const auto attrs = attrsOf<zel::anim::animAttr>(moving);
    ASSERT_EQ(attrs.size(), 1u);
    ASSERT_NE(attrs[0]->getAnim(), nullptr);
    EXPECT_TRUE(attrsOf<zel::anim::animAttr>(still).empty());
    // Only the root carries it.
    for (iSceneNode* n : walk(moving)) {
        if (n != moving) {
            EXPECT_TRUE(attrsOf<zel::anim::animAttr>(n).empty());
        }
    }
}

// Reading ahead goes where ">" and "<" would: the model files beside the one read, in the folder's
// own order, wrapping round; nothing else in the folder counts.
TEST(ReadAhead, NeighboursAreTheCataloguesNextAndPrevious) {
    struct row {
        const char* name;
        std::vector<std::string> files; // the first is the one read
        std::size_t expected;           // how many neighbours
    };
    const std::vector<row> rows{
        {"alone", {"a.3ds", "notes.txt"}, 0},
        {"one other", {"a.3ds", "B.3DS", "picture.png"}, 1},
        {"several", {"a.3ds", "b.3ds", "c.3ds", "d.3ds.bak", "e.obj"}, 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        tempDir dir;
        for (const std::string& f : r.files)
            std::ofstream(dir / f) << "x";
        // The folder's own order, as the catalogue lists it.
        std::vector<fs::path> listed;
        for (const auto& e : fs::directory_iterator(dir.path())) {
            const std::string n = e.path().filename().string();
            if (n.find(".3d") != std::string::npos || n.find(".3D") != std::string::npos)
                listed.push_back(e.path());
        }
        const fs::path read = dir / r.files[0];
        const std::vector<fs::path> got = zel::world::neighboursOf(read);
        ASSERT_EQ(got.size(), r.expected);
        if (got.empty())
            continue;
        const auto at = std::find(listed.begin(), listed.end(), read) - listed.begin();
        const auto n = static_cast<std::ptrdiff_t>(listed.size());
        EXPECT_EQ(got[0], listed[static_cast<std::size_t>((at + 1) % n)]);
        if (got.size() > 1) {
            EXPECT_EQ(got[1], listed[static_cast<std::size_t>((at + n - 1) % n)]);
        }
    }
}

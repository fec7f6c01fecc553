#pragma once

// One triangle, `size` on a side, as an imported scene: the smallest model a shared scene moves
// between sites (the share tests and the share benchmark).

#include <zel/import/imported_scene.h>

#include <memory>

namespace zeltest {

inline std::shared_ptr<const zel::import::scene> triangleModel(float size) {
    auto s = std::make_shared<zel::import::scene>();
    zel::import::mesh m;
    m.positions = {0, 0, 0, size, 0, 0, 0, size, 0};
    m.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    m.indices = {0, 1, 2};
    s->meshes.push_back(m);
    s->materials.emplace_back();
    zel::import::node n;
    n.name = "t";
    n.meshes = {0};
    s->nodes.push_back(n);
    return s;
}

} // namespace zeltest

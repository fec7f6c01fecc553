#include "sample_models.h"

#include <string_view>
#include <utility>

namespace zel::genModels {

namespace {

// Ambient colour a little darker than the diffuse one, as modelling tools write it.
material makeMaterial(std::string name, colour diffuse) {
    auto dim = [](std::uint8_t v) { return static_cast<std::uint8_t>(v * 2 / 5); };
    return {std::move(name), diffuse, {dim(diffuse.r), dim(diffuse.g), dim(diffuse.b)}};
}

meshObject makeObject(std::string name, vec3 origin) {
    meshObject obj;
    obj.name = std::move(name);
    obj.origin = origin;
    return obj;
}

const vec3 xAxis{1.0, 0.0, 0.0};

} // namespace

model makeArchi() {
    enum : std::size_t { floorMat, wallMat, roofMat, frameMat };
    model m;
    m.name = "archi";
    m.materials = {makeMaterial("FLOOR", {150, 150, 150}), makeMaterial("WALL", {240, 228, 190}),
                   makeMaterial("ROOF", {150, 62, 40}), makeMaterial("FRAME", {62, 44, 32})};

    const double slabTop = 0.02;
    const double wallTop = 0.20;
    const double ridge = 0.30; // underside of the roof at the ridge
    const double t = 0.015;    // wall thickness
    const double wx = 0.18;    // half width of the walls' outer face, along x
    const double wy = 0.13;    // half depth, along y; the front (door side) faces -y
    const double doorHalf = 0.04;
    const double doorTop = 0.15;
    const double sill = 0.09;
    const double lintel = 0.15;

    meshObject floor = makeObject("Floor", {0.0, 0.0, 0.0});
    addBox(floor, floorMat, {-0.21, -0.16, 0.0}, {0.21, 0.16, slabTop});

    meshObject walls = makeObject("Walls", {0.0, 0.0, slabTop});
    addBox(walls, wallMat, {-wx, wy - t, slabTop}, {wx, wy, wallTop});
    addBox(walls, wallMat, {-wx, -wy + t, slabTop}, {-wx + t, wy - t, wallTop});
    addBox(walls, wallMat, {wx - t, -wy + t, slabTop}, {wx, wy - t, wallTop});
    // The front wall is built from pieces around its openings, column by column from left to
    // right: wall, window, wall, door, wall, window, wall.
    enum class column { solid, window, door };
    struct span {
        double x0, x1;
        column kind;
    };
    const span front[] = {
        {-wx, -0.14, column::solid},       {-0.14, -0.09, column::window},
        {-0.09, -doorHalf, column::solid}, {-doorHalf, doorHalf, column::door},
        {doorHalf, 0.09, column::solid},   {0.09, 0.14, column::window},
        {0.14, wx, column::solid},
    };
    for (const span& s : front) {
        const double y0 = -wy;
        const double y1 = -wy + t;
        switch (s.kind) {
        case column::solid:
            addBox(walls, wallMat, {s.x0, y0, slabTop}, {s.x1, y1, wallTop});
            break;
        case column::window:
            addBox(walls, wallMat, {s.x0, y0, slabTop}, {s.x1, y1, sill});
            addBox(walls, wallMat, {s.x0, y0, lintel}, {s.x1, y1, wallTop});
            break;
        case column::door:
            addBox(walls, wallMat, {s.x0, y0, doorTop}, {s.x1, y1, wallTop});
            break;
        }
    }
    // Gables close the roof space above the side walls.
    for (double x : {-wx, wx - t}) {
        addPrism(walls, wallMat, {{x, -wy, wallTop}, {x, wy, wallTop}, {x, 0.0, ridge}},
                 {t, 0.0, 0.0});
    }

    meshObject frame = makeObject("DoorFrame", {0.0, -wy + t / 2, slabTop});
    const double fy0 = -wy - 0.005;
    const double fy1 = -wy + t + 0.005;
    const double fw = 0.01;
    addBox(frame, frameMat, {-doorHalf - fw, fy0, slabTop}, {-doorHalf, fy1, doorTop + fw});
    addBox(frame, frameMat, {doorHalf, fy0, slabTop}, {doorHalf + fw, fy1, doorTop + fw});
    addBox(frame, frameMat, {-doorHalf - fw, fy0, doorTop}, {doorHalf + fw, fy1, doorTop + fw});

    // Each roof slope is a slab whose underside rests on the gables' sloping edges, running past
    // the walls to the eaves and cut off vertically at the ridge.
    meshObject roof = makeObject("Roof", {0.0, 0.0, wallTop});
    const double overhang = 0.03;
    const double thickness = 0.012;
    const double roofHalf = 0.20;
    for (double side : {-1.0, 1.0}) {
        const vec3 a{0.0, 0.0, ridge};
        const vec3 b{0.0, side * (wy + overhang), wallTop - overhang * (ridge - wallTop) / wy};
        const vec3 up = normalized({0.0, side * (ridge - wallTop), wy});
        const vec3 c = b + up * thickness;
        const vec3 d = c + (a - b) * (-c.y / (a.y - b.y));
        std::vector<vec3> section;
        for (const vec3& p : {a, b, c, d}) {
            section.push_back({-roofHalf, p.y, p.z});
        }
        addPrism(roof, roofMat, section, {2 * roofHalf, 0.0, 0.0});
    }

    meshObject chimney = makeObject("Chimney", {0.10, 0.05, 0.24});
    addBox(chimney, floorMat, {0.08, 0.03, 0.24}, {0.12, 0.07, 0.36});

    m.objects = {floor, walls, frame, roof, chimney};
    return m;
}

model makeTable() {
    enum : std::size_t { topMat, legMat };
    model m;
    m.name = "table";
    m.materials = {makeMaterial("TABLETOP", {196, 150, 96}),
                   makeMaterial("TABLELEGS", {100, 64, 36})};

    meshObject table = makeObject("Table", {0.0, 0.0, 0.0});
    const double height = 0.25;
    const double top = 0.025;
    const double under = height - top;
    addBox(table, topMat, {-0.22, -0.14, under}, {0.22, 0.14, height});
    for (double sx : {-1.0, 1.0}) {
        for (double sy : {-1.0, 1.0}) {
            const vec3 lo{sx < 0 ? -0.20 : 0.17, sy < 0 ? -0.12 : 0.09, 0.0};
            addBox(table, legMat, lo, lo + vec3{0.03, 0.03, under});
        }
    }
    // Rails between the legs, under the top.
    const double rail = 0.04;
    for (double sy : {-1.0, 1.0}) {
        const double y = sy * 0.108;
        addBox(table, legMat, {-0.17, y - 0.006, under - rail}, {0.17, y + 0.006, under});
    }
    for (double sx : {-1.0, 1.0}) {
        const double x = sx * 0.185;
        addBox(table, legMat, {x - 0.006, -0.09, under - rail}, {x + 0.006, 0.09, under});
    }
    m.objects = {table};
    return m;
}

model makeTree() {
    enum : std::size_t { barkMat, leafMat };
    model m;
    m.name = "tree";
    m.materials = {makeMaterial("BARK", {110, 72, 40}), makeMaterial("LEAVES", {52, 120, 48})};

    meshObject trunk = makeObject("Trunk", {0.0, 0.0, 0.0});
    addFrustum(trunk, barkMat,
               {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.14}, xAxis, 0.03, 0.022, 8, false, 1});

    meshObject crown = makeObject("Crown", {0.0, 0.0, 0.10});
    struct tier {
        double base, apex, radius;
    };
    const tier tiers[] = {{0.10, 0.26, 0.17}, {0.20, 0.36, 0.13}, {0.30, 0.46, 0.09}};
    std::uint32_t group = 2;
    for (const tier& t : tiers) {
        addFrustum(crown, leafMat,
                   {{0.0, 0.0, t.base},
                    {0.0, 0.0, t.apex - t.base},
                    xAxis,
                    t.radius,
                    0.0,
                    12,
                    false,
                    group});
        group <<= 1;
    }
    m.objects = {trunk, crown};
    return m;
}

model makeWindmill() {
    enum : std::size_t { stoneMat, capMat, doorMat, sparMat, sailMat };
    model m;
    m.name = "windmill";
    m.frames = 60;
    m.materials = {makeMaterial("STONE", {226, 218, 200}), makeMaterial("CAP", {140, 50, 35}),
                   makeMaterial("MILLDOOR", {70, 45, 30}), makeMaterial("SPAR", {92, 62, 36}),
                   makeMaterial("SAIL", {236, 230, 214})};

    // An eight-sided tower turned so that one face looks to the front (-y).
    const double towerHeight = 0.30;
    const double r0 = 0.10;
    const double r1 = 0.07;
    meshObject tower = makeObject("Tower", {0.0, 0.0, 0.0});
    addFrustum(tower, stoneMat,
               {{0.0, 0.0, 0.0}, {0.0, 0.0, towerHeight}, xAxis, r0, r1, 8, true, 0});
    addFrustum(tower, capMat,
               {{0.0, 0.0, towerHeight}, {0.0, 0.0, 0.09}, xAxis, 0.085, 0.0, 8, true, 0});
    // The door lies on the sloping front face and stands out of it a little.
    const double apothem = onCircle(1, 16).c; // cos 22.5 degrees
    auto frontFaceY = [&](double z) { return -(r0 + (r1 - r0) * z / towerHeight) * apothem; };
    const double doorHalf = 0.022;
    const double doorTop = 0.09;
    const vec3 out = normalized({0.0, -1.0, (r0 - r1) * apothem / towerHeight});
    addPrism(tower, doorMat,
             {{-doorHalf, frontFaceY(0.0), 0.0},
              {doorHalf, frontFaceY(0.0), 0.0},
              {doorHalf, frontFaceY(doorTop), doorTop},
              {-doorHalf, frontFaceY(doorTop), doorTop}},
             out * 0.005);

    // The sails turn about the axle; their object's origin is the hub's centre.
    const vec3 hub{0.0, -0.11, 0.31};
    meshObject sails = makeObject("Sails", hub);
    addFrustum(sails, sparMat,
               {{0.0, -0.06, hub.z}, {0.0, -0.045, 0.0}, xAxis, 0.008, 0.008, 8, false, 1});
    addBox(sails, sparMat, hub - vec3{0.014, 0.012, 0.014}, hub + vec3{0.014, 0.012, 0.014});
    for (int k = 0; k < 4; ++k) {
        const circlePoint dir = onCircle(k, 4, true); // 45, 135, 225 and 315 degrees
        const vec3 radial{dir.c, 0.0, dir.s};
        const vec3 tangent{-dir.s, 0.0, dir.c};
        auto blade = [&](double u0, double u1, double v0, double v1, double y0, double y1,
                         std::size_t mat) {
            const vec3 at{hub.x, y0, hub.z};
            addPrism(sails, mat,
                     {at + radial * u0 + tangent * v0, at + radial * u1 + tangent * v0,
                      at + radial * u1 + tangent * v1, at + radial * u0 + tangent * v1},
                     {0.0, y1 - y0, 0.0});
        };
        blade(0.0, 0.20, -0.006, 0.006, hub.y - 0.016, hub.y - 0.008, sparMat);
        blade(0.05, 0.19, 0.006, 0.058, hub.y - 0.013, hub.y - 0.009, sailMat);
    }

    // One full turn about the axle in four quarter turns; each key after the first is relative.
    constexpr float quarterTurn = 1.57079637f;
    const vec3 axle{0.0, 1.0, 0.0};
    m.spins = {{"Sails",
                {{0, 0.0f, axle},
                 {15, quarterTurn, axle},
                 {30, quarterTurn, axle},
                 {45, quarterTurn, axle},
                 {60, quarterTurn, axle}}}};

    m.objects = {tower, sails};
    return m;
}

model makeCrate() {
    model m;
    m.name = "CRATE";
    m.materials = {makeMaterial("CRATE", {170, 120, 60})};
    meshObject box = makeObject("CRATE", {0.0, 0.0, 0.0});
    addBox(box, 0, {-0.15, -0.15, 0.0}, {0.15, 0.15, 0.30});
    m.objects = {box};
    return m;
}

namespace {

constexpr std::string_view readme =
    R"(Sample models
=============

The model files in this folder are generated; do not edit them by hand. The program
tools/gen_models (target zelgenmodels) writes every one of them from its source, byte for
byte the same on every run, and the tests check that the files here match its output.

To regenerate them after changing the generator:

    cmake --build <build-dir> --target sample-models

or run the program yourself:

    <build-dir>/bin/zelgenmodels examples/models

The files:

    archi.3ds     a small house: floor slab, walls with a door and two windows, pitched roof
    table.3ds     a table; one object with two materials
    tree.3ds      a fir tree: trunk and three stacked cones
    windmill.3ds  a windmill whose sails turn once in 60 frames (keyframe animation)
    CRATE.3DS     a plain box, named in upper case as old tools wrote them

Sizes are in metres; every model is about 0.3 to 0.5 m across and stands on z = 0 with Z up,
the 3DS convention. This note is not a model: its name contains no 3DS extension.
)";

} // namespace

bool sampleFiles(std::vector<sampleFile>& files, std::string& error) {
    struct entry {
        const char* name;
        model (*make)();
    };
    const entry models[] = {{"archi.3ds", makeArchi},
                            {"table.3ds", makeTable},
                            {"tree.3ds", makeTree},
                            {"windmill.3ds", makeWindmill},
                            {"CRATE.3DS", makeCrate}};
    files.clear();
    for (const entry& e : models) {
        const model m = e.make();
        sampleFile f;
        f.name = e.name;
        f.triangles = triangleCount(m);
        if (!encode3ds(m, f.bytes, error)) {
            error = f.name + ": " + error;
            return false;
        }
        files.push_back(std::move(f));
    }
    files.push_back({"README.txt", std::vector<std::uint8_t>(readme.begin(), readme.end()), 0});
    return true;
}

} // namespace zel::genModels

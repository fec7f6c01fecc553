// Test views of the package's classes: subclasses that open up the protected state.
#pragma once

#include "geom_sink.h"
#include "option_ring.h"
#include "prop_placer.h"

#include <vector>

namespace rec {

class placerProbe : public propplacer::propPlacer {
public:
    ~placerProbe() override { ++destroyed; }

    using propPlacer::animPlayer;
    using propPlacer::animRing;
    using propPlacer::appSearchPath;
    using propPlacer::attachRing;
    using propPlacer::axisRing;
    using propPlacer::geomDirectory;
    using propPlacer::geomFileRing;
    using propPlacer::holder;
    using propPlacer::keySource;
    using propPlacer::mouseSource;
    using propPlacer::navigator;
    using propPlacer::rotateStep;
    using propPlacer::scaleFactor;
    using propPlacer::sgReader;
    using propPlacer::statusEntry;
    using propPlacer::statusLabel;
    using propPlacer::statusWindow;
    using propPlacer::switchRing;
    using propPlacer::translateStep;

    static inline int destroyed = 0;
};

class sinkProbe : public propplacer::geomSink {
public:
    using geomSink::anim;
    using geomSink::attachPoint;
    using geomSink::defaultParent;
    using geomSink::geomSink;
    using geomSink::homePosition;
    using geomSink::homeRotation;
    using geomSink::homeScale;
    using geomSink::model;
    using geomSink::reader;
};

// The model a holder placed last (or null), read through the probe's view of the member, which is
// valid on any geomSink.
inline zel::sceneGraph::iSceneNode* modelOf(const propplacer::geomSink& sink) {
    return sink.*(&sinkProbe::model);
}

// Every element of a ring, from position 0 on; the ring is left where it was.
template <class T> std::vector<T> contents(propplacer::optionRing<T>& ring) {
    std::vector<T> all;
    if (ring.isEmpty())
        return all;
    const std::int32_t start = ring.currentIndex();
    while (ring.currentIndex() != 0)
        ring.next();
    do {
        all.push_back(ring.current());
        ring.next();
    } while (ring.currentIndex() != 0);
    while (ring.currentIndex() != start)
        ring.next();
    return all;
}

} // namespace rec

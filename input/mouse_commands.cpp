// Mouse commands of propPlacer: while the mouse observer is registered ("v" held in axis mode
// "XYZ"), button events turn the model like a trackball. Trace lines go to the narrow stream and
// end with a plain newline.
#include "prop_placer.h"

#include <iostream>

namespace propplacer {

void propPlacer::onMouseMove(zel::sceneGraph::mouseEvent* /*event*/) {}

void propPlacer::onMouseDown(zel::sceneGraph::mouseEvent* event) {
    trackballStep(event);
}

void propPlacer::onMouseDrag(zel::sceneGraph::mouseEvent* event) {
    trackballStep(event);
}

void propPlacer::trackballStep(zel::sceneGraph::mouseEvent* event) {
    if (!event || axisRing.current() != u"XYZ")
        return;
    const auto type = event->getEventType();
    const auto button = event->getEventButton();
    std::cout << "|> In onMouseDown(): The " << static_cast<int>(button)
              << " button is DOWN; type = " << static_cast<int>(type) << "\n";
    // An event without a position must not steer the axis with made-up coordinates.
    int x = 0;
    int y = 0;
    if (!event->getMouseWinPos(x, y) || !holder)
        return;
    holder->trackballRotate(rotateStep, axisRing.currentIndex(), x, y);
}

void propPlacer::onMouseWheelDelta(zel::sceneGraph::mouseEvent* event) {
    if (!event)
        return;
    const int delta = event->getMouseWheelDelta(zel::sceneGraph::VERTICAL);
    std::cout << "|> In onMouseWheelDelta(): The mouse wheel delta is now " << delta << "\n";
}

} // namespace propplacer

// Key commands of propPlacer. Each handler decodes the low 8 bits of the key code as a character;
// characters a handler does not list are ignored. No key handler writes a trace.
#include "prop_placer.h"

namespace propplacer {

namespace {

char decode(const zel::eventManager::keyEvent* event) {
    return static_cast<char>(static_cast<signed char>(event->getEventKey() & 0xFFu));
}

const zel::wstring freeRotationMode = u"XYZ";

} // namespace

void propPlacer::onKeyPress(zel::eventManager::keyEvent* event) {
    if (event)
        modelCommand(decode(event));
}

void propPlacer::modelCommand(char key) {
    if (!holder)
        return;
    const std::int32_t axis = axisRing.currentIndex();
    switch (key) {
    case 'x':
        holder->translate(translateStep, axis);
        break;
    case 'X':
        holder->translate(-translateStep, axis);
        break;
    case 'c':
        holder->scale(scaleFactor, axis);
        break;
    case 'C':
        holder->scale(1.0f / scaleFactor, axis);
        break;
    case 'v':
        if (axisRing.current() != freeRotationMode)
            holder->rotate(rotateStep, axis);
        break;
    case 'V':
        holder->rotate(-rotateStep, axis);
        break;
    default:
        break;
    }
}

void propPlacer::onKeyDown(zel::eventManager::keyEvent* event) {
    if (!event)
        return;
    switch (const char key = decode(event)) {
    case ',':
    case '.':
        // An empty ring (no navigator) has no attach point to move to.
        if (attachRing.isEmpty())
            break;
        if (key == ',')
            attachRing.previous();
        else
            attachRing.next();
        if (holder)
            holder->setAttachPoint(attachRing.current());
        break;
    case '<':
    case '>': {
        if (geomFileRing.isEmpty())
            break;
        // The holder gets its own copy: the ring's element may move when the ring grows.
        zel::wstring file = key == '<' ? geomFileRing.previous() : geomFileRing.next();
        if (holder)
            holder->replaceGeom(std::move(file));
        break;
    }
    case '?':
        if (switchRing.next() == u"ON")
            switchOn();
        else
            switchOff();
        break;
    case 'Z':
        axisRing.previous();
        break;
    case 'z':
        axisRing.next();
        break;
    case 'b':
        animRing.next();
        if (holder)
            holder->setAnimation(animRing.currentIndex(), animPlayer);
        break;
    case 'n':
        if (holder)
            holder->resetXform();
        break;
    case 'v':
        if (axisRing.current() == freeRotationMode) {
            if (mouseSource)
                mouseSource->addMouseObserver(this);
        } else if (holder) {
            holder->rotate(rotateStep, axisRing.currentIndex());
        }
        break;
    case 'x':
    case 'X':
    case 'c':
    case 'C':
    case 'V':
        modelCommand(key);
        break;
    default:
        break;
    }
}

void propPlacer::onKeyUp(zel::eventManager::keyEvent* event) {
    if (!event)
        return;
    switch (decode(event)) {
    case ',':
    case '.':
    case '<':
    case '>':
    case 'Z':
    case 'b':
    case 'z':
        refreshStatusLabel();
        break;
    case 'v':
        if (mouseSource && mouseSource->hasMouseObserver(this))
            mouseSource->removeMouseObserver(this);
        break;
    default:
        break;
    }
}

} // namespace propplacer

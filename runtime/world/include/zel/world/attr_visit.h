#pragma once

// One walk over a node's attributes that hands each attribute to the handler for its type:
//
//   visitAttributes(node,
//                   [&](const geometryAttr& g) { ... },
//                   [&](const anim::animAttr& a) { ... });
//
// Each handler takes one attribute type by reference (const or not). An attribute goes to the first
// handler whose type it is, so the order of the handlers is the order of the checks; an attribute
// of no handler's type is passed over. Attributes come in the node's order.

#include <zel/scenegraph.h>
#include <zel/xstd.h>

#include <type_traits>

namespace zel::world {

namespace detail {

template <class F> struct attrHandler : attrHandler<decltype(&F::operator())> {};
template <class C, class R, class A> struct attrHandler<R (C::*)(A) const> {
    using type = std::remove_reference_t<A>;
};
template <class C, class R, class A> struct attrHandler<R (C::*)(A)> {
    using type = std::remove_reference_t<A>;
};

// True when handle took a.
template <class Handler> bool offer(xstd::attr* a, Handler& handle) {
    using target = typename attrHandler<Handler>::type;
    static_assert(std::is_base_of_v<xstd::attr, std::remove_const_t<target>>,
                  "a handler takes one attribute type by reference");
    if (auto* typed = dynamic_cast<target*>(a)) {
        handle(*typed);
        return true;
    }
    return false;
}

} // namespace detail

template <class... Handlers>
void visitAttributes(const sceneGraph::iSceneNode& node, Handlers&&... handlers) {
    for (auto it = node.getAttributes(); it.isValid(); it.advance()) {
        xstd::attr* a = it.getCurrent();
        static_cast<void>((detail::offer(a, handlers) || ...));
    }
}

} // namespace zel::world

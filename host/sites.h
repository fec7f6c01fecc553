// Who is in the shared scene, as the window shows it: a colour per user, the window's title and
// the list of sites present.
#pragma once

#include <zel/render/frame.h>
#include <zel/share/shared_scene.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace zel::host {

// A colour of the user's own, the same on every site and in every run: a hue taken from the
// name's bytes, at a saturation and brightness that read on the dark background and the ground.
std::array<float, 4> userColour(std::string_view user);

// The same hue lightened for letters, so that a name reads on the dark veil behind it.
std::array<float, 4> textColour(std::string_view user);

// "propplacer - USER in SCENE, N sites" for a site in a shared scene; "propplacer" without one.
std::string windowTitle(const share::sharedScene* s);

// The sites present, each with its user's colour and whether it is this site, in site order.
std::vector<render::presentSite> presentSites(const share::sharedScene& s);

} // namespace zel::host

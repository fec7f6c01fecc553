#include "help.h"

namespace zel::host {

std::vector<render::helpSection> helpText() {
    return {
        {"Model (lower case forward, shifted key back)",
         {
             {"z / Z", "next / previous axis mode: X, Y, Z, XYZ"},
             {"x / X", "move the model along the axis (held: keeps moving)"},
             {"c / C", "scale the model up / down along the axis (XYZ: uniformly)"},
             {"v / V", "turn the model about the axis"},
             {"v held in XYZ", "mouse button or drag turns the model freely"},
             {"n", "reset the model's position, rotation and scale"},
             {"Ctrl+Z", "undo your last step (a key press, a drag)"},
             {"Ctrl+Y / Ctrl+Shift+Z", "redo the step undone"},
             {"b", "animation on / off"},
             {", / .", "previous / next attach point"},
             {"< / >", "previous / next geometry file"},
             {"?", "spare switch on / off"},
         }},
        {"Viewer",
         {
             {"Up / Down", "move the viewpoint forward / back"},
             {"Left / Right", "turn the viewpoint left / right"},
             {"Page Up / Page Down", "move the viewpoint up / down"},
             {"left drag", "orbit round the model (unless v is held in XYZ)"},
             {"right drag / wheel", "zoom towards / away from the model"},
             {"middle drag", "pan the view"},
             {"f / F", "frame the model: it fills most of the view"},
             {"Home", "camera back where it started (shared: your arrival spot)"},
             {"Tab / Shift+Tab", "look at the next / previous other site and its model"},
             {"F1", "show / hide this list"},
             {"F2", "show / hide who is here (the sites of a shared scene)"},
             {"F12", "save a screenshot (screenshot-N.png)"},
             {"Escape", "leave the entry, close this list, or quit"},
         }},
        {"Status window",
         {
             {"click the entry", "type into it; Enter confirms"},
         }},
    };
}

} // namespace zel::host

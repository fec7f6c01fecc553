// The world's record of the widgets it made: live windows oldest first, and the clean-up of
// whatever is still alive when the world ends.
#pragma once

#include <zel/world/widgets.h>

#include <vector>

namespace zel::world {

class widgetRegistry final : public iWidgetFactory {
public:
    widgetRegistry() = default;
    // Destroys every widget still alive, counted or not.
    ~widgetRegistry() override;
    widgetRegistry(const widgetRegistry&) = delete;
    widgetRegistry& operator=(const widgetRegistry&) = delete;

    widget::iWidget* makeWidget(const wstring& name) override;
    bool isLive(const widgetBase* w) const;
    std::vector<windowFrame*> getWindows() const;

    // Called by each widget as it is made and destroyed.
    void enlist(widgetBase* w);
    void forget(widgetBase* w);

private:
    std::vector<widgetBase*> live_;
};

} // namespace zel::world

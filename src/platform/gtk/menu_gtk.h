#pragma once

#include "app/menu.h"

#include <gtk/gtk.h>

#include <functional>

namespace quorva {

// The menu as the application's menu bar: each item an action of the
// application, with its keys. Chosen items go to `perform`; the window list's
// one entry goes to `presentWindow`.
void installMenuBar(GtkApplication* application, const MainMenu& menu,
                    std::function<void(const MenuItem&)> perform,
                    std::function<void()> presentWindow);

// Gives the window's menu bar, once it has one, the name a screen reader reads.
void nameMenuBar(GtkWindow* window);

}  // namespace quorva

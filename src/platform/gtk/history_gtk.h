#pragma once

#include <webkit/webkit.h>

namespace quorva {

// Alt+Left and Alt+Right, and the mouse's back and forward buttons, move
// through the view's history, as in any web view.
void addHistoryControls(WebKitWebView* view);

}  // namespace quorva

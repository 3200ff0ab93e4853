#pragma once

namespace quorva {

// Gives GTK, and through it the pages, the desktop's light or dark preference,
// now and whenever it changes: from the Settings portal, or where no portal
// answers, from GNOME's interface settings when they are installed. Call once
// GTK is up.
void followDesktopColorScheme();

}  // namespace quorva

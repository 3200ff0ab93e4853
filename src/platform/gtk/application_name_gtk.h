#pragma once

namespace quorva {

// Names the application "QUORVA", as screen readers announce it, once GTK has
// its display. The desktop still matches its windows to the launcher by the
// lower-case name, and the web view's data keeps its folders.
void nameApplication();

// The folders' name for what the application keeps.
inline constexpr const char* dataFolderName = "quorva";

}  // namespace quorva

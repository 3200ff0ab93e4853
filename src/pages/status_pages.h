#pragma once

#include <string>
#include <string_view>

namespace quorva {

// The page shown from launch until the server's address is known.
extern const std::string_view loadingPage;

// The error pages' paragraph on getting the interpreter, as a macOS build shows it.
extern const std::string_view commandLineToolsHint;

// The error page: the title goes in as markup, the detail is escaped; an empty
// detail shows a placeholder. The hint is one paragraph of markup from the
// platform, on how to get the interpreter there.
std::string errorPage(std::string_view title, std::string_view detail,
                      std::string_view hint = commandLineToolsHint);

}  // namespace quorva

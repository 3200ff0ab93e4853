#pragma once

#include <string>
#include <string_view>

namespace quorva {

// The page shown from launch until the server's address is known.
extern const std::string_view loadingPage;

// The error page: the title goes in as markup, the detail is escaped; an empty
// detail shows a placeholder.
std::string errorPage(std::string_view title, std::string_view detail);

}  // namespace quorva

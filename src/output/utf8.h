#pragma once

#include <string_view>

namespace quorva {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF and no
// truncated sequence anywhere, the end included.
bool isValidUtf8(std::string_view bytes);

}  // namespace quorva

#pragma once

#include "platform/platform.h"

#include <string>
#include <string_view>

namespace quorva {

// What the find bar says: "3 จาก 12", or plainly that the page holds no match.
std::string findStatus(unsigned current, unsigned total);

// The name "Print to File" proposes, without its extension: the page's title
// with what a file name cannot hold taken out, cut short on a character's edge.
std::string printFileName(std::string_view title);

// Why a print did not come out, as a notice over the page.
Notice printFailureNotice(const std::string& description);

// The question a page with unsaved input asks before it is left.
Question leavePageQuestion();

// A page's own yes-or-no question, asked in the window's language rather than the engine's.
Question pageConfirmQuestion(const std::string& message);

}  // namespace quorva

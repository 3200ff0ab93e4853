#pragma once

#include "platform/platform.h"

namespace quorva {

// A response the view cannot show, or one the server marks as an attachment
// (any disposition but "inline"), becomes a download.
ResponsePolicy decideResponse(const Response& response);

// What the window tells the user about a download that ended.
Notice downloadNotice(const DownloadOutcome& outcome);

}  // namespace quorva

#include "app/app_delegate.h"

namespace quorva {

void AppDelegate::debugLog(std::string_view message)
{
    if (!platform.environment.get("QUORVA_DEBUG"))
        return;
    std::string line = "[QUORVA] ";
    line += message;
    line += '\n';
    // A lost line is all a failed write costs.
    (void)platform.thisProcess.writeStandardError(line);
}

}  // namespace quorva

#include "app/shell.h"

#include "app/app_delegate.h"

namespace quorva {

const std::shared_ptr<AppDelegate>& QUORVAShell::delegate()
{
    // Leaked on purpose: static destruction at exit must not tear down a
    // delegate whose server threads may still be delivering.
    static const auto* held =
        new std::shared_ptr<AppDelegate>(std::make_shared<AppDelegate>(platform()));
    return *held;
}

}  // namespace quorva

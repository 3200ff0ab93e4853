#include "app/app_delegate.h"
#include "app/entry.h"
#include "app/menu.h"
#include "app/shell.h"
#include "platform/gtk/application_gtk.h"
#include "platform/gtk/application_name_gtk.h"
#include "platform/posix/system_posix.h"

#include <algorithm>
#include <cstdio>

namespace quorva {

Platform& QUORVAShell::platform()
{
    return GtkShellApplication::shared().platform();
}

int QUORVAShell::main(int argc, char** argv)
{
    // Decided before anything is made, so an answer or a missing display
    // starts nothing.
    const auto environment = PosixEnvironment().snapshot();
    const EntryChoice choice =
        chooseEntry({argv + std::min(argc, 1), argv + argc}, environment, QUORVA_VERSION);
    std::fputs(choice.output.c_str(), stdout);
    std::fputs(choice.error.c_str(), stderr);
    if (!choice.openWindow)
        return choice.status;
    if (!gtk_init_check()) {
        std::fputs(displayUnopenedMessage(environment).c_str(), stderr);
        return 1;
    }
    nameApplication();
    GtkShellApplication& application = GtkShellApplication::shared();
    const auto& appDelegate = delegate();
    application.setDelegate(appDelegate);
    application.setMainMenu(buildMenu(appDelegate));
    application.run(argc, argv);
    return 0;
}

}  // namespace quorva

int main(int argc, char** argv)
{
    quorva::keepStartEnvironment();
    return quorva::QUORVAShell::main(argc, argv);
}

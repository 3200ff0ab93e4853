#include "app/app_delegate.h"
#include "app/menu.h"
#include "app/shell.h"
#include "platform/gtk/application_gtk.h"
#include "platform/posix/system_posix.h"

#include <glib.h>

namespace quorva {

Platform& QUORVAShell::platform()
{
    return GtkShellApplication::shared().platform();
}

int QUORVAShell::main(int argc, char** argv)
{
    // The web view's data and the window's saved frame live under this name.
    g_set_prgname("quorva");
    g_set_application_name("QUORVA");
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

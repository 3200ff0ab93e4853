#pragma once

#include "platform/gtk/gobject_ptr.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

#include <memory>
#include <string>

namespace quorva {

// Prints a web view's page through the print dialog; the choices made there
// are kept for the rest of the run.
class GtkPagePrinter final {
public:
    // "Print to File" proposes `fileName`; a failure goes to the delegate.
    void print(WebKitWebView* view, const std::string& fileName,
               const std::weak_ptr<WebViewDelegate>& delegate);

private:
    GObjectPtr<GtkPrintSettings> printSettings;
    GObjectPtr<GtkPageSetup> pageSetup;
};

}  // namespace quorva

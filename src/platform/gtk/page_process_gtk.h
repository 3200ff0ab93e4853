#pragma once

#include "platform/gtk/gobject_ptr.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

#include <memory>
#include <string>
#include <vector>

namespace quorva {

// Watches over the processes behind a WebKitWebView: reports a page process
// that ended, or a load lost with the network process, and makes sure a
// status page really shows once WebKit has replaced a process under it.
class PageProcessWatch {
public:
    PageProcessWatch(WebKitWebView* view, std::weak_ptr<WebViewDelegate> delegate);
    ~PageProcessWatch();
    PageProcessWatch(const PageProcessWatch&) = delete;
    PageProcessWatch& operator=(const PageProcessWatch&) = delete;

    // Called before a document from text is loaded.
    void statusPageRequested(const std::string& html);
    // True when the failure means the network process went away under the
    // load; the delegate has then been told.
    bool reportedNetworkProcessLoss(const GError* error);

private:
    static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                       gpointer self);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent, gpointer self);
    static void onStatusPageChecked(GObject* view, GAsyncResult* result, gpointer self);
    void report(WebProcessTermination reason);

    WebKitWebView* view;
    std::weak_ptr<WebViewDelegate> delegate;
    std::string statusPage;
    int statusPageRetries = 0;
    GObjectPtr<GCancellable> checks;
    std::vector<SignalConnection> signals;
};

}  // namespace quorva

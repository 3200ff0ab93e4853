#pragma once

#include "platform/gtk/gobject_ptr.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorva {

// Saves the web view's downloads where the user chooses, under a temporary
// name until complete, and reports how each ended.
class GtkDownloads final {
public:
    GtkDownloads(WebKitWebView* view, std::weak_ptr<WebViewDelegate> delegate);
    ~GtkDownloads();
    GtkDownloads(const GtkDownloads&) = delete;
    GtkDownloads& operator=(const GtkDownloads&) = delete;

private:
    struct Job;
    struct Choice;

    static void onDownloadStarted(WebKitNetworkSession*, WebKitDownload*, gpointer self);
    static gboolean onDecideDestination(WebKitDownload*, gchar* suggestedName, gpointer job);
#if GTK_CHECK_VERSION(4, 10, 0)
    static void onFileChosen(GObject* dialog, GAsyncResult*, gpointer choice);
#else
    static void onChooserResponse(GtkNativeDialog*, int response, gpointer job);
#endif
    static void saveTo(Job* job, const char* path);
    static void onFailed(WebKitDownload*, GError*, gpointer job);
    static void onFinished(WebKitDownload*, gpointer job);

    void end(Job& job, const DownloadOutcome* outcome);

    WebKitWebView* view;
    GObjectPtr<WebKitNetworkSession> session;
    std::weak_ptr<WebViewDelegate> delegate;
    std::list<std::unique_ptr<Job>> jobs;
    std::optional<SignalConnection> downloadStarted;
};

}  // namespace quorva

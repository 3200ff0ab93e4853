#pragma once

#include "platform/gtk/download_gtk.h"
#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/page_embed_gtk.h"
#include "platform/gtk/page_process_gtk.h"
#include "platform/gtk/print_gtk.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

#include <memory>

namespace quorva {

// A WebKitWebView that reports to a WebViewDelegate.
class GtkWebView final : public WebView {
public:
    GtkWebView(const WebViewConfiguration& configuration, std::weak_ptr<WebViewDelegate> delegate);
    GtkWebView(const GtkWebView&) = delete;
    GtkWebView& operator=(const GtkWebView&) = delete;

    void loadHtml(const std::string& html) override;
    void loadRequest(const Url& url, double timeoutSeconds) override;
    void reload() override;
    void evaluateScript(const std::string& script) override;
    std::optional<Url> currentUrl() const override;
    void runEditCommand(EditCommand command) override;
    void showNotice(const Notice& notice) override;
    bool tryClose() override;
    std::string title() const override;
    void print(const std::string& fileName) override;
    void showFindBar() override;
    void endFind() override;

    // The view with its find bar and notice bar: what the window holds.
    std::weak_ptr<GtkPageEmbed> embed() const { return pageEmbed; }
    WebKitWebView* webKitView() const { return view.get(); }

private:
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType,
                                   gpointer self);
    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer self);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failingUri, GError*,
                                 gpointer self);
    static gboolean onPermissionRequest(WebKitWebView*, WebKitPermissionRequest*, gpointer self);
    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog*, gpointer self);
    static void onClose(WebKitWebView*, gpointer self);

    std::optional<Url> urlOfAction(WebKitNavigationAction* action) const;
    gboolean decideResponse(WebKitResponsePolicyDecision* decision, WebViewDelegate& delegate);

    GObjectPtr<WebKitWebView> view;
    std::weak_ptr<WebViewDelegate> delegate;
    std::unique_ptr<PageProcessWatch> processWatch;
    // WebKit reports a failed load as finished too; only one outcome counts.
    bool currentLoadFailed = false;
    // The current main-frame load's response went to a download.
    bool currentLoadBecameDownload = false;
    // A close reported while tryClose runs is the page's answer at once.
    bool tryingClose = false;
    bool closedAtOnce = false;
    std::unique_ptr<GtkDownloads> downloads;
    std::shared_ptr<GtkPageEmbed> pageEmbed;
    GtkPagePrinter printer;
    std::vector<SignalConnection> signals;
};

}  // namespace quorva

#pragma once

#include "platform/gtk/page_process_gtk.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

namespace quorva {

// A WebKitWebView that reports to a WebViewDelegate.
class GtkWebView final : public WebView {
public:
    GtkWebView(const WebViewConfiguration& configuration, std::weak_ptr<WebViewDelegate> delegate);
    ~GtkWebView() override;
    GtkWebView(const GtkWebView&) = delete;
    GtkWebView& operator=(const GtkWebView&) = delete;

    void loadHtml(const std::string& html) override;
    void loadRequest(const Url& url, double timeoutSeconds) override;
    void reload() override;
    void evaluateScript(const std::string& script) override;
    std::optional<Url> currentUrl() const override;
    void runEditCommand(EditCommand command) override;

    GtkWidget* widget() const { return GTK_WIDGET(view); }

private:
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType,
                                   gpointer self);
    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer self);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failingUri, GError*,
                                 gpointer self);

    static gboolean reportCancellation(gpointer self);
    std::optional<Url> urlOfAction(WebKitNavigationAction* action) const;
    void reportFailure(bool committed, const LoadFailure& failure);

    WebKitWebView* view;
    std::weak_ptr<WebViewDelegate> delegate;
    std::unique_ptr<PageProcessWatch> processWatch;
    // WebKit reports a failed load as finished too; only one outcome counts.
    bool currentLoadFailed = false;
    // Navigations let through so far, and how many there were when the
    // current load started: a later one is what cancelled it.
    unsigned long navigationsAllowed = 0;
    unsigned long navigationsAllowedAtStart = 0;
    guint pendingCancellation = 0;
    bool pendingCommitted = false;
    LoadFailure pendingFailure;
    unsigned long pendingAllowedAtStart = 0;
};

}  // namespace quorva

#include "platform/gtk/web_view_gtk.h"

#include "platform/gtk/history_gtk.h"
#include "platform/gtk/url_glib.h"

namespace quorva {

GtkWebView::GtkWebView(const WebViewConfiguration& configuration,
                       std::weak_ptr<WebViewDelegate> delegate)
    : delegate(std::move(delegate))
{
    WebKitNetworkSession* session = configuration.persistentDataStore
                                        ? webkit_network_session_get_default()
                                        : webkit_network_session_new_ephemeral();
    // The view only ever shows the local server, which a proxy from the
    // environment could not reach; the server still gets that environment.
    webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
    view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr));
    if (!configuration.persistentDataStore)
        g_object_unref(session);
    // The window holds the widget; this reference keeps it across reparenting.
    g_object_ref_sink(view);

    WebKitSettings* settings = webkit_web_view_get_settings(view);
    webkit_settings_set_enable_developer_extras(settings, configuration.inspectable);

    const GdkRGBA white{1.0f, 1.0f, 1.0f, 1.0f};
    webkit_web_view_set_background_color(view, &white);

    processWatch = std::make_unique<PageProcessWatch>(view, this->delegate);
    addHistoryControls(view);
    g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(view, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(view, "load-failed", G_CALLBACK(onLoadFailed), this);

    downloads = std::make_unique<GtkDownloads>(view, this->delegate);
    noticeBar = std::make_unique<GtkNoticeBar>(GTK_WIDGET(view));
}

GtkWebView::~GtkWebView()
{
    downloads.reset();
    noticeBar.reset();
    processWatch.reset();
    g_signal_handlers_disconnect_by_data(view, this);
    g_object_unref(view);
}

void GtkWebView::loadHtml(const std::string& html)
{
    processWatch->statusPageRequested(html);
    webkit_web_view_load_html(view, html.c_str(), nullptr);
}

void GtkWebView::loadRequest(const Url& url, double)
{
    // WebKitGTK has no per-request time-out; its network stack applies its own.
    WebKitURIRequest* request = webkit_uri_request_new(url.text.c_str());
    webkit_web_view_load_request(view, request);
    g_object_unref(request);
}

void GtkWebView::reload()
{
    webkit_web_view_reload(view);
}

void GtkWebView::evaluateScript(const std::string& script)
{
    webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
}

std::optional<Url> GtkWebView::currentUrl() const
{
    // The URI is null before content has begun loading.
    const char* uri = webkit_web_view_get_uri(view);
    if (!uri)
        return std::nullopt;
    return parseWebKitUrl(uri);
}

void GtkWebView::runEditCommand(EditCommand command)
{
    const char* name = WEBKIT_EDITING_COMMAND_SELECT_ALL;
    switch (command) {
    case EditCommand::Undo:
        name = WEBKIT_EDITING_COMMAND_UNDO;
        break;
    case EditCommand::Redo:
        name = WEBKIT_EDITING_COMMAND_REDO;
        break;
    case EditCommand::Cut:
        name = WEBKIT_EDITING_COMMAND_CUT;
        break;
    case EditCommand::Copy:
        name = WEBKIT_EDITING_COMMAND_COPY;
        break;
    case EditCommand::Paste:
        name = WEBKIT_EDITING_COMMAND_PASTE;
        break;
    case EditCommand::SelectAll:
        break;
    }
    webkit_web_view_execute_editing_command(view, name);
}

void GtkWebView::showNotice(const Notice& notice)
{
    noticeBar->show(notice);
}

std::optional<Url> GtkWebView::urlOfAction(WebKitNavigationAction* action) const
{
    WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    if (!uri || !*uri)
        return std::nullopt;
    if (auto url = parseWebKitUrl(uri))
        return url;
    // Unparsable but present: it still must not load in the window.
    return Url{uri, "", ""};
}

gboolean GtkWebView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                    WebKitPolicyDecisionType type, gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    auto delegate = self->delegate.lock();
    if (!delegate)
        return FALSE;
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        return self->decideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision), *delegate);
    auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
    const auto url = self->urlOfAction(webkit_navigation_policy_decision_get_navigation_action(navigation));
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        delegate->createWebViewForNavigationAction(url);
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (delegate->decidePolicyForNavigationAction(url) == NavigationPolicy::Allow)
        webkit_policy_decision_use(decision);
    else
        webkit_policy_decision_ignore(decision);
    return TRUE;
}

gboolean GtkWebView::decideResponse(WebKitResponsePolicyDecision* decision,
                                    WebViewDelegate& delegate)
{
    Response response;
    response.mimeTypeSupported = webkit_response_policy_decision_is_mime_type_supported(decision);
    WebKitURIResponse* received = webkit_response_policy_decision_get_response(decision);
    SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(received);
    const char* disposition = headers ? soup_message_headers_get_one(headers, "Content-Disposition")
                                      : nullptr;
    response.contentDisposition = disposition ? disposition : "";
    if (delegate.decidePolicyForResponse(response) == ResponsePolicy::Show)
        return FALSE;
    // WebKit then ends the navigation as "interrupted", which is no failure.
    if (webkit_response_policy_decision_is_main_frame_main_resource(decision))
        currentLoadBecameDownload = true;
    webkit_policy_decision_download(WEBKIT_POLICY_DECISION(decision));
    return TRUE;
}

GtkWidget* GtkWebView::onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    if (auto delegate = self->delegate.lock())
        delegate->createWebViewForNavigationAction(self->urlOfAction(action));
    return nullptr;
}

void GtkWebView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    auto delegate = self->delegate.lock();
    if (event == WEBKIT_LOAD_STARTED) {
        self->currentLoadFailed = false;
        self->currentLoadBecameDownload = false;
        if (delegate)
            delegate->didStartProvisionalNavigation();
        return;
    }
    if (event != WEBKIT_LOAD_FINISHED || self->currentLoadFailed)
        return;
    if (delegate)
        delegate->didFinishNavigation();
}

gboolean GtkWebView::onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                                  gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    self->currentLoadFailed = true;
    if (self->processWatch->reportedNetworkProcessLoss(error))
        return TRUE;
    LoadFailure failure;
    failure.description = error && error->message ? error->message : "";
    // WebKit ends a navigation whose response became a download, and one that a
    // newer load replaced, with this same interruption.
    const bool interrupted = g_error_matches(
        error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
    if (interrupted && self->currentLoadBecameDownload)
        failure.cause = LoadFailure::Cause::BecameDownload;
    else if (interrupted ||
             g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
        failure.cause = LoadFailure::Cause::Stopped;
    if (auto delegate = self->delegate.lock()) {
        if (event == WEBKIT_LOAD_COMMITTED)
            delegate->didFailNavigation(failure);
        else
            delegate->didFailProvisionalNavigation(failure);
    }
    // Handled: WebKit must not show its own error page.
    return TRUE;
}

}  // namespace quorva

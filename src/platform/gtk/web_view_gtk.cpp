#include "platform/gtk/web_view_gtk.h"

#include "platform/gtk/application_name_gtk.h"
#include "platform/gtk/history_gtk.h"
#include "platform/gtk/url_glib.h"

namespace quorva {

namespace {

// WebKit's default session would name its folders after the program, which
// is the application's own name with capitals: the data stays where it was.
WebKitNetworkSession* persistentSession()
{
    static WebKitNetworkSession* session = [] {
        g_autofree char* data = g_build_filename(g_get_user_data_dir(), dataFolderName, nullptr);
        g_autofree char* cache = g_build_filename(g_get_user_cache_dir(), dataFolderName, nullptr);
        return webkit_network_session_new(data, cache);
    }();
    return session;
}

}  // namespace

GtkWebView::GtkWebView(const WebViewConfiguration& configuration,
                       std::weak_ptr<WebViewDelegate> delegate)
    : delegate(std::move(delegate))
{
    // The persistent session lives for the run; an ephemeral one as long as its views.
    const auto ephemeral = configuration.persistentDataStore
                               ? nullptr
                               : adoptGObject(webkit_network_session_new_ephemeral());
    WebKitNetworkSession* session =
        ephemeral ? ephemeral.get() : persistentSession();
    // The view only ever shows the local server, which a proxy from the
    // environment could not reach; the server still gets that environment.
    webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
    // The window holds the widget; this reference keeps it across reparenting.
    view = retainGObject(
        WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr)));

    WebKitSettings* settings = webkit_web_view_get_settings(view.get());
    webkit_settings_set_enable_developer_extras(settings, configuration.inspectable);

    const GdkRGBA white{1.0f, 1.0f, 1.0f, 1.0f};
    webkit_web_view_set_background_color(view.get(), &white);

    processWatch = std::make_unique<PageProcessWatch>(view.get(), this->delegate);
    addHistoryControls(view.get());
    signals.emplace_back(view.get(), "decide-policy", G_CALLBACK(onDecidePolicy), this);
    signals.emplace_back(view.get(), "create", G_CALLBACK(onCreate), this);
    signals.emplace_back(view.get(), "load-changed", G_CALLBACK(onLoadChanged), this);
    signals.emplace_back(view.get(), "load-failed", G_CALLBACK(onLoadFailed), this);
    signals.emplace_back(view.get(), "permission-request", G_CALLBACK(onPermissionRequest), this);
    signals.emplace_back(view.get(), "script-dialog", G_CALLBACK(onScriptDialog), this);
    signals.emplace_back(view.get(), "close", G_CALLBACK(onClose), this);

    downloads = std::make_unique<GtkDownloads>(view.get(), this->delegate);
    pageEmbed = std::make_shared<GtkPageEmbed>(view.get());
}

void GtkWebView::loadHtml(const std::string& html)
{
    processWatch->statusPageRequested(html);
    webkit_web_view_load_html(view.get(), html.c_str(), nullptr);
}

void GtkWebView::loadRequest(const Url& url, double)
{
    // WebKitGTK has no per-request time-out; its network stack applies its own.
    g_autoptr(WebKitURIRequest) request = webkit_uri_request_new(url.text.c_str());
    webkit_web_view_load_request(view.get(), request);
}

void GtkWebView::reload()
{
    webkit_web_view_reload(view.get());
}

void GtkWebView::evaluateScript(const std::string& script)
{
    webkit_web_view_evaluate_javascript(view.get(), script.c_str(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

std::optional<Url> GtkWebView::currentUrl() const
{
    // The URI is null before content has begun loading.
    const char* uri = webkit_web_view_get_uri(view.get());
    if (!uri)
        return std::nullopt;
    return parseWebKitUrl(uri);
}

void GtkWebView::runEditCommand(EditCommand command)
{
    pageEmbed->runEditCommand(command);
}

void GtkWebView::showNotice(const Notice& notice)
{
    pageEmbed->noticeBar().show(notice);
}

bool GtkWebView::tryClose()
{
    tryingClose = true;
    closedAtOnce = false;
    webkit_web_view_try_close(view.get());
    tryingClose = false;
    return closedAtOnce;
}

std::string GtkWebView::title() const
{
    const char* title = webkit_web_view_get_title(view.get());
    return title ? title : "";
}

void GtkWebView::print(const std::string& fileName)
{
    printer.print(view.get(), fileName, delegate);
}

void GtkWebView::showFindBar()
{
    pageEmbed->findBar().show();
}

void GtkWebView::endFind()
{
    pageEmbed->findBar().end();
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

gboolean GtkWebView::onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                         gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    PermissionKind kind = PermissionKind::Other;
    if (WEBKIT_IS_GEOLOCATION_PERMISSION_REQUEST(request))
        kind = PermissionKind::Geolocation;
    else if (WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request))
        kind = PermissionKind::Notifications;
    else if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request))
        kind = webkit_user_media_permission_is_for_video_device(
                   WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request))
                   ? PermissionKind::Camera
                   : PermissionKind::Microphone;
    else if (WEBKIT_IS_CLIPBOARD_PERMISSION_REQUEST(request))
        kind = PermissionKind::ClipboardRead;
    auto delegate = self->delegate.lock();
    if (delegate && delegate->decidePolicyForPermissionRequest(kind) == PermissionPolicy::Allow)
        webkit_permission_request_allow(request);
    else
        webkit_permission_request_deny(request);
    // Decided: WebKit must not ask the user itself.
    return TRUE;
}

gboolean GtkWebView::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    auto delegate = self->delegate.lock();
    const auto type = webkit_script_dialog_get_dialog_type(dialog);
    // Alerts and prompts keep WebKit's own dialogs.
    if (!delegate || (type != WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM &&
                      type != WEBKIT_SCRIPT_DIALOG_CONFIRM))
        return FALSE;
    auto answer = [dialog = webkit_script_dialog_ref(dialog)](bool yes) {
        webkit_script_dialog_confirm_set_confirmed(dialog, yes);
        webkit_script_dialog_close(dialog);
        webkit_script_dialog_unref(dialog);
    };
    if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM)
        return delegate->runConfirmPanel(webkit_script_dialog_get_message(dialog), answer), TRUE;
    delegate->runBeforeUnloadConfirmPanel(answer);
    return TRUE;
}

void GtkWebView::onClose(WebKitWebView*, gpointer data)
{
    auto* self = static_cast<GtkWebView*>(data);
    if (self->tryingClose) {
        self->closedAtOnce = true;
        return;
    }
    if (auto delegate = self->delegate.lock())
        delegate->webViewDidClose();
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

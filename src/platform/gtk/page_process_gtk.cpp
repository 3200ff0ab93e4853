#include "platform/gtk/page_process_gtk.h"

#include <cstring>

namespace quorva {

namespace {

// A status page lost with a replaced process is loaded again, but not forever.
constexpr int statusPageRetryLimit = 2;

// Every status page has content; an empty body is the bare about:blank that
// WebKit loads in a replacement process.
constexpr const char* statusPageCheck =
    "document.body !== null && document.body.childElementCount > 0";

bool isBlank(WebKitWebView* view)
{
    const char* uri = webkit_web_view_get_uri(view);
    return uri && std::strcmp(uri, "about:blank") == 0;
}

}  // namespace

PageProcessWatch::PageProcessWatch(WebKitWebView* view, std::weak_ptr<WebViewDelegate> delegate)
    : view(view), delegate(std::move(delegate)), checks(adoptGObject(g_cancellable_new()))
{
    signals.emplace_back(view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    signals.emplace_back(view, "load-changed", G_CALLBACK(onLoadChanged), this);
}

PageProcessWatch::~PageProcessWatch()
{
    g_cancellable_cancel(checks.get());
}

void PageProcessWatch::statusPageRequested(const std::string& html)
{
    statusPage = html;
    statusPageRetries = 0;
}

bool PageProcessWatch::reportedNetworkProcessLoss(const GError* error)
{
    // WebKit's own internal error: a load the page process could not hand to
    // the network process because that process is gone.
    constexpr int internalErrorCode = 300;
    if (!error || error->code != internalErrorCode ||
        std::strcmp(g_quark_to_string(error->domain), "WebKitErrorDomain") != 0)
        return false;
    report(WebProcessTermination::NetworkProcessLost);
    return true;
}

void PageProcessWatch::report(WebProcessTermination reason)
{
    if (auto target = delegate.lock())
        target->webContentProcessDidTerminate(reason);
}

void PageProcessWatch::onWebProcessTerminated(WebKitWebView*,
                                              WebKitWebProcessTerminationReason reason,
                                              gpointer data)
{
    auto* self = static_cast<PageProcessWatch*>(data);
    switch (reason) {
    case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT:
        return self->report(WebProcessTermination::ExceededMemoryLimit);
    case WEBKIT_WEB_PROCESS_TERMINATED_BY_API:
        return self->report(WebProcessTermination::TerminatedByApi);
    case WEBKIT_WEB_PROCESS_CRASHED:
        break;
    }
    self->report(WebProcessTermination::Crashed);
}

void PageProcessWatch::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data)
{
    auto* self = static_cast<PageProcessWatch*>(data);
    const bool blank = isBlank(view);
    // Any other document means the status page is no longer wanted.
    if (event == WEBKIT_LOAD_STARTED && !blank)
        self->statusPage.clear();
    if (event != WEBKIT_LOAD_FINISHED || self->statusPage.empty() || !blank)
        return;
    webkit_web_view_evaluate_javascript(view, statusPageCheck, -1, nullptr, nullptr,
                                        self->checks.get(), onStatusPageChecked, self);
}

void PageProcessWatch::onStatusPageChecked(GObject* object, GAsyncResult* result, gpointer data)
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(JSCValue) value =
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(object), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return;
    auto* self = static_cast<PageProcessWatch*>(data);
    if ((value && jsc_value_to_boolean(value)) || !isBlank(self->view))
        return;
    if (self->statusPageRetries >= statusPageRetryLimit)
        return;
    ++self->statusPageRetries;
    webkit_web_view_load_html(self->view, self->statusPage.c_str(), nullptr);
}

}  // namespace quorva

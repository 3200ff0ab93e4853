#include "platform/gtk/download_gtk.h"

#include <glib/gstdio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quorva {

namespace {

// The user's Downloads folder, or home when there is none.
std::string downloadsFolder()
{
    const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    if (folder && g_file_test(folder, G_FILE_TEST_IS_DIR))
        return folder;
    return g_get_home_dir();
}

DownloadOutcome::Error errorOfErrno(int code)
{
    switch (code) {
    case ENOSPC:
    case EDQUOT:
        return DownloadOutcome::Error::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
        return DownloadOutcome::Error::NoPermission;
    default:
        return DownloadOutcome::Error::Other;
    }
}

bool mentions(const char* message, int code)
{
    return message && std::strstr(message, g_strerror(code));
}

// WebKit words a destination's failure with the system's text for the errno,
// in this process's language.
DownloadOutcome::Error errorOf(const GError* error)
{
    if (g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_NETWORK))
        return DownloadOutcome::Error::Connection;
    const char* message = error ? error->message : nullptr;
    for (int code : {ENOSPC, EDQUOT, EACCES, EPERM, EROFS}) {
        if (mentions(message, code))
            return errorOfErrno(code);
    }
    return DownloadOutcome::Error::Other;
}

// A server that closes the connection early can end a body short of its
// announced length without WebKit calling it a failure.
bool endedShort(WebKitDownload* download)
{
    WebKitURIResponse* response = webkit_download_get_response(download);
    const guint64 announced = response ? webkit_uri_response_get_content_length(response) : 0;
    SoupMessageHeaders* headers =
        response ? webkit_uri_response_get_http_headers(response) : nullptr;
    // The announced length counts encoded bytes; WebKit counts decoded ones.
    if (announced == 0 || (headers && soup_message_headers_get_one(headers, "Content-Encoding")))
        return false;
    return webkit_download_get_received_data_length(download) < announced;
}

// Hidden, in the same folder, so the rename at the end cannot cross file systems.
std::string partialTemplate(const std::string& path)
{
    g_autofree char* name = g_path_get_basename(path.c_str());
    std::string shortName = "download";
    if (g_utf8_validate(name, -1, nullptr)) {
        const glong length = std::min<glong>(60, g_utf8_strlen(name, -1));
        g_autofree char* cut = g_utf8_substring(name, 0, length);
        shortName = cut;
    }
    g_autofree char* folder = g_path_get_dirname(path.c_str());
    g_autofree char* file = g_build_filename(folder,
                                             ("." + shortName + ".XXXXXX.part").c_str(), nullptr);
    return file;
}

}  // namespace

struct GtkDownloads::Job {
    GtkDownloads* owner;
    GObjectPtr<WebKitDownload> download;
    std::vector<SignalConnection> signals;
#if GTK_CHECK_VERSION(4, 10, 0)
    GObjectPtr<GCancellable> choosing;
#else
    GObjectPtr<GtkFileChooserNative> chooser;
    std::optional<SignalConnection> chooserResponse;
#endif
    std::string suggestedName;
    std::string finalPath;
    std::string partialPath;
    bool cancelledByUser = false;
};

#if GTK_CHECK_VERSION(4, 10, 0)
struct GtkDownloads::Choice {
    Job* job;
    GObjectPtr<GCancellable> choosing;
};
#endif

GtkDownloads::GtkDownloads(WebKitWebView* view, std::weak_ptr<WebViewDelegate> delegate)
    : view(view),
      session(retainGObject(webkit_web_view_get_network_session(view))),
      delegate(std::move(delegate))
{
    downloadStarted.emplace(session.get(), "download-started", G_CALLBACK(onDownloadStarted), this);
}

GtkDownloads::~GtkDownloads()
{
    downloadStarted.reset();
    while (!jobs.empty()) {
        const auto download = retainGObject(jobs.front()->download.get());
        end(*jobs.front(), nullptr);
        webkit_download_cancel(download.get());
    }
}

void GtkDownloads::onDownloadStarted(WebKitNetworkSession*, WebKitDownload* download,
                                     gpointer data)
{
    auto* self = static_cast<GtkDownloads*>(data);
    if (webkit_download_get_web_view(download) != self->view)
        return;
    auto job = std::make_unique<Job>();
    job->owner = self;
    job->download = retainGObject(download);
    job->signals.emplace_back(download, "decide-destination", G_CALLBACK(onDecideDestination),
                              job.get());
    job->signals.emplace_back(download, "failed", G_CALLBACK(onFailed), job.get());
    job->signals.emplace_back(download, "finished", G_CALLBACK(onFinished), job.get());
    self->jobs.push_back(std::move(job));
}

gboolean GtkDownloads::onDecideDestination(WebKitDownload*, gchar* suggestedName, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    job->suggestedName = suggestedName && *suggestedName ? suggestedName : "download";
    GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(job->owner->view));
    GtkWindow* parent = GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr;
    g_autoptr(GFile) folder = g_file_new_for_path(downloadsFolder().c_str());
#if GTK_CHECK_VERSION(4, 10, 0)
    // Through the desktop's portal when it has one.
    g_autoptr(GtkFileDialog) dialog = gtk_file_dialog_new();
    gtk_file_dialog_set_title(dialog, "บันทึกไฟล์");
    gtk_file_dialog_set_accept_label(dialog, "บันทึก");
    gtk_file_dialog_set_modal(dialog, TRUE);
    gtk_file_dialog_set_initial_folder(dialog, folder);
    gtk_file_dialog_set_initial_name(dialog, job->suggestedName.c_str());
    job->choosing = adoptGObject(g_cancellable_new());
    // The answer may come after the job has ended; the cancellable it holds tells.
    gtk_file_dialog_save(dialog, parent, job->choosing.get(), onFileChosen,
                         new Choice{job, retainGObject(job->choosing.get())});
#else
    job->chooser = adoptGObject(gtk_file_chooser_native_new(
        "บันทึกไฟล์", parent, GTK_FILE_CHOOSER_ACTION_SAVE, "บันทึก", "ยกเลิก"));
    GtkNativeDialog* chooser = GTK_NATIVE_DIALOG(job->chooser.get());
    gtk_native_dialog_set_modal(chooser, TRUE);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder, nullptr);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), job->suggestedName.c_str());
    job->chooserResponse.emplace(chooser, "response", G_CALLBACK(onChooserResponse), job);
    gtk_native_dialog_show(chooser);
#endif
    // The download waits until a destination is set or it is cancelled.
    return TRUE;
}

#if GTK_CHECK_VERSION(4, 10, 0)
void GtkDownloads::onFileChosen(GObject* dialog, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<Choice> choice(static_cast<Choice*>(data));
    g_autoptr(GFile) file = gtk_file_dialog_save_finish(GTK_FILE_DIALOG(dialog), result, nullptr);
    if (g_cancellable_is_cancelled(choice->choosing.get()))
        return;
    choice->job->choosing.reset();
    g_autofree char* path = file ? g_file_get_path(file) : nullptr;
    saveTo(choice->job, path);
}
#else
void GtkDownloads::onChooserResponse(GtkNativeDialog* dialog, int response, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    g_autoptr(GFile) file = response == GTK_RESPONSE_ACCEPT
                                ? gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))
                                : nullptr;
    g_autofree char* path = file ? g_file_get_path(file) : nullptr;
    job->chooserResponse.reset();
    gtk_native_dialog_destroy(dialog);
    job->chooser.reset();
    saveTo(job, path);
}
#endif

void GtkDownloads::saveTo(Job* job, const char* path)
{
    if (!path) {
        job->cancelledByUser = true;
        webkit_download_cancel(job->download.get());
        return;
    }
    job->finalPath = path;
    std::string partial = partialTemplate(job->finalPath);
    std::vector<char> name(partial.begin(), partial.end());
    name.push_back('\0');
    const int fd = g_mkstemp_full(name.data(), O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int code = errno;
        const DownloadOutcome outcome{job->finalPath, errorOfErrno(code), g_strerror(code)};
        const auto download = retainGObject(job->download.get());
        job->owner->end(*job, &outcome);
        webkit_download_cancel(download.get());
        return;
    }
    close(fd);
    job->partialPath = name.data();
    // The placeholder reserves the name; WebKit writes over it.
    webkit_download_set_allow_overwrite(job->download.get(), TRUE);
    webkit_download_set_destination(job->download.get(), job->partialPath.c_str());
}

void GtkDownloads::onFailed(WebKitDownload*, GError* error, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    if (job->cancelledByUser) {
        job->owner->end(*job, nullptr);
        return;
    }
    const std::string path = job->finalPath.empty() ? job->suggestedName : job->finalPath;
    const char* message = error && error->message ? error->message : "";
    const DownloadOutcome outcome{path, errorOf(error), message};
    job->owner->end(*job, &outcome);
}

void GtkDownloads::onFinished(WebKitDownload*, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    DownloadOutcome outcome{job->finalPath, DownloadOutcome::Error::None, ""};
    if (endedShort(job->download.get())) {
        outcome.error = DownloadOutcome::Error::Connection;
        job->owner->end(*job, &outcome);
        return;
    }
    // On disk before it takes the name, so a crash leaves the old file or the whole new one.
    const int fd = g_open(job->partialPath.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    if (g_rename(job->partialPath.c_str(), job->finalPath.c_str()) == 0) {
        job->partialPath.clear();
    } else {
        const int code = errno;
        outcome.error = errorOfErrno(code);
        outcome.detail = g_strerror(code);
    }
    job->owner->end(*job, &outcome);
}

void GtkDownloads::end(Job& job, const DownloadOutcome* outcome)
{
    job.signals.clear();
#if GTK_CHECK_VERSION(4, 10, 0)
    if (job.choosing) {
        g_cancellable_cancel(job.choosing.get());
        job.choosing.reset();
    }
#else
    if (job.chooser) {
        job.chooserResponse.reset();
        gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(job.chooser.get()));
        job.chooser.reset();
    }
#endif
    // Nothing incomplete stays behind, not even under the temporary name.
    if (!job.partialPath.empty())
        g_unlink(job.partialPath.c_str());
    jobs.remove_if([&job](const auto& entry) { return entry.get() == &job; });
    if (!outcome)
        return;
    if (auto target = delegate.lock())
        target->downloadDidEnd(*outcome);
}

}  // namespace quorva

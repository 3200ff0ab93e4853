#include "platform/gtk/print_gtk.h"

namespace quorva {

void GtkPagePrinter::print(WebKitWebView* view, const std::string& fileName,
                           const std::weak_ptr<WebViewDelegate>& delegate)
{
    if (!printSettings)
        printSettings = adoptGObject(gtk_print_settings_new());
    if (!pageSetup) {
        // A shop's price lists go on A4 until the user picks otherwise.
        pageSetup = adoptGObject(gtk_page_setup_new());
        g_autoptr(GtkPaperSize) a4 = gtk_paper_size_new(GTK_PAPER_NAME_A4);
        gtk_page_setup_set_paper_size_and_default_margins(pageSetup.get(), a4);
    }
    gtk_print_settings_set(printSettings.get(), GTK_PRINT_SETTINGS_OUTPUT_BASENAME,
                           fileName.c_str());
    g_autoptr(WebKitPrintOperation) operation = webkit_print_operation_new(view);
    webkit_print_operation_set_print_settings(operation, printSettings.get());
    webkit_print_operation_set_page_setup(operation, pageSetup.get());
    g_signal_connect_data(
        operation, "failed", G_CALLBACK(+[](WebKitPrintOperation*, GError* error, gpointer data) {
            if (auto delegate = static_cast<std::weak_ptr<WebViewDelegate>*>(data)->lock())
                delegate->printDidFail(error && error->message ? error->message : "");
        }),
        new std::weak_ptr<WebViewDelegate>(delegate),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<WebViewDelegate>*>(data); },
        GConnectFlags(0));
    GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view));
    // Returns once the dialog is closed; the pages are drawn after, and
    // WebKit keeps the operation until they are.
    if (webkit_print_operation_run_dialog(operation, root ? GTK_WINDOW(root) : nullptr) ==
        WEBKIT_PRINT_OPERATION_RESPONSE_PRINT) {
        printSettings = retainGObject(webkit_print_operation_get_print_settings(operation));
        pageSetup = retainGObject(webkit_print_operation_get_page_setup(operation));
    }
}

}  // namespace quorva

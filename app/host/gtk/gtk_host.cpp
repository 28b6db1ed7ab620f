#include "gtk_host.hpp"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <random>

#include "icon.hpp"
#include "velvix/platform/browser.hpp"
#include "web_messages.hpp"
#include "web_text.hpp"

namespace velvix {

extern const std::string_view kWebViewBridgeScript;

namespace {

constexpr char kMessageChannel[] = "velvix";
constexpr char kCookieFile[] = "cookies.sqlite";
// Addresses in diagnostics are cut here: a data: address can be as long as a page.
constexpr std::size_t kShownAddressLength = 200;
// A camera brings several device nodes, and their permissions are set after they appear.
constexpr unsigned kDeviceSettleMilliseconds = 500;
constexpr std::string_view kVideoDevicePrefix = "video";

GdkPixbuf* drawIcon(int size) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(surface);
    paintIcon(cr, size);
    cairo_destroy(cr);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, size, size);
    cairo_surface_destroy(surface);
    return pixbuf;
}

void setIcons(GtkWindow* window) {
    GList* icons = nullptr;
    for (const int size : kIconSizes) {
        icons = g_list_append(icons, drawIcon(size));
    }
    gtk_window_set_icon_list(window, icons);
    g_list_free_full(icons, g_object_unref);
}

std::string scriptStringLiteral(std::u16string_view text) {
    std::string literal = "\"";
    appendScriptStringContent(literal, text);
    literal += '"';
    return literal;
}

// 128 random bits as hexadecimal digits.
std::string randomKey() {
    std::random_device random;
    std::string key;
    for (int part = 0; part < 4; ++part) {
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(random()));
        key += digits;
    }
    return key;
}

std::string shownAddress(const std::string& uri) {
    return uri.size() <= kShownAddressLength ? uri : uri.substr(0, kShownAddressLength) + "...";
}

// A folder only the user can enter, also when an earlier version made it open to others; a
// file in it that others could read is closed to them as well.
bool makePrivateFolder(const std::string& folder, const char* privateFile = nullptr) {
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0 || g_chmod(folder.c_str(), 0700) != 0) {
        return false;
    }
    if (privateFile == nullptr) {
        return true;
    }
    const std::string file = folder + "/" + privateFile;
    const int fd = g_open(file.c_str(), O_RDONLY | O_CREAT, 0600);
    return fd >= 0 && g_close(fd, nullptr) && g_chmod(file.c_str(), 0600) == 0;
}

void switchOffFeature(WebKitSettings* settings, const char* identifier) {
    WebKitFeatureList* features = webkit_settings_get_all_features();
    for (gsize i = 0; i < webkit_feature_list_get_length(features); ++i) {
        WebKitFeature* feature = webkit_feature_list_get(features, i);
        if (std::string_view(webkit_feature_get_identifier(feature)) == identifier) {
            webkit_settings_set_feature_enabled(settings, feature, FALSE);
        }
    }
    webkit_feature_list_unref(features);
}

// The text of a message the top frame's bridge posted as [key, text]; null for anything else.
JSCValue* bridgeMessageText(JSCValue* message, const std::string& key) {
    if (!jsc_value_is_array(message)) {
        return nullptr;
    }
    JSCValue* carried = jsc_value_object_get_property_at_index(message, 0);
    char* carriedKey = jsc_value_is_string(carried) ? jsc_value_to_string(carried) : nullptr;
    const bool keyMatches = carriedKey != nullptr && key == carriedKey;
    g_free(carriedKey);
    g_object_unref(carried);
    return keyMatches ? jsc_value_object_get_property_at_index(message, 1) : nullptr;
}

}  // namespace

struct GtkWebViewHost::Signals {
    static void loadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
        auto* host = static_cast<GtkWebViewHost*>(self);
        if (event == WEBKIT_LOAD_STARTED) {
            const char* uri = webkit_web_view_get_uri(view);
            host->navigationStarted(uri != nullptr ? uri : "");
        } else if (event == WEBKIT_LOAD_FINISHED) {
            host->navigationFinished();
        }
    }
    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, char* uri, GError*, gpointer self) {
        static_cast<GtkWebViewHost*>(self)->navigationFailed(uri);
        return FALSE;
    }
    static void scriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                              gpointer self) {
        auto* host = static_cast<GtkWebViewHost*>(self);
        JSCValue* value =
            bridgeMessageText(webkit_javascript_result_get_js_value(result), host->messageKey_);
        if (value == nullptr) {
            host->debug_("web message dropped: it did not come from the page's main frame");
            return;
        }
        if (!host->showsServicePage()) {
            host->debug_("web message dropped: the window shows no page of " +
                         host->origins_.origin());
        } else if (jsc_value_is_number(value)) {
            host->debug_(overlongMessageLine(static_cast<std::size_t>(jsc_value_to_double(value))));
        } else if (!jsc_value_is_string(value)) {
            host->debug_("web message dropped: the page posted something that is not a text");
        } else {
            char* text = jsc_value_to_string(value);
            host->receive(utf16FromUtf8(text));
            g_free(text);
        }
        g_object_unref(value);
    }
    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self) {
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
            return FALSE;
        }
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const bool followedLink = webkit_navigation_action_get_navigation_type(action) ==
                                      WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
                                  webkit_navigation_action_is_user_gesture(action);
        if (static_cast<GtkWebViewHost*>(self)->allowNavigation(
                uri != nullptr ? uri : "", followedLink,
                type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        return TRUE;
    }
    static gboolean contextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                                gpointer) {
        return TRUE;
    }
    static void webProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                     gpointer self) {
        static_cast<GtkWebViewHost*>(self)->showFailure("its web process ended");
    }
    // The window and its view stay until the host destroys them, after the main loop: GTK's
    // own destruction here would leave the host holding destroyed widgets.
    static gboolean closeRequested(GtkWidget*, GdkEvent*, gpointer self) {
        static_cast<GtkWebViewHost*>(self)->quit();
        return TRUE;
    }
    static void deviceChanged(GFileMonitor*, GFile* file, GFile*, GFileMonitorEvent event,
                              gpointer self) {
        char* name = g_file_get_basename(file);
        const bool video =
            name != nullptr && std::string_view(name).starts_with(kVideoDevicePrefix);
        g_free(name);
        if (video &&
            (event == G_FILE_MONITOR_EVENT_CREATED || event == G_FILE_MONITOR_EVENT_DELETED ||
             event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED)) {
            static_cast<GtkWebViewHost*>(self)->devicesChanged();
        }
    }
    static gboolean devicesSettled(gpointer self) {
        auto* host = static_cast<GtkWebViewHost*>(self);
        host->settleTimer_ = 0;
        host->remakeCameraList();
        return G_SOURCE_REMOVE;
    }
};

GtkWebViewHost::GtkWebViewHost(PageSetupScript& pageSetup, PageOriginPolicy origins,
                               DebugLines debug)
    : pageSetup_(pageSetup),
      origins_(std::move(origins)),
      debug_(std::move(debug)),
      messageKey_(randomKey()) {}

GtkWebViewHost::~GtkWebViewHost() {
    if (settleTimer_ != 0) {
        g_source_remove(settleTimer_);
    }
    if (devices_ != nullptr) {
        g_signal_handlers_disconnect_by_data(devices_, this);
        g_object_unref(devices_);
    }
    if (window_ != nullptr) {
        if (view_ != nullptr) {
            g_signal_handlers_disconnect_by_data(view_, this);
            g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view_),
                                                 this);
        }
        g_signal_handlers_disconnect_by_data(window_, this);
        gtk_widget_destroy(window_);
    }
}

void GtkWebViewHost::open(const std::string& firstPage, const std::string& dataFolder,
                          const std::string& cacheFolder) {
    createWindow();
    if (!makePrivateFolder(dataFolder, kCookieFile) || !makePrivateFolder(cacheFolder)) {
        showFailure("its folders " + dataFolder + " and " + cacheFolder +
                    " could not be made the user's own");
        return;
    }
    if (!createView(dataFolder, cacheFolder)) {
        showFailure("the web view could not be created");
        return;
    }
    // Both scripts are in force before the first page starts loading.
    webkit_web_view_load_uri(view_, firstPage.c_str());
}

void GtkWebViewHost::createWindow() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), kWindowTitle);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window_), kClientWidth, kClientHeight);
    gtk_window_move(GTK_WINDOW(window_), 0, 0);
    setIcons(GTK_WINDOW(window_));
    g_signal_connect(window_, "delete-event", G_CALLBACK(Signals::closeRequested), this);
    gtk_widget_show(window_);
}

bool GtkWebViewHost::createView(const std::string& dataFolder, const std::string& cacheFolder) {
    WebKitWebsiteDataManager* data =
        webkit_website_data_manager_new("base-data-directory", dataFolder.c_str(),
                                        "base-cache-directory", cacheFolder.c_str(), nullptr);
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(data);
    const std::string cookies = dataFolder + "/" + kCookieFile;
    webkit_cookie_manager_set_persistent_storage(
        webkit_website_data_manager_get_cookie_manager(data), cookies.c_str(),
        WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                         "user-content-manager", content, nullptr));
    g_object_unref(content);
    g_object_unref(context);
    g_object_unref(data);
    if (view_ == nullptr) {
        return false;
    }
    WebKitSettings* settings = webkit_web_view_get_settings(view_);
    webkit_settings_set_enable_javascript(settings, TRUE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    // A service worker that a page registers outlives the run and answers the next run's
    // requests in the service's place; with the feature off, none registered by an earlier
    // version runs either.
    switchOffFeature(settings, "ServiceWorkers");
    // Script dialogs use the view's own default dialogs; nothing is connected to replace them.
    g_signal_connect(view_, "context-menu", G_CALLBACK(Signals::contextMenu), this);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(Signals::decidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(Signals::loadChanged), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(Signals::loadFailed), this);
    g_signal_connect(view_, "web-process-terminated", G_CALLBACK(Signals::webProcessTerminated),
                     this);
    g_signal_connect(content,
                     std::string("script-message-received::").append(kMessageChannel).c_str(),
                     G_CALLBACK(Signals::scriptMessage), this);
    webkit_user_content_manager_register_script_message_handler(content, kMessageChannel);
    const std::string bridge = std::string(kWebViewBridgeScript) + "(\"" + messageKey_ + "\", " +
                               std::to_string(kMaxWebMessageUnits) + ");";
    for (const std::string_view script : {std::string_view(bridge), documentScript()}) {
        const std::string text(script);
        WebKitUserScript* user =
            webkit_user_script_new(text.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(content, user);
        webkit_user_script_unref(user);
    }
    gtk_widget_set_size_request(GTK_WIDGET(view_), kClientWidth, kClientHeight);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    gtk_widget_show(GTK_WIDGET(view_));
    return true;
}

void GtkWebViewHost::showFailure(const std::string& reason) {
    failed_ = true;
    debug_("velvix: the control panel cannot be shown: " + reason);
    if (view_ != nullptr) {
        g_signal_handlers_disconnect_by_data(view_, this);
        gtk_widget_destroy(GTK_WIDGET(view_));
        view_ = nullptr;
    }
    GtkWidget* label = gtk_label_new(
        "Velvix could not show its control panel.\n\n"
        "The picture keeps running with the settings it has. Restart Velvix to try again.");
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    gtk_widget_set_size_request(label, kClientWidth, kClientHeight);
    gtk_widget_set_margin_start(label, 24);
    gtk_widget_set_margin_end(label, 24);
    gtk_container_add(GTK_CONTAINER(window_), label);
    gtk_widget_show(label);
}

void GtkWebViewHost::navigationStarted(const std::string& uri) {
    // After a failure the view loads its own error page for the same address; that load is
    // part of the failed navigation.
    const bool errorPage = !failedUri_.empty() && uri == failedUri_;
    failedUri_.clear();
    loadFailed_ = errorPage;
}

void GtkWebViewHost::navigationFailed(const std::string& uri) {
    loadFailed_ = true;
    failedUri_ = uri;
}

void GtkWebViewHost::navigationFinished() {
    if (loadFailed_) {
        return;
    }
    if (!showsServicePage()) {
        debug_("velvix: the page setup script does not run outside " + origins_.origin());
        return;
    }
    runScript(pageSetup_.text());
    ++completedNavigations_;
}

bool GtkWebViewHost::allowNavigation(const std::string& uri, bool followedLink, bool newWindow) {
    switch (origins_.decide(uri, followedLink)) {
        case PageOriginPolicy::Navigation::show:
            if (!newWindow) {
                return true;
            }
            debug_("velvix: no second window for " + shownAddress(uri));
            return false;
        case PageOriginPolicy::Navigation::openInBrowser:
            openInBrowser(uri);
            return false;
        case PageOriginPolicy::Navigation::refuse:
            break;
    }
    debug_("velvix: refused to show " + shownAddress(uri) + ": the window shows only pages of " +
           origins_.origin());
    return false;
}

bool GtkWebViewHost::showsServicePage() const {
    const char* uri = view_ != nullptr ? webkit_web_view_get_uri(view_) : nullptr;
    return uri != nullptr && origins_.talksTo(uri);
}

void GtkWebViewHost::receive(const std::u16string& message) {
    if (receiver_) {
        receiver_(message);
    }
}

void GtkWebViewHost::postToPage(const std::u16string& text) {
    if (!showsServicePage()) {
        debug_("velvix: nothing posted back: the window shows no page of " + origins_.origin());
        return;
    }
    runScript("window.__velvixDeliver(" + scriptStringLiteral(text) + ");");
}

void GtkWebViewHost::navigate(const std::string& url) {
    if (view_ != nullptr) {
        webkit_web_view_load_uri(view_, url.c_str());
    }
}

void GtkWebViewHost::openInBrowser(const std::string& url) {
    struct Failure {
        std::weak_ptr<GtkWebViewHost*> host;
        std::string url;
    };
    const std::weak_ptr<GtkWebViewHost*> host = self_;
    const bool started = platform::openInBrowser(url, [host, url] {
        // On the opener's thread: the host is told on the main loop's.
        g_idle_add(
            [](gpointer data) -> gboolean {
                const std::unique_ptr<Failure> failure(static_cast<Failure*>(data));
                if (const auto alive = failure->host.lock()) {
                    (*alive)->browserFailed(failure->url);
                }
                return G_SOURCE_REMOVE;
            },
            new Failure{host, url});
    });
    if (!started) {
        browserFailed(url);
    }
}

void GtkWebViewHost::browserFailed(const std::string& url) {
    debug_("velvix: no web browser could be started for " + shownAddress(url));
    postToPage(browserFailedMessage(url));
}

void GtkWebViewHost::quit() {
    if (window_ != nullptr) {
        gtk_widget_hide(window_);
    }
    if (gtk_main_level() > 0) {
        gtk_main_quit();
    }
}

void GtkWebViewHost::bringToFront() {
    if (window_ != nullptr) {
        gtk_window_present(GTK_WINDOW(window_));
    }
}

void GtkWebViewHost::watchDevices(const std::string& folder) {
    GFile* file = g_file_new_for_path(folder.c_str());
    devices_ = g_file_monitor_directory(file, G_FILE_MONITOR_NONE, nullptr, nullptr);
    g_object_unref(file);
    if (devices_ == nullptr) {
        debug_("velvix: cameras plugged in later appear after a restart: " + folder +
               " cannot be watched");
        return;
    }
    g_signal_connect(devices_, "changed", G_CALLBACK(Signals::deviceChanged), this);
}

void GtkWebViewHost::devicesChanged() {
    if (settleTimer_ == 0) {
        settleTimer_ = g_timeout_add(kDeviceSettleMilliseconds, Signals::devicesSettled, this);
    }
}

void GtkWebViewHost::remakeCameraList() {
    debug_("velvix: the cameras changed; the list is made again");
    if (!loadFailed_ && showsServicePage()) {
        runScript(pageSetup_.text());
    }
}

void GtkWebViewHost::runScript(const std::string& script) {
    if (view_ != nullptr) {
        webkit_web_view_evaluate_javascript(view_, script.c_str(),
                                            static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    }
}

}  // namespace velvix

#include "gtk_app.hpp"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <optional>
#include <thread>

#include "gtk_host.hpp"
#include "host/app_core.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

gboolean quitMainLoop(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

// Ctrl+C, SIGTERM and the end of the terminal session end the main loop like closing the
// window, so the worker is stopped and joined in every case. GLib notes them whichever thread
// receives them. A pipe whose reader has gone (a browser opener's, say) must not end the
// program.
void quitOnStopSignals() {
    for (const int stopSignal : {SIGINT, SIGTERM, SIGHUP}) {
        g_unix_signal_add(stopSignal, quitMainLoop, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

// The desktop entry's id names the program, and so the window's app id on Wayland and the
// instance part of its WM_CLASS on X11; the entry's StartupWMClass is the class part. The class
// goes through GTK's own --class option, which takes effect before the display is opened, so
// that the client leader window carries it as well as the main window.
bool initGtkAsTheDesktopEntry() {
    g_set_prgname(VELVIX_APP_ID);
    char program[] = "velvix";
    char classOption[] = "--class";
    char windowClass[] = VELVIX_WINDOW_CLASS;
    char* arguments[] = {program, classOption, windowClass, nullptr};
    int count = 3;
    char** argv = arguments;
    return gtk_init_check(&count, &argv);
}

// One panel per user and ring: a second start finds the first through the session bus, asks it
// to bring its window to the front and ends. Without a session bus every start runs alone.
class SinglePanel {
  public:
    explicit SinglePanel(const std::string& ringName)
        : application_(g_application_new(panelInstanceName(VELVIX_APP_ID, ringName).c_str(),
                                         G_APPLICATION_DEFAULT_FLAGS)) {}
    ~SinglePanel() { g_object_unref(application_); }
    SinglePanel(const SinglePanel&) = delete;
    SinglePanel& operator=(const SinglePanel&) = delete;

    // True when another start shows the panel; it has been asked to bring it to the front.
    bool runsElsewhere() {
        GError* error = nullptr;
        if (!g_application_register(application_, nullptr, &error)) {
            platform::logLine(
                platform::LogCategory::app, platform::LogSeverity::warn,
                std::string("velvix: cannot tell whether Velvix runs already: ") + error->message);
            g_error_free(error);
            return false;
        }
        if (!g_application_get_is_remote(application_)) {
            return false;
        }
        g_application_activate(application_);
        // The request is sent on the bus's own thread; without waiting for it, a start that
        // ends at once can end before it is sent, and the first window never hears of it.
        g_dbus_connection_flush_sync(g_application_get_dbus_connection(application_), nullptr,
                                     nullptr);
        return true;
    }

    // Called on the main loop each time a later start asks for the window.
    void onLaterStart(GtkWebViewHost& host) {
        g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer data) {
                             static_cast<GtkWebViewHost*>(data)->bringToFront();
                             platform::logLine(
                                 platform::LogCategory::app, platform::LogSeverity::notice,
                                 "velvix: another start brought the window to the front");
                         }),
                         &host);
    }

  private:
    GApplication* application_;
};

std::string dataFolder() {
    return std::string(g_get_user_data_dir()) + "/velvix";
}

std::string cacheFolder() {
    return std::string(g_get_user_cache_dir()) + "/velvix";
}

}  // namespace

int runWindow(const AppOptions& options) {
    quitOnStopSignals();
    if (!initGtkAsTheDesktopEntry()) {
        platform::logLine(platform::LogCategory::app, platform::LogSeverity::error,
                          "velvix: no display to open the window on (use --headless)");
        return 1;
    }
    SinglePanel single(options.ringName);
    if (single.runsElsewhere()) {
        platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                          "velvix: already running; its window is brought to the front");
        return 0;
    }
    BundledService service;
    const auto origin = servePages(options, service);
    if (!origin) {
        return 1;
    }
    AppCore core(options, *origin);
    GtkWebViewHost host(core.pageSetup, PageOriginPolicy(core.origin), AppCore::pageLines());
    core.handleMessagesOfWindow(host);
    single.onLaterStart(host);
    core.sayStarted();
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                      "velvix: pages from " + core.origin);

    host.open(core.addresses.signUpPage, dataFolder(), cacheFolder());
    host.watchDevices("/dev");
    {
        const FrameService::Threads threads = core.frames.start();
        gtk_main();
    }
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                      "velvix: stopped; " + core.frames.statisticsLine());
    return 0;
}

}  // namespace velvix

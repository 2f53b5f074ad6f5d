#include "platform/desktop_notice_presenter.hpp"

#include <gio/gio.h>

#include <cstdlib>

namespace kestrel {
namespace {

constexpr const char* service = "org.freedesktop.Notifications";
constexpr const char* objectPath = "/org/freedesktop/Notifications";
// A notification outlives no request: the agent gets 60 s, then the request fails. A relay that
// dies with a notice up leaves it for no longer than this.
constexpr gint32 expireMilliseconds = 65000;
constexpr gint callMilliseconds = 5000;

struct VariantDeleter {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

// A call on the bus; the reply, or none after an error or time-out.
VariantPtr call(GDBusConnection* connection, const char* destination, const char* path,
                const char* interface, const char* method, GVariant* parameters,
                const char* replyType, gint timeout) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(connection, destination, path, interface, method, parameters,
                                    replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, &error);
    if (error != nullptr) g_error_free(error);
    return VariantPtr(reply);
}

// Whether a server answers the name now or the bus would start one.
bool hasNotificationServer(GDBusConnection* connection) {
    const VariantPtr owned =
        call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "NameHasOwner", g_variant_new("(s)", service), "(b)", 1000);
    gboolean hasOwner = FALSE;
    if (owned) g_variant_get(owned.get(), "(b)", &hasOwner);
    if (hasOwner) return true;
    const VariantPtr activatable =
        call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "ListActivatableNames", nullptr, "(as)", 1000);
    if (!activatable) return false;
    GVariantIter* names = nullptr;
    g_variant_get(activatable.get(), "(as)", &names);
    const gchar* name = nullptr;
    bool found = false;
    while (g_variant_iter_next(names, "&s", &name)) found = found || g_strcmp0(name, service) == 0;
    g_variant_iter_free(names);
    return found;
}

std::string escaped(const std::string& text) {
    gchar* markup = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
    std::string result(markup);
    g_free(markup);
    return result;
}

}  // namespace

std::unique_ptr<DesktopNoticePresenter> DesktopNoticePresenter::connect(
    OnePasswordQuery agentIsOnePassword) {
    // Without an address GLib would try to start a bus through X11; a relay has no use for that.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || address[0] == '\0') return nullptr;
    GError* error = nullptr;
    // A connection of our own rather than GLib's shared one, closed with the presenter.
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection == nullptr) {
        g_error_free(error);
        return nullptr;
    }
    if (!hasNotificationServer(connection)) {
        g_object_unref(connection);
        return nullptr;
    }
    return std::unique_ptr<DesktopNoticePresenter>(
        new DesktopNoticePresenter(connection, std::move(agentIsOnePassword)));
}

DesktopNoticePresenter::DesktopNoticePresenter(GDBusConnection* connection,
                                               OnePasswordQuery agentIsOnePassword)
    : connection_(connection),
      agentIsOnePassword_(std::move(agentIsOnePassword)),
      thread_([this] { run(); }) {}

DesktopNoticePresenter::~DesktopNoticePresenter() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    g_object_unref(connection_);
}

std::string DesktopNoticePresenter::body(const std::string& deviceName, const std::string& detail,
                                         bool onePassword) {
    std::string text = escaped("\u201C" + deviceName +
                               "\u201D is connecting and needs to sign with a key in your agent.");
    if (!detail.empty()) text += "\n" + escaped("It asks to " + detail + ".");
    if (onePassword) {
        text += "\n" + escaped(
                           "Approve it in 1Password \u2014 if no dialog appears, click the "
                           "1Password icon in the menu bar (look for the small dot) and open "
                           "the waiting request.");
    }
    return text;
}

void DesktopNoticePresenter::showNotice(const std::string& deviceName, const std::string& detail) {
    const bool onePassword = agentIsOnePassword_ && agentIsOnePassword_();
    post([this, text = body(deviceName, detail, onePassword)] { notify(text); });
}

void DesktopNoticePresenter::hideNotice() {
    post([this] { close(); });
}

void DesktopNoticePresenter::announce(const std::string& title, const std::string& body) {
    post([this, title, text = escaped(body)] { notifyOnce(title, text); });
}

void DesktopNoticePresenter::post(std::function<void()> work) {
    {
        const std::lock_guard lock(mutex_);
        calls_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void DesktopNoticePresenter::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !calls_.empty(); });
            if (calls_.empty()) break;
            work = std::move(calls_.front());
            calls_.pop_front();
        }
        work();
    }
    // The relay is stopping: no notice outlives it.
    close();
}

void DesktopNoticePresenter::notify(const std::string& text) {
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    g_variant_builder_add(&hints, "{sv}", "transient", g_variant_new_boolean(TRUE));
    // Replacing the one on screen (its ID), rather than stacking a second.
    const VariantPtr reply =
        call(connection_, service, objectPath, service, "Notify",
             g_variant_new("(susssasa{sv}i)", "Kestrel Relay", shownID_, "dialog-password", summary,
                           text.c_str(), nullptr, &hints, expireMilliseconds),
             "(u)", callMilliseconds);
    if (reply) g_variant_get(reply.get(), "(u)", &shownID_);
}

void DesktopNoticePresenter::notifyOnce(const std::string& title, const std::string& text) {
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    call(connection_, service, objectPath, service, "Notify",
         g_variant_new("(susssasa{sv}i)", "Kestrel Relay", 0U, "dialog-warning", title.c_str(),
                       text.c_str(), nullptr, &hints, 0),
         "(u)", callMilliseconds);
}

void DesktopNoticePresenter::close() {
    if (shownID_ == 0) return;
    call(connection_, service, objectPath, service, "CloseNotification",
         g_variant_new("(u)", shownID_), nullptr, callMilliseconds);
    shownID_ = 0;
}

}  // namespace kestrel

#include "platform/desktop_notice_presenter.hpp"

#include <gio/gio.h>

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string_view>

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

// Whether the server shows the actions of a notification as something the user can choose.
bool hasActions(GDBusConnection* connection) {
    const VariantPtr reply = call(connection, service, objectPath, service, "GetCapabilities",
                                  nullptr, "(as)", callMilliseconds);
    if (!reply) return false;
    GVariantIter* capabilities = nullptr;
    g_variant_get(reply.get(), "(as)", &capabilities);
    const gchar* capability = nullptr;
    bool found = false;
    while (g_variant_iter_next(capabilities, "&s", &capability))
        found = found || g_strcmp0(capability, "actions") == 0;
    g_variant_iter_free(capabilities);
    return found;
}

// The action keys of a question, and what each answers. None is "default", which a server
// invokes for a click on the notification itself: a stray click must not allow a signature.
constexpr const char* allowAction = "allow";
constexpr const char* allowForTenMinutesAction = "allow-10-minutes";
constexpr const char* denyAction = "deny";

std::optional<ApprovalDecision> decisionOf(const char* action) {
    if (g_strcmp0(action, allowAction) == 0) return ApprovalDecision::allow;
    if (g_strcmp0(action, allowForTenMinutesAction) == 0)
        return ApprovalDecision::allowForTenMinutes;
    if (g_strcmp0(action, denyAction) == 0) return ApprovalDecision::deny;
    return std::nullopt;
}

// The pieces in one string, appended into room made first: GCC 12 warns falsely (-Wrestrict)
// about chains of operator+ on strings in an optimised build.
std::string joined(std::initializer_list<std::string_view> pieces) {
    std::size_t length = 0;
    for (const std::string_view piece : pieces) length += piece.size();
    std::string text;
    text.reserve(length);
    for (const std::string_view piece : pieces) text.append(piece);
    return text;
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
    const bool actions = hasActions(connection);
    return std::unique_ptr<DesktopNoticePresenter>(
        new DesktopNoticePresenter(connection, std::move(agentIsOnePassword), actions));
}

DesktopNoticePresenter::DesktopNoticePresenter(GDBusConnection* connection,
                                               OnePasswordQuery agentIsOnePassword,
                                               bool serverHasActions)
    : connection_(connection),
      agentIsOnePassword_(std::move(agentIsOnePassword)),
      thread_([this] { run(); }),
      serverHasActions_(serverHasActions),
      signalContext_(g_main_context_new()),
      signalLoop_(g_main_loop_new(signalContext_, FALSE)),
      signalThread_([this] { listen(); }) {}

DesktopNoticePresenter::~DesktopNoticePresenter() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    // Queued in the loop's own context, so that it quits even if it has not started yet.
    g_main_context_invoke(
        signalContext_,
        [](void* loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        signalLoop_);
    signalThread_.join();
    g_main_loop_unref(signalLoop_);
    g_main_context_unref(signalContext_);
    g_object_unref(connection_);
}

void DesktopNoticePresenter::listen() {
    g_main_context_push_thread_default(signalContext_);
    // From the server only (GDBus follows the owner of the well-known name): another program
    // on the bus must not be able to answer for the user.
    const guint subscription = g_dbus_connection_signal_subscribe(
        connection_, service, service, nullptr, objectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &DesktopNoticePresenter::onSignal, this, nullptr);
    g_main_loop_run(signalLoop_);
    g_dbus_connection_signal_unsubscribe(connection_, subscription);
    g_main_context_pop_thread_default(signalContext_);
}

void DesktopNoticePresenter::onSignal(GDBusConnection*, const char*, const char*, const char*,
                                      const char* signal, GVariant* parameters, void* self) {
    auto& presenter = *static_cast<DesktopNoticePresenter*>(self);
    std::uint32_t id = 0;
    if (g_strcmp0(signal, "ActionInvoked") == 0 &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        const char* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        const std::optional<ApprovalDecision> decision = decisionOf(action);
        ApprovalHandler handler;
        std::uint64_t requestID = 0;
        {
            const std::lock_guard lock(presenter.approvalsMutex_);
            const auto found = presenter.requestOfNotification_.find(id);
            if (found == presenter.requestOfNotification_.end() || !decision) return;
            requestID = found->second;
            handler = presenter.approvalHandler_;
        }
        if (handler) handler(requestID, *decision);
    } else if (g_strcmp0(signal, "NotificationClosed") == 0 &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        // Dismissed: the request waits on for the terminal, or its time.
        std::uint32_t reason = 0;
        g_variant_get(parameters, "(uu)", &id, &reason);
        const std::lock_guard lock(presenter.approvalsMutex_);
        const auto found = presenter.requestOfNotification_.find(id);
        if (found == presenter.requestOfNotification_.end()) return;
        presenter.notificationOfRequest_.erase(found->second);
        presenter.requestOfNotification_.erase(found);
    }
}

std::string DesktopNoticePresenter::approvalBody(const ApprovalPrompt& prompt, bool withCommands) {
    std::string text =
        escaped(joined({"\u201C", prompt.deviceName, "\u201D asks to ", prompt.detail, "."}));
    if (withCommands) {
        const std::string id = std::to_string(prompt.requestID);
        text.append("\n").append(
            escaped(joined({"Allow it with kestrel-relay allow ", id,
                            ", or refuse it with kestrel-relay deny ", id, "."})));
    }
    return text;
}

void DesktopNoticePresenter::setApprovalHandler(ApprovalHandler handler) {
    const std::lock_guard lock(approvalsMutex_);
    approvalHandler_ = std::move(handler);
}

void DesktopNoticePresenter::askApproval(const ApprovalPrompt& prompt) {
    post([this, prompt] {
        GVariantBuilder actions;
        g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
        for (const char* text : {allowAction, "Allow", allowForTenMinutesAction,
                                 "Allow for 10 minutes", denyAction, "Deny"})
            g_variant_builder_add(&actions, "s", text);
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        // Critical: it stays until answered, and the relay takes it down when the wait ends.
        g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(2));
        const std::string text = approvalBody(prompt, !serverHasActions_);
        const VariantPtr reply =
            call(connection_, service, objectPath, service, "Notify",
                 g_variant_new("(susssasa{sv}i)", "Kestrel Relay", 0U, "dialog-password",
                               approvalSummary, text.c_str(), &actions, &hints, 0),
                 "(u)", callMilliseconds);
        if (!reply) return;
        std::uint32_t id = 0;
        g_variant_get(reply.get(), "(u)", &id);
        const std::lock_guard lock(approvalsMutex_);
        requestOfNotification_[id] = prompt.requestID;
        notificationOfRequest_[prompt.requestID] = id;
    });
}

void DesktopNoticePresenter::endApproval(std::uint64_t requestID) {
    post([this, requestID] {
        std::uint32_t id = 0;
        {
            const std::lock_guard lock(approvalsMutex_);
            const auto found = notificationOfRequest_.find(requestID);
            if (found == notificationOfRequest_.end()) return;
            id = found->second;
            requestOfNotification_.erase(id);
            notificationOfRequest_.erase(found);
        }
        call(connection_, service, objectPath, service, "CloseNotification",
             g_variant_new("(u)", id), nullptr, callMilliseconds);
    });
}

std::string DesktopNoticePresenter::body(const std::string& deviceName, const std::string& detail,
                                         bool onePassword) {
    std::string text =
        escaped(joined({"\u201C", deviceName,
                        "\u201D is connecting and needs to sign with a key in your agent."}));
    if (!detail.empty()) text.append("\n").append(escaped(joined({"It asks to ", detail, "."})));
    if (onePassword) {
        text.append("\n").append(
            escaped("Approve it in 1Password \u2014 if no dialog appears, click the 1Password "
                    "icon in the menu bar (look for the small dot) and open the waiting "
                    "request."));
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
    // The relay is stopping: no notice outlives it, nor any question.
    close();
    std::map<std::uint64_t, std::uint32_t> questions;
    {
        const std::lock_guard lock(approvalsMutex_);
        questions.swap(notificationOfRequest_);
        requestOfNotification_.clear();
    }
    for (const auto& [requestID, id] : questions) {
        call(connection_, service, objectPath, service, "CloseNotification",
             g_variant_new("(u)", id), nullptr, callMilliseconds);
    }
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

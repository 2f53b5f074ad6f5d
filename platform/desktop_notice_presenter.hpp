#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/notice_presenter.hpp"

using GDBusConnection = struct _GDBusConnection;
using GVariant = struct _GVariant;
using GMainLoop = struct _GMainLoop;
using GMainContext = struct _GMainContext;

namespace kestrel {

// The signature notice as a desktop notification (org.freedesktop.Notifications on the session
// bus), for a relay without a window of its own. The relay thread only queues: the D-Bus calls
// run in order on the presenter's own thread, so a slow notification server delays the notice,
// never a request, and a hide that follows a show closes the notification that show made.
class DesktopNoticePresenter final : public NoticePresenter {
public:
    // Whether the agent in use is 1Password's: only then does the notice send the user there.
    using OnePasswordQuery = std::function<bool()>;

    // A presenter on the session bus of this process's environment, or none when there is no
    // session bus or no notification server on it (the caller then keeps the line on standard
    // error). Waits at most about a second for the bus.
    static std::unique_ptr<DesktopNoticePresenter> connect(OnePasswordQuery agentIsOnePassword);

    ~DesktopNoticePresenter() override;
    DesktopNoticePresenter(const DesktopNoticePresenter&) = delete;
    DesktopNoticePresenter& operator=(const DesktopNoticePresenter&) = delete;

    void showNotice(const std::string& deviceName, const std::string& detail) override;
    void hideNotice() override;
    // A notification of its own for each waiting request, with the actions "Allow", "Allow for
    // 10 minutes" and "Deny" when the server shows actions (else its body names the
    // kestrel-relay commands). The server's ActionInvoked signal, for a notification this
    // presenter made, is the user's answer.
    void askApproval(const ApprovalPrompt& prompt) override;
    void endApproval(std::uint64_t requestID) override;
    void setApprovalHandler(ApprovalHandler handler) override;
    // A notification apart from the signature notice, which the server keeps until the user
    // dismisses it. The body is plain text.
    void announce(const std::string& title, const std::string& body);

    static constexpr const char* summary = "SSH signature requested";
    // The notification's body, marked up safely for servers that read markup.
    static std::string body(const std::string& deviceName, const std::string& detail,
                            bool onePassword);
    static constexpr const char* approvalSummary = "Allow this SSH signature?";
    // The question's body, marked up safely; withCommands adds the kestrel-relay commands.
    static std::string approvalBody(const ApprovalPrompt& prompt, bool withCommands);

private:
    DesktopNoticePresenter(GDBusConnection* connection, OnePasswordQuery agentIsOnePassword,
                           bool serverHasActions);
    void post(std::function<void()> call);
    void run();
    void notify(const std::string& text);
    void notifyOnce(const std::string& title, const std::string& text);
    void close();
    // Runs on the signal thread: the server's answers and closings.
    void listen();
    static void onSignal(GDBusConnection* connection, const char* sender, const char* path,
                         const char* interface, const char* signal, GVariant* parameters,
                         void* self);

    GDBusConnection* connection_;
    OnePasswordQuery agentIsOnePassword_;
    std::uint32_t shownID_ = 0;  // presenter thread only; 0 while nothing is shown
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> calls_;
    bool stopping_ = false;
    std::thread thread_;

    bool serverHasActions_ = false;
    // The question on screen for each waiting request, by notification ID; and the answer's way
    // back. Shared by the presenter thread (which shows them), the signal thread (which reads
    // the answers) and the relay thread (which sets the handler).
    std::mutex approvalsMutex_;
    std::map<std::uint32_t, std::uint64_t> requestOfNotification_;
    std::map<std::uint64_t, std::uint32_t> notificationOfRequest_;
    ApprovalHandler approvalHandler_;
    // The signal thread runs its own main context, where the subscription delivers.
    GMainContext* signalContext_;
    GMainLoop* signalLoop_ = nullptr;
    std::thread signalThread_;
};

}  // namespace kestrel

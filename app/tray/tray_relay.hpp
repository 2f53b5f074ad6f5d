#pragma once

// The relay inside the tray app: a RelayRuntime on a thread of its own, and the one bridge
// between it and the UI. Calls from the UI are posted to the relay thread and return at once;
// the relay's state comes back as copies through queued signals. Nothing on the UI thread
// waits for the relay, the agent or D-Bus.

#include <QObject>
#include <QString>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "app/relay/relay_runtime.hpp"
#include "app/tray/relay_state.hpp"

namespace kestrel {

class TrayRelay : public QObject {
    Q_OBJECT

public:
    struct Options {
        RelayRuntimeOptions runtime;
        // The login item; the tray's XDG autostart entry unless a test brings its own.
        std::function<std::unique_ptr<LoginItem>()> makeLoginItem;
    };

    // Starts the relay thread, which sets up the runtime (lock, stores, devices) and starts
    // listening; stateChanged says how that went.
    explicit TrayRelay(Options options, QObject* parent = nullptr);
    // Stops the relay and waits for its thread.
    ~TrayRelay() override;

    // Starts the relay if it is not running (a start that failed is tried again), and sends
    // the state afresh: the socket found, how long ago devices were used.
    void start();
    void refresh();
    void startPairing();
    void cancelPairing();
    void revoke(const QString& deviceID);
    void approve(const QString& deviceID);
    void setLaunchAtLogin(bool enabled);
    void setHideDockIcon(bool hide);
    void setSocketOverride(const QString& path);
    // The user's answer to a sign request waiting for it (decision: an ApprovalDecision).
    void answerApproval(quint64 requestID, int decision);
    // Sends the recent activity afresh (activityChanged), and again after each request until
    // stopActivity: only while someone looks, as a busy relay answers many.
    void refreshActivity();
    void stopActivity() { activityWatched_ = false; }
    // Stops the relay (its sessions end) and its thread; the destructor does it otherwise.
    void shutdown();

    // For tests: runs work on the relay thread with the runtime (none when it could not be set
    // up), and returns at once.
    void post(std::function<void(RelayRuntime*)> work);

Q_SIGNALS:
    void stateChanged(const kestrel::RelayState& state);
    // The first of overlapping sign requests began (the device that made it, what it signs
    // for; whether the agent is 1Password's), and the last one ended.
    void noticeShown(const QString& deviceName, const QString& detail, bool onePassword);
    void noticeHidden();
    // A sign request waits for the user, and stopped waiting.
    void approvalAsked(quint64 requestID, const QString& deviceName, const QString& detail);
    void approvalEnded(quint64 requestID);
    // The recent activity, oldest first: time, device, request, result. Sent at
    // refreshActivity and after requests.
    void activityChanged(const QList<QStringList>& rows);

private:
    class NoticeBridge;

    void setUp();
    void tryStart();
    void publish();
    void publishActivity();
    // Runs an action on the relay thread once the runtime exists, then publishes the state.
    void act(std::function<void(RelayRuntime&)> action);

    Options options_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    // Relay thread only, from here on.
    std::unique_ptr<NoticeBridge> notices_;
    std::unique_ptr<RelayRuntime> runtime_;
    std::string setUpError_;
    std::string startError_;
    std::string problem_;
    bool publishQueued_ = false;
    bool activityQueued_ = false;
    std::atomic<bool> activityWatched_ = false;
    std::thread thread_;
};

}  // namespace kestrel

Q_DECLARE_METATYPE(kestrel::RelayState)

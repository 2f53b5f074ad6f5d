#include "app/tray/tray_relay.hpp"

#include <QDateTime>

#include <asio/post.hpp>

#include <chrono>

#include "platform/xdg_autostart.hpp"

namespace kestrel {

// The signature notice, handed to the UI. Called on the relay thread by the approval window,
// which does the counting: overlapping requests make one show and one hide.
class TrayRelay::NoticeBridge final : public NoticePresenter {
public:
    explicit NoticeBridge(TrayRelay& relay) : relay_(relay) {}

    void showNotice(const std::string& deviceName, const std::string& detail) override {
        const bool onePassword = relay_.runtime_ && relay_.runtime_->usesOnePassword();
        Q_EMIT relay_.noticeShown(QString::fromStdString(deviceName),
                                  QString::fromStdString(detail), onePassword);
    }
    void hideNotice() override { Q_EMIT relay_.noticeHidden(); }
    void askApproval(const ApprovalPrompt& prompt) override {
        Q_EMIT relay_.approvalAsked(prompt.requestID, QString::fromStdString(prompt.deviceName),
                                    QString::fromStdString(prompt.detail));
    }
    void endApproval(std::uint64_t requestID) override { Q_EMIT relay_.approvalEnded(requestID); }

private:
    TrayRelay& relay_;
};

TrayRelay::TrayRelay(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), work_(asio::make_work_guard(io_)) {
    qRegisterMetaType<kestrel::RelayState>();
    if (!options_.makeLoginItem) {
        options_.makeLoginItem = [] {
            return std::make_unique<XdgAutostartLoginItem>(
                XdgAutostartLoginItem::defaultEntryPath(),
                RelayRuntime::ownExecutable("kestrel-relay-tray"));
        };
    }
    asio::post(io_, [this] { setUp(); });
    thread_ = std::thread([this] { io_.run(); });
}

TrayRelay::~TrayRelay() { shutdown(); }

void TrayRelay::shutdown() {
    if (!thread_.joinable()) return;
    // Sessions and agent exchanges still in flight end with the io_context, as in serve.
    asio::post(io_, [this] {
        if (runtime_) runtime_->stop();
        runtime_.reset();
        work_.reset();
        io_.stop();
    });
    thread_.join();
}

void TrayRelay::setUp() {
    notices_ = std::make_unique<NoticeBridge>(*this);
    try {
        runtime_ = std::make_unique<RelayRuntime>(
            io_.get_executor(), options_.runtime,
            RelayRuntime::FrontEnd{notices_.get(), options_.makeLoginItem()});
    } catch (const std::exception& error) {
        setUpError_ = error.what();
        publish();
        return;
    }
    // A burst of events (every connection touches its device) makes one state, not one each.
    runtime_->controller().addObserver([this](const RelayEvent& event) {
        // Refusals change nothing the panel shows, and a flood makes one per connection.
        if (std::holds_alternative<RequestHandled>(event)) {
            if (activityWatched_ && !activityQueued_) {
                activityQueued_ = true;
                asio::post(io_, [this] { publishActivity(); });
            }
            return;
        }
        if (std::holds_alternative<ConnectionRefused>(event) ||
            std::holds_alternative<RequestRefused>(event)) {
            return;
        }
        if (publishQueued_) return;
        publishQueued_ = true;
        asio::post(io_, [this] { publish(); });
    });
    tryStart();
}

void TrayRelay::tryStart() {
    if (!runtime_) return;
    try {
        runtime_->start();
        startError_.clear();
    } catch (const std::exception& error) {
        startError_ = error.what();
    }
    publish();
}

void TrayRelay::publish() {
    publishQueued_ = false;
    RelayState state;
    if (runtime_) {
        state = snapshotOf(*runtime_);
        state.startError = startError_;
        state.problem = problem_;
    } else {
        state.startError = setUpError_;
    }
    Q_EMIT stateChanged(state);
}

void TrayRelay::publishActivity() {
    activityQueued_ = false;
    QList<QStringList> rows;
    if (runtime_) {
        for (const ActivityEntry& entry : runtime_->controller().activity().entries()) {
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(
                std::chrono::duration_cast<std::chrono::milliseconds>(entry.at.time_since_epoch())
                    .count());
            QString request = QString::fromUtf8(activityKindName(entry.kind).data());
            if (entry.kind == ActivityKind::sign && !entry.keyFingerprint.empty())
                request += QStringLiteral(": ") + QString::fromStdString(entry.detail());
            QString result = QString::fromUtf8(activityResultName(entry.result).data());
            if (!entry.reason.empty())
                result += QStringLiteral(" (") + QString::fromStdString(entry.reason) + ")";
            rows.append({at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                         QString::fromStdString(entry.deviceName), request, result});
        }
    }
    Q_EMIT activityChanged(rows);
}

void TrayRelay::refreshActivity() {
    activityWatched_ = true;
    asio::post(io_, [this] { publishActivity(); });
}

void TrayRelay::answerApproval(quint64 requestID, int decision) {
    asio::post(io_, [this, requestID, decision] {
        if (runtime_)
            runtime_->controller().decide(requestID, static_cast<ApprovalDecision>(decision));
    });
}

void TrayRelay::post(std::function<void(RelayRuntime*)> work) {
    asio::post(io_, [this, work = std::move(work)] { work(runtime_.get()); });
}

void TrayRelay::act(std::function<void(RelayRuntime&)> action) {
    asio::post(io_, [this, action = std::move(action)] {
        if (!runtime_) return;
        problem_.clear();
        try {
            action(*runtime_);
        } catch (const std::exception& error) {
            problem_ = error.what();
        }
        publish();
    });
}

void TrayRelay::start() {
    asio::post(io_, [this] { tryStart(); });
}

void TrayRelay::refresh() {
    asio::post(io_, [this] { publish(); });
}

void TrayRelay::startPairing() {
    act([](RelayRuntime& runtime) { runtime.controller().startPairing(); });
}

void TrayRelay::cancelPairing() {
    act([](RelayRuntime& runtime) { runtime.controller().cancelPairing(); });
}

void TrayRelay::revoke(const QString& deviceID) {
    act([id = deviceID.toStdString()](RelayRuntime& runtime) {
        if (const auto uuid = UUID::fromString(id)) runtime.controller().revoke(*uuid);
    });
}

void TrayRelay::approve(const QString& deviceID) {
    act([id = deviceID.toStdString()](RelayRuntime& runtime) {
        if (const auto uuid = UUID::fromString(id)) runtime.controller().approve(*uuid);
    });
}

void TrayRelay::setLaunchAtLogin(bool enabled) {
    act([enabled](RelayRuntime& runtime) { runtime.controller().setLaunchAtLogin(enabled); });
}

void TrayRelay::setHideDockIcon(bool hide) {
    act([hide](RelayRuntime& runtime) { runtime.controller().setHideDockIcon(hide); });
}

void TrayRelay::setSocketOverride(const QString& path) {
    act([path = path.toStdString()](RelayRuntime& runtime) {
        runtime.controller().setSocketOverride(path);
    });
}

}  // namespace kestrel

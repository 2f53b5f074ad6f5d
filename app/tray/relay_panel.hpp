#pragma once

// The tray's panel: the relay's state, the pairing code while pairing is open, the paired
// devices and the settings. It holds no relay state of its own: it draws the last RelayState it
// was given and turns every click into a signal, which the app forwards to the relay.

#include <QLabel>
#include <QWidget>

#include <deque>
#include <functional>

#include "app/tray/relay_state.hpp"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace kestrel {

// One line of text that, when too long, loses its middle ("/run/user/…/agent.sock").
class MiddleElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit MiddleElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const noexcept { return fullText_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString fullText_;
};

class RelayPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelWidth = 320;

    explicit RelayPanel(QWidget* parent = nullptr);

    void setState(const RelayState& state);
    const RelayState& state() const noexcept { return state_; }
    // The clock of the usage lines; the system clock unless a test sets one.
    void setClock(std::function<Date()> now);

Q_SIGNALS:
    void shown();
    void pairRequested();
    void cancelPairingRequested();
    void revokeRequested(const QString& deviceID);
    void allowRequested(const QString& deviceID);
    void launchAtLoginToggled(bool enabled);
    void hideDockIconToggled(bool hide);
    void socketOverrideEdited(const QString& path);
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* deviceRow(const DeviceRow& device);
    void redrawDevices();

    RelayState state_;
    std::function<Date()> now_;
    // Edits of the socket field not yet seen coming back in a state, oldest first.
    std::deque<QString> sentOverrides_;

    QLabel* statusDot_;
    QLabel* statusTitle_;
    QLabel* relayName_;
    QLabel* startError_;
    QWidget* codeSection_;
    QLabel* pairingCode_;
    QPushButton* pairButton_;
    QLabel* pairingMessage_;
    QVBoxLayout* devicesLayout_;
    QWidget* devices_ = nullptr;
    QCheckBox* launchAtLogin_;
    QCheckBox* hideDockIcon_;
    MiddleElidedLabel* agentSocket_;
    QLineEdit* socketOverride_;
};

}  // namespace kestrel

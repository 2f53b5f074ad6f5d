#pragma once

// "Recent activity": the relay's latest agent requests, newest first, one row each: when, which
// device, what it asked (what a signature was for, and the key) and how it ended.

#include <QStringList>
#include <QWidget>

class QTreeWidget;

namespace kestrel {

class ActivityWindow : public QWidget {
    Q_OBJECT

public:
    explicit ActivityWindow(QWidget* parent = nullptr);

    // Rows oldest first, as the relay keeps them: time, device, request, result.
    void setRows(const QList<QStringList>& rows);
    const QTreeWidget& table() const noexcept { return *table_; }

Q_SIGNALS:
    void hidden();

protected:
    void hideEvent(QHideEvent* event) override;

private:
    QTreeWidget* table_;
};

}  // namespace kestrel

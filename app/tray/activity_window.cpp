#include "app/tray/activity_window.hpp"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kestrel {

ActivityWindow::ActivityWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("recentActivity");
    setWindowTitle(QStringLiteral("Recent activity"));
    resize(960, 420);
    auto* layout = new QVBoxLayout(this);
    auto* note = new QLabel(QStringLiteral(
        "The latest requests of paired devices, newest first, kept since the relay started."));
    note->setWordWrap(true);
    layout->addWidget(note);
    table_ = new QTreeWidget;
    table_->setObjectName("activityTable");
    table_->setRootIsDecorated(false);
    table_->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Device"),
                             QStringLiteral("Request"), QStringLiteral("Result")});
    table_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    table_->header()->setStretchLastSection(false);
    layout->addWidget(table_);
}

void ActivityWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    Q_EMIT hidden();
}

void ActivityWindow::setRows(const QList<QStringList>& rows) {
    table_->clear();
    QList<QTreeWidgetItem*> items;
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        auto* item = new QTreeWidgetItem(*row);
        item->setToolTip(2, row->value(2));
        items.append(item);
    }
    table_->addTopLevelItems(items);
    for (int column : {0, 1, 3}) table_->resizeColumnToContents(column);
}

}  // namespace kestrel

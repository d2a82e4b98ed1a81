#include "console/banswindow.h"

#include "core/codepage.h"
#include "operator/operatorclient.h"
#include "platform/dialogs.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
const QString Title = QStringLiteral("Bans");

QString timeText(const QDateTime &time, const QString &unknown)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                          : unknown;
}

template <typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}
} // namespace

BansWindow::BansWindow(OperatorClient &client, Dialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_client(client), m_dialogs(dialogs),
      m_list(named(new QTreeWidget(this), "lstBans")),
      m_target(named(new QLineEdit(this), "txtTarget")),
      m_duration(named(new QLineEdit(this), "txtDuration")),
      m_reason(named(new QLineEdit(this), "txtReason"))
{
    setObjectName(QStringLiteral("frmBans"));
    setWindowTitle(Title);
    m_list->setHeaderLabels({QStringLiteral("Address or range"), QStringLiteral("Reason"),
                             QStringLiteral("Set by"), QStringLiteral("Set at"),
                             QStringLiteral("Expires")});
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_target->setPlaceholderText(QStringLiteral("1.2.3.4 or 10.1.0.0/16"));
    m_duration->setPlaceholderText(QStringLiteral("never, or 90s, 30m, 2h, 7d"));

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Address or range:"), m_target);
    form->addRow(QStringLiteral("For:"), m_duration);
    form->addRow(QStringLiteral("Reason:"), m_reason);
    auto *add = named(new QPushButton(QStringLiteral("&Add"), this), "cmdAdd");
    auto *remove = named(new QPushButton(QStringLiteral("&Remove"), this), "cmdRemove");
    auto *close = named(new QPushButton(QStringLiteral("&Close"), this), "cmdClose");
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addLayout(form);
    layout->addLayout(buttons);
    resize(640, 360);

    connect(add, &QPushButton::clicked, this, &BansWindow::add);
    connect(remove, &QPushButton::clicked, this, &BansWindow::removeSelected);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(&m_client, &OperatorClient::bansChanged, this, &BansWindow::load);
}

void BansWindow::load()
{
    QString error;
    const std::optional<QList<Ban>> bans = m_client.bans(&error);
    m_list->clear();
    if (!bans) {
        m_dialogs.messageBox(error, Title, Dialogs::Icon::Warning);
        return;
    }
    for (const Ban &ban : *bans) {
        auto *item = new QTreeWidgetItem(
            m_list, {Codepage::toDisplay(ban.target), Codepage::toDisplay(ban.reason),
                     Codepage::toDisplay(ban.setBy), timeText(ban.setAt, QString()),
                     timeText(ban.expires, QStringLiteral("never"))});
        item->setData(0, Qt::UserRole, ban.target);
    }
    for (int column = 0; column < m_list->columnCount(); ++column)
        m_list->resizeColumnToContents(column);
}

void BansWindow::add()
{
    const QByteArray target = m_target->text().trimmed().toLatin1();
    const QByteArray durationText = m_duration->text().trimmed().toLatin1();
    std::optional<std::chrono::seconds> duration;
    if (!durationText.isEmpty() && durationText != "never") {
        QString error;
        duration = BanRules::parseDuration(durationText, &error);
        if (!duration) {
            m_dialogs.messageBox(error, Title, Dialogs::Icon::Warning);
            return;
        }
    }
    m_client.banAddress(target, duration, Codepage::fromDisplay(m_reason->text()), this,
                        [this](const OperatorResult &result) {
                            if (!result.ok) {
                                m_dialogs.messageBox(result.error, Title, Dialogs::Icon::Warning);
                                return;
                            }
                            m_target->clear();
                            m_reason->clear();
                        });
}

void BansWindow::removeSelected()
{
    const QList<QTreeWidgetItem *> selected = m_list->selectedItems();
    QList<QByteArray> targets;
    for (const QTreeWidgetItem *item : selected)
        targets.append(item->data(0, Qt::UserRole).toByteArray());
    for (const QByteArray &target : std::as_const(targets)) {
        m_client.unban(target, this, [this](const OperatorResult &result) {
            if (!result.ok)
                m_dialogs.messageBox(result.error, Title, Dialogs::Icon::Warning);
        });
    }
}

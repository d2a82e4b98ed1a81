#include "admin/motdeditor.h"

#include "core/codepage.h"
#include "operator/operatorclient.h"
#include "platform/dialogs.h"
#include "platform/formgeometry.h"

#include <QPlainTextEdit>
#include <QPushButton>

namespace {
const QString Title = QStringLiteral("Update MOTD");
} // namespace

MotdEditor::MotdEditor(OperatorClient &client, Dialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_client(client), m_dialogs(dialogs),
      m_text(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("frmEditMOTD"));
    setWindowTitle(Title);
    QFont face = font();
    face.setPixelSize(11);
    setFont(face);
    setFixedSize(twips(0, 0, 3945, 3975).size());

    m_text->setObjectName(QStringLiteral("txtMOTD"));
    m_text->setGeometry(twips(60, 60, 3855, 3375));
    m_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("cmdOk"));
    ok->setGeometry(twips(60, 3540, 3795, 375));
    connect(ok, &QPushButton::clicked, this, &MotdEditor::onOk);
}

bool MotdEditor::load()
{
    QString error;
    const std::optional<QByteArray> content = m_client.readMotdFile(&error);
    if (!content) {
        m_dialogs.messageBox(error, Title, Dialogs::Icon::Critical);
        return false;
    }
    QByteArray text = *content;
    text.replace("\r\n", "\n");
    m_text->setPlainText(Codepage::toDisplay(text));
    return true;
}

void MotdEditor::onOk()
{
    QByteArray text = Codepage::fromDisplay(m_text->toPlainText());
    text.replace("\n", "\r\n");
    m_client.setMotd(text, this, [this](const OperatorResult &saved) {
        if (!saved.ok) {
            // The editor stays open with the text, and the running MOTD stays
            // as it was: nothing the operator typed is lost.
            m_dialogs.messageBox(saved.error, Title, Dialogs::Icon::Critical);
            return;
        }
        close();
    });
}

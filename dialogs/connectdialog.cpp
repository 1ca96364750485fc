#include "dialogs/connectdialog.h"

#include "settings/connectionpreferences.h"

#include <QLineEdit>

ConnectDialog::ConnectDialog(QWidget *parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
    m_form.setupUi(this);
    connect(this, &QDialog::accepted, this, &ConnectDialog::OnAccepted);

    const ConnectionPreferences &preferences = connectionPreferences();
    m_form.host->setText(preferences.host);
    m_form.port->setText(tr("%1").arg(preferences.port));
    m_form.port->setEnabled(false);
}

ConnectDialog::~ConnectDialog() = default;

void ConnectDialog::OnAccepted()
{
    ConnectionPreferences &preferences = connectionPreferences();
    preferences.host = m_form.host->text();
    // Not a number from 0 to 65535 gives 0.
    preferences.port = m_form.port->text().toUShort();
    // Stored now as well as at exit: a run that ends in a crash, a kill or a logout still
    // remembers the server the user chose.
    saveConnectionPreferences(preferences);
}

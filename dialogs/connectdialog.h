#pragma once

#include "dialogs/connectdialogform.h"

#include <QDialog>

// Asks for the picture server's host. The port is shown but cannot be changed. On OK the fields
// are written into connectionPreferences() before exec() returns.
class ConnectDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ConnectDialog(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~ConnectDialog() override;

    const ConnectDialogForm &form() const { return m_form; }

private Q_SLOTS:
    void OnAccepted();

private:
    ConnectDialogForm m_form;
};

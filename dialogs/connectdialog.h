#pragma once

#include "ui_connectdialog.h"

#include <QDialog>

// Asks for the picture server's host. The port is shown but cannot be changed. On OK the fields
// are written into connectionPreferences() before exec() returns.
class ConnectDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ConnectDialog(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~ConnectDialog() override;

    const Ui::ConnectDialog &form() const { return m_form; }

private Q_SLOTS:
    void OnAccepted();

private:
    Ui::ConnectDialog m_form;
};

#include "dialogs/connectdialogform.h"

#include <QCoreApplication>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

void ConnectDialogForm::setupForm(QDialog *dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QString::fromUtf8("ConnectDialog"));
    dialog->resize(255, 111);

    QSizePolicy sizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    sizePolicy.setHorizontalStretch(0);
    sizePolicy.setVerticalStretch(0);
    sizePolicy.setHeightForWidth(dialog->sizePolicy().hasHeightForWidth());
    dialog->setSizePolicy(sizePolicy);

    verticalLayout = new QVBoxLayout(dialog);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));
    gridLayout = new QGridLayout();
    gridLayout->setObjectName(QString::fromUtf8("gridLayout"));

    const Qt::Alignment labelAlignment = Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter;

    host = new QLineEdit(dialog);
    host->setObjectName(QString::fromUtf8("host"));
    gridLayout->addWidget(host, 0, 1, 1, 1);

    label = new QLabel(dialog);
    label->setObjectName(QString::fromUtf8("label"));
    label->setAlignment(labelAlignment);
    gridLayout->addWidget(label, 0, 0, 1, 1);

    label_2 = new QLabel(dialog);
    label_2->setObjectName(QString::fromUtf8("label_2"));
    label_2->setAlignment(labelAlignment);
    gridLayout->addWidget(label_2, 1, 0, 1, 1);

    port = new QLineEdit(dialog);
    port->setObjectName(QString::fromUtf8("port"));
    gridLayout->addWidget(port, 1, 1, 1, 1);

    verticalLayout->addLayout(gridLayout);

    verticalSpacer = new QSpacerItem(20, 1, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer);

    hboxLayout = new QHBoxLayout();
    hboxLayout->setSpacing(6);
    hboxLayout->setContentsMargins(0, 0, 0, 0);
    hboxLayout->setObjectName(QString::fromUtf8("hboxLayout"));

    horizontalSpacer = new QSpacerItem(131, 31, QSizePolicy::Expanding, QSizePolicy::Minimum);
    hboxLayout->addItem(horizontalSpacer);

    okButton = new QPushButton(dialog);
    okButton->setObjectName(QString::fromUtf8("okButton"));
    hboxLayout->addWidget(okButton);

    cancelButton = new QPushButton(dialog);
    cancelButton->setObjectName(QString::fromUtf8("cancelButton"));
    hboxLayout->addWidget(cancelButton);

    verticalLayout->addLayout(hboxLayout);

    retranslateForm(dialog);

    QObject::connect(okButton, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancelButton, &QPushButton::clicked, dialog, &QDialog::reject);

    QMetaObject::connectSlotsByName(dialog);
}

void ConnectDialogForm::retranslateForm(QDialog *dialog)
{
    dialog->setWindowTitle(QCoreApplication::translate("ConnectDialog", "Connect"));
    label->setText(QCoreApplication::translate("ConnectDialog", "Host"));
    label_2->setText(QCoreApplication::translate("ConnectDialog", "Port"));
    okButton->setText(QCoreApplication::translate("ConnectDialog", "OK"));
    cancelButton->setText(QCoreApplication::translate("ConnectDialog", "Cancel"));
}

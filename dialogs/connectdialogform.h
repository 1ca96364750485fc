#pragma once

class QDialog;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;

// The child objects of the connect dialog, laid out as the form tool would: host and port in a
// two-column grid, a spacer, and OK and Cancel at the bottom right. Owns nothing; the dialog owns
// every object through Qt parenthood.
struct ConnectDialogForm
{
    QVBoxLayout *verticalLayout = nullptr;
    QGridLayout *gridLayout = nullptr;
    QLineEdit *host = nullptr;
    QLabel *label = nullptr;
    QLabel *label_2 = nullptr;
    QLineEdit *port = nullptr;
    QSpacerItem *verticalSpacer = nullptr;
    QHBoxLayout *hboxLayout = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;
    QPushButton *okButton = nullptr;
    QPushButton *cancelButton = nullptr;

    void setupForm(QDialog *dialog);
    void retranslateForm(QDialog *dialog);
};

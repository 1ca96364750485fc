#pragma once

#include <QObject>

class QWidget;

// Ends a program once its window has been painted for the first time. Just before, it writes
// that moment to standard output, in nanoseconds of CLOCK_MONOTONIC, for the harness that
// started the program and noted the moment it did.
class StartupProbe : public QObject
{
public:
    explicit StartupProbe(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_painted = false;
};

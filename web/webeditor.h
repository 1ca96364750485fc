#pragma once

#include <QString>

// Someone the server knows by a key: a name to record their edits under, and whether they may
// moderate.
struct WebEditor
{
    QString name;
    bool moderator = false;
};

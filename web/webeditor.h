#pragma once

#include <QString>

// Who an editor's key names, as the web side knows them.
struct WebEditor
{
    QString name;
    bool moderator = false;
};

#include "settings/connectionpreferences.h"

#include <QSettings>

#include <cstdlib>

const char DefaultPreferredHost[] = "192.168.10.20";

namespace {

ConnectionPreferences *processPreferences = nullptr;

void savePreferencesAtExit()
{
    saveConnectionPreferences(*processPreferences);
    delete processPreferences;
    processPreferences = nullptr;
}

// A fresh settings object for each load and save; none stays open in between.
template <typename Use> void withSettings(Use use)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QLatin1String(PreferenceKeys::Organization),
                       QLatin1String(PreferenceKeys::Application));
    use(settings);
}

} // namespace

ConnectionPreferences loadConnectionPreferences()
{
    ConnectionPreferences loaded;
    withSettings([&](QSettings &settings) {
        loaded.host = settings
                          .value(QLatin1String(PreferenceKeys::Host),
                                 QString::fromLatin1(DefaultPreferredHost))
                          .toString();
        // The default is a string, as a hand-edited settings file would hold it. A port that is
        // no port at all would make every connect fail, and the port field cannot be edited: it
        // is read as the default, and so written back as the default.
        bool isNumber = false;
        const int port =
            settings
                .value(QLatin1String(PreferenceKeys::Port), QString::number(DefaultPreferredPort))
                .toInt(&isNumber);
        loaded.port =
            isNumber && port >= 1 && port <= 0xffff ? quint16(port) : DefaultPreferredPort;
    });
    return loaded;
}

void saveConnectionPreferences(const ConnectionPreferences &preferences)
{
    withSettings([&](QSettings &settings) {
        settings.setValue(QLatin1String(PreferenceKeys::Host), preferences.host);
        settings.setValue(QLatin1String(PreferenceKeys::Port), int(preferences.port));
    });
}

ConnectionPreferences &connectionPreferences()
{
    if (!processPreferences) {
        processPreferences = new ConnectionPreferences(loadConnectionPreferences());
        std::atexit(savePreferencesAtExit);
    }
    return *processPreferences;
}

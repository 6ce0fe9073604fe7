#pragma once

#include <QSettings>

namespace Tellan {

// The application's settings: the user-scope, native-format settings of
// "Zorvik Services LLC" / "Zorvik Music" (on Linux Qt's INI file
// ~/.config/Zorvik Services LLC/Zorvik Music.conf). Qt's defaults hold for
// everything else.
class TellanSettings : public QSettings {
public:
    TellanSettings();
    ~TellanSettings() override;
};

} // namespace Tellan

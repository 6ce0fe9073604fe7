#include "Settings/TellanSettings.h"

namespace Tellan {

TellanSettings::TellanSettings() : QSettings(QStringLiteral("Zorvik Services LLC"), QStringLiteral("Zorvik Music")) {}

TellanSettings::~TellanSettings() = default;

} // namespace Tellan

#pragma once

#include "Foundation/ProductConstants.h"

// The migrator's names; the version and product name are the product's own.

namespace Migrator {

constexpr const char* VERSION = Tellan::Constants::version;
constexpr const char* LOGS_FOLDER = "Logs";
constexpr const char* LOG_BASE_NAME = "ZorvikMusicMigrator";
constexpr const char* LOG_EXTENSION = ".log";
constexpr const char* ARCHIVE_STAMP_FORMAT = "yyMMdd-hhmmss";
constexpr const char* MARKER_FILE = "WinStoreDetected.txt";
constexpr const char* MARKER_CONTENT = "WinStoreAppFound";

} // namespace Migrator

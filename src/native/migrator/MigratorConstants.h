#pragma once

// The migrator's own copies of the product's names.

namespace Migrator {

constexpr const char* VERSION = "9.5.2.2478";
constexpr const char* PRODUCT_FOLDER = "Zorvik Music";
constexpr const char* LOGS_FOLDER = "Logs";
constexpr const char* LOG_BASE_NAME = "ZorvikMusicMigrator";
constexpr const char* LOG_EXTENSION = ".log";
constexpr const char* ARCHIVE_STAMP_FORMAT = "yyMMdd-hhmmss";
constexpr const char* MARKER_FILE = "WinStoreDetected.txt";
constexpr const char* MARKER_CONTENT = "WinStoreAppFound";

} // namespace Migrator

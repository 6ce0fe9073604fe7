#pragma once

// The one log-site construct. Every log statement is written as
//
//   TLOG_EVENT(WARNING, "OpsFileUploader", "DuplicateFileWarning", {"path", path}) << "text";
//   TLOG(INFO, "helper") << "Begin helper shutdown";
//
// and does, in order: build the record (forced 0), set the event, add the
// statement's fields in the order written, set level, component and source
// line, add the qualified function name as "function", then build the
// statement object; the record is emitted when the statement ends.

#include "Logging/LogRecord.h"
#include "Logging/Logging.h"

#define TELLAN_LOG_STATEMENT_(record, level, component)                                          \
    ::Tellan::Logging::LogStream((record)                                                        \
                                     .setLevel(::Tellan::Level::level)                           \
                                     .setComponent(component)                                    \
                                     .setLine(__LINE__)                                          \
                                     .addField(QStringLiteral("function"), TELLAN_FUNCTION_NAME_)) \
        .out()

// The site's function name, worked out once per site (a GNU statement
// expression keeps __PRETTY_FUNCTION__ the enclosing function's). Never
// destroyed: a pool thread may still log while exit-time destructors run.
#define TELLAN_FUNCTION_NAME_                                                                    \
    (__extension__({                                                                             \
        static const QString* const tellanFunctionName_ =                                        \
            new QString(::Tellan::qualifiedFunctionName(__PRETTY_FUNCTION__));                   \
        *tellanFunctionName_;                                                                    \
    }))

#define TLOG_EVENT(level, component, event, ...)                                                 \
    TELLAN_LOG_STATEMENT_(::Tellan::LogRecord(0).setEvent(event).addFields({__VA_ARGS__}), level, \
                          component)

#define TLOG(level, component) TELLAN_LOG_STATEMENT_(::Tellan::LogRecord(0), level, component)

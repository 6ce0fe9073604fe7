#pragma once

// The one log-site construct. Every log statement is written as
//
//   TLOG_EVENT(WARNING, "OpsFileUploader", "DuplicateFileWarning", {"path", path}) << "text";
//   TLOG(INFO, "helper") << "Begin helper shutdown";
//
// A statement below the dispatcher's minimum level stops at the level test:
// nothing of it is built or evaluated, its fields and text included. Any
// other does, in order: build the record (forced 0), set the event, add the
// statement's fields in the order written, set level, component and source
// line, add the qualified function name as "function", then build the
// statement object; the record is emitted when the statement ends.

#include "Logging/LogRecord.h"
#include "Logging/Logging.h"

#define TELLAN_LOG_STATEMENT_(record, level, component)                                                                \
    !::Tellan::Logging::accepts(::Tellan::Level::level)                                                                \
        ? (void)0                                                                                                      \
        : ::Tellan::Logging::Voidify()                                                                                 \
              & ::Tellan::Logging::LogStream(static_cast<::Tellan::LogRecord&&>((record)                               \
                                                                                    .setLevel(::Tellan::Level::level)  \
                                                                                    .setComponent(component)           \
                                                                                    .setLine(__LINE__)                 \
                                                                                    .setFunction(*TELLAN_LOG_SITE_)))

// A pointer to the site, whose function name is worked out once (a GNU
// statement expression keeps __PRETTY_FUNCTION__ the enclosing function's;
// its value is a copy, hence the pointer). Never destroyed: a pool thread
// may still log while exit-time destructors run.
#define TELLAN_LOG_SITE_                                                                                               \
    (__extension__({                                                                                                   \
        static const ::Tellan::LogSite* const tellanLogSite_ = new ::Tellan::LogSite(__PRETTY_FUNCTION__);             \
        tellanLogSite_;                                                                                                \
    }))

#define TLOG_EVENT(level, component, event, ...)                                                                       \
    TELLAN_LOG_STATEMENT_(::Tellan::LogRecord(0).setEvent(event).addFields({__VA_ARGS__}), level, component)

#define TLOG(level, component) TELLAN_LOG_STATEMENT_(::Tellan::LogRecord(0), level, component)

#pragma once

#include <QString>

namespace Tellan {

// One file to upload. The upload queue makes it once and shares it, unchanged,
// with the task that carries it to the File Upload thread and with the upload
// that sends it.
struct OpsFileInfo {
    enum Type { LogFile = 0, CrashDump = 1 };

    OpsFileInfo() : type(LogFile) {}
    OpsFileInfo(const QString& path, int type) : path(path), type(type) {}

    // As handed to the queue: absolute, with forward slashes.
    QString path;
    // LogFile or CrashDump; it chooses the request's content type.
    int type;
};

} // namespace Tellan

#pragma once

#include <QByteArray>

namespace TestSupport {

// All of `bytes` on the socket `fd`, however many each send takes; false
// when the other side ended the connection first.
bool sendAll(int fd, const QByteArray& bytes);

} // namespace TestSupport

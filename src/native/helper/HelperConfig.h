#pragma once

// Values fixed when the helper is built, from the build's cache variables.

namespace Tellan {
namespace Config {

// The device-event upload service: the "Host" header, the request's URL and
// the name an upload resolves, checks the certificate against and sends as SNI.
constexpr char uploadHost[] = ZORVIK_UPLOAD_HOST;

// The port (a number or a service name) that uploads connect to; the "Host"
// header and the URL name the host alone, as for the default port.
constexpr char uploadPort[] = ZORVIK_UPLOAD_PORT;

// The organisation's internet domain.
constexpr char organisationDomain[] = ZORVIK_ORGANISATION_DOMAIN;

// A PEM file of certificate authorities that uploads trust besides the
// system's trust store; empty for none.
constexpr char uploadExtraCaFile[] = ZORVIK_UPLOAD_EXTRA_CA_FILE;

} // namespace Config
} // namespace Tellan

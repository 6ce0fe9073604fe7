#include "UploadStandIn.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace StandIn {

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct FreeCertificate {
    void operator()(X509* p) const { X509_free(p); }
};
struct FreeExtension {
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct FreeNumber {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
struct CloseFile {
    void operator()(FILE* p) const { std::fclose(p); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Certificate = std::unique_ptr<X509, FreeCertificate>;

[[noreturn]] void fail(const std::string& what)
{
    char text[256] = "no OpenSSL error";
    if (const unsigned long code = ERR_get_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error("test certificates: " + what + ": " + text);
}

void check(bool ok, const char* what)
{
    if (!ok)
        fail(what);
}

Key makeKey()
{
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, FreeExtension> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    check(extension != nullptr, "certificate extension");
    check(X509_add_ext(certificate, extension.get(), -1) == 1, "adding an extension");
}

void addNameEntry(X509_NAME* name, const char* field, const std::string& value)
{
    check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                                     -1, -1, 0)
              == 1,
          "certificate name");
}

// An unsigned certificate for `key` named `commonName`, issued by `issuer` (itself when null), valid from an
// hour ago for a day.
Certificate makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer)
{
    Certificate certificate(X509_new());
    check(certificate != nullptr, "certificate");
    check(X509_set_version(certificate.get(), X509_VERSION_3) == 1, "certificate version");

    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial number");
    serial[0] &= 0x7f;
    std::unique_ptr<BIGNUM, FreeNumber> number(BN_bin2bn(serial, sizeof serial, nullptr));
    check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())), "serial number");

    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60L * 60)
              && X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24L * 60 * 60),
          "validity");

    X509_NAME* name = X509_get_subject_name(certificate.get());
    addNameEntry(name, "O", "Zorvik upload stand-in");
    addNameEntry(name, "CN", commonName);
    check(X509_set_pubkey(certificate.get(), key) == 1, "public key");
    X509* signer = issuer ? issuer : certificate.get();
    check(X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) == 1, "issuer name");
    addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always");
    return certificate;
}

void sign(X509* certificate, EVP_PKEY* issuerKey)
{
    check(X509_sign(certificate, issuerKey, EVP_sha256()) > 0, "signing");
}

std::unique_ptr<FILE, CloseFile> create(const std::string& path, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("test certificates: cannot create " + path);
    std::unique_ptr<FILE, CloseFile> file(::fdopen(fd, "w"));
    if (!file) {
        ::close(fd);
        throw std::runtime_error("test certificates: cannot create " + path);
    }
    return file;
}

void writeCertificate(const std::string& path, X509* certificate)
{
    auto file = create(path, 0644);
    check(PEM_write_X509(file.get(), certificate) == 1, "writing a certificate");
    check(std::fflush(file.get()) == 0, "writing a certificate");
}

void writeKey(const std::string& path, EVP_PKEY* key)
{
    auto file = create(path, 0600);
    check(PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "writing a key");
    check(std::fflush(file.get()) == 0, "writing a key");
}

} // namespace

TestCertificates makeTestCertificates(const std::string& directory, const std::vector<std::string>& dnsNames,
                                      const std::vector<std::string>& ipAddresses)
{
    if (dnsNames.empty() && ipAddresses.empty())
        throw std::invalid_argument("test certificates: no name for the server");

    const Key authorityKey = makeKey();
    const Certificate authority = makeCertificate(authorityKey.get(), "Zorvik upload stand-in test CA", nullptr);
    addExtension(authority.get(), authority.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(authority.get(), authority.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    sign(authority.get(), authorityKey.get());

    std::string altNames;
    for (const std::string& name : dnsNames)
        altNames += (altNames.empty() ? "DNS:" : ",DNS:") + name;
    for (const std::string& address : ipAddresses)
        altNames += (altNames.empty() ? "IP:" : ",IP:") + address;

    const Key serverKey = makeKey();
    const Certificate server =
        makeCertificate(serverKey.get(), dnsNames.empty() ? ipAddresses.front() : dnsNames.front(), authority.get());
    addExtension(server.get(), authority.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server.get(), authority.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(server.get(), authority.get(), NID_ext_key_usage, "serverAuth");
    addExtension(server.get(), authority.get(), NID_subject_alt_name, altNames);
    sign(server.get(), authorityKey.get());

    TestCertificates files{directory + "/ca.pem", directory + "/server-cert.pem", directory + "/server-key.pem"};
    writeCertificate(files.caFile, authority.get());
    writeCertificate(files.certificateFile, server.get());
    writeKey(files.privateKeyFile, serverKey.get());
    return files;
}

} // namespace StandIn

// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tools/test_certificates.h"

#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <mutex>

namespace mivo::sample {
namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;

bool Fail(std::string* error, const std::string& what) {
  if (error) {
    char reason[256] = "unknown error";
    if (const unsigned long e = ERR_peek_error()) ERR_error_string_n(e, reason, sizeof reason);
    *error = what + ": " + reason;
  }
  ERR_clear_error();
  return false;
}

std::string ToPem(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string CertPem(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
  return ToPem(bio.get());
}

std::string KeyPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  return ToPem(bio.get());
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `commonName`, with a random serial and a
// validity that tolerates a clock a day behind; issuer and signature are the
// caller's.
Cert NewCertificate(EVP_PKEY* key, const std::string& commonName) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool ok =
      bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) &&
      X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600) &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600) && X509_set_pubkey(cert.get(), key) == 1 &&
      X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1;
  BN_free(bn);
  return ok ? std::move(cert) : nullptr;
}

std::optional<Key> ReadKey(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) return std::nullopt;
  return key;
}

Cert ReadCert(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::optional<CertifiedKey> Finish(X509* cert, EVP_PKEY* key, EVP_PKEY* signer, std::string* error) {
  if (X509_sign(cert, signer, EVP_sha256()) == 0) {
    Fail(error, "cannot sign the certificate");
    return std::nullopt;
  }
  CertifiedKey out{CertPem(cert), KeyPem(key)};
  if (out.certPem.empty() || out.keyPem.empty()) {
    Fail(error, "cannot write the certificate as PEM");
    return std::nullopt;
  }
  return out;
}

}  // namespace

std::optional<CertifiedKey> MakeCa(const std::string& commonName, std::string* error) {
  ERR_clear_error();
  Key key(EVP_EC_gen("P-256"));
  Cert cert = key ? NewCertificate(key.get(), commonName) : nullptr;
  const bool ok = cert && X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) == 1 &&
                  AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE") &&
                  AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
                  AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  if (!ok) {
    Fail(error, "cannot make CA " + commonName);
    return std::nullopt;
  }
  return Finish(cert.get(), key.get(), key.get(), error);
}

std::optional<CertifiedKey> MakeServerCertificate(const CertifiedKey& ca, const std::vector<std::string>& dnsNames,
                                                  const std::vector<std::string>& ipAddresses, std::string* error) {
  ERR_clear_error();
  std::optional<Key> caKey = ReadKey(ca.keyPem);
  Cert caCert = ReadCert(ca.certPem);
  if (!caKey || !caCert) {
    Fail(error, "cannot read the CA");
    return std::nullopt;
  }
  std::string names;
  for (const std::string& n : dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + n;
  for (const std::string& ip : ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + ip;
  const std::string commonName = !dnsNames.empty()     ? dnsNames.front()
                                 : ipAddresses.empty() ? "server"
                                                       : ipAddresses.front();
  Key key(EVP_EC_gen("P-256"));
  Cert cert = key ? NewCertificate(key.get(), commonName) : nullptr;
  const bool ok = cert && X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get())) == 1 &&
                  AddExtension(cert.get(), caCert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
                  AddExtension(cert.get(), caCert.get(), NID_ext_key_usage, "serverAuth") &&
                  AddExtension(cert.get(), caCert.get(), NID_authority_key_identifier, "keyid:always") &&
                  (names.empty() || AddExtension(cert.get(), caCert.get(), NID_subject_alt_name, names));
  if (!ok) {
    Fail(error, "cannot make the server certificate");
    return std::nullopt;
  }
  return Finish(cert.get(), key.get(), caKey->get(), error);
}

const TestPki* TestCertificates(std::string* error) {
  static std::once_flag once;
  static std::optional<TestPki> pki;
  static std::string why;
  std::call_once(once, [] {
    const std::vector<std::string> dns{"localhost"}, ips{"127.0.0.1"};
    auto ca = MakeCa("mivoproxy test CA", &why);
    auto server = ca ? MakeServerCertificate(*ca, dns, ips, &why) : std::nullopt;
    auto interceptorCa = server ? MakeCa("intercepting proxy CA", &why) : std::nullopt;
    auto interceptor = interceptorCa ? MakeServerCertificate(*interceptorCa, dns, ips, &why) : std::nullopt;
    if (interceptor) pki = TestPki{*ca, *server, *interceptorCa, *interceptor};
  });
  if (!pki && error) *error = why;
  return pki ? &*pki : nullptr;
}

bool WritePemFile(const std::string& path, const std::string& pem, std::string* error) {
  QSaveFile out(QString::fromStdString(path));
  if (out.open(QIODevice::WriteOnly) && out.write(pem.data(), static_cast<qint64>(pem.size())) == qint64(pem.size()) &&
      out.commit())
    return true;
  if (error) *error = "cannot write " + path + ": " + out.errorString().toStdString();
  return false;
}

}  // namespace mivo::sample

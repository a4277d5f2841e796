// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Certificates made at run time for loopback TLS peers: nothing is shipped,
// and each process has keys of its own.

#include <optional>
#include <string>
#include <vector>

namespace mivo::sample {

struct CertifiedKey {
  std::string certPem;
  std::string keyPem;
};

// A self-signed certificate authority (EC P-256, valid from a day ago for a
// year). Nothing, with `error` set, when OpenSSL cannot make it.
std::optional<CertifiedKey> MakeCa(const std::string& commonName, std::string* error);

// A server certificate signed by `ca`, naming `dnsNames` and `ipAddresses`
// in its subject alternative names.
std::optional<CertifiedKey> MakeServerCertificate(const CertifiedKey& ca, const std::vector<std::string>& dnsNames,
                                                  const std::vector<std::string>& ipAddresses, std::string* error);

// What the loopback peers present: a test CA and a server certificate from it
// for 127.0.0.1 and localhost; an unrelated CA, the interceptor's, and its
// certificate for the same names, as a man in the middle would present.
struct TestPki {
  CertifiedKey ca;
  CertifiedKey server;
  CertifiedKey interceptorCa;
  CertifiedKey interceptor;
};

// Made once per process on first use; nothing, with `error` set, when it
// cannot be made.
const TestPki* TestCertificates(std::string* error);

// Writes `pem` to `path` (replacing it); false with `error` set on failure.
bool WritePemFile(const std::string& path, const std::string& pem, std::string* error);

}  // namespace mivo::sample

#ifndef TARNIX_PLATFORM_NET_X509_CERTIFICATE_H_
#define TARNIX_PLATFORM_NET_X509_CERTIFICATE_H_

#include <array>
#include <boost/intrusive_ptr.hpp>
#include <cstdint>
#include <string>
#include <system_error>

#include "platform/util/ref_counted.h"

namespace orv {
namespace net {

using Sha256Digest = std::array<uint8_t, 32>;

// An X.509 certificate, kept as its DER encoding and PEM text.
class X509Certificate : public RefCounted {
 public:
  using Ptr = boost::intrusive_ptr<X509Certificate>;

  // Null when the text holds no parsable certificate (the first one is used).
  static Ptr FromPemData(const std::string& pem);
  // Null when the file cannot be read or holds no certificate; `ec` says why.
  static Ptr FromPemFile(const std::string& path, std::error_code& ec);
  static Ptr FromPemFile(const std::string& path);

  const std::string& der() const { return der_; }
  // PEM text of the certificate alone, as re-encoded from DER.
  const std::string& pem() const { return pem_; }
  // SHA-256 over the DER encoding (what `openssl x509 -fingerprint -sha256` shows).
  Sha256Digest SHA256Digest() const;

  bool operator==(const X509Certificate& other) const { return der_ == other.der_; }
  bool operator!=(const X509Certificate& other) const { return der_ != other.der_; }

 private:
  X509Certificate(std::string der, std::string pem)
      : der_(std::move(der)), pem_(std::move(pem)) {}

  std::string der_;
  std::string pem_;
};

// DER of the first certificate in `pem`; empty when there is none.
std::string PemCertificateToDer(const std::string& pem);

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_X509_CERTIFICATE_H_

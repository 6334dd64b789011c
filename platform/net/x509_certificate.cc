#include "platform/net/x509_certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/net/pem_file.h"

namespace orv {
namespace net {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};

std::unique_ptr<X509, X509Free> ParsePem(const std::string& pem) {
  std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  std::unique_ptr<X509, X509Free> cert(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return cert;
}

std::string ToDer(X509* cert) {
  int size = i2d_X509(cert, nullptr);
  if (size <= 0) return std::string();
  std::string der(static_cast<size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(&der[0]);
  i2d_X509(cert, &out);
  return der;
}

std::string ToPem(X509* cert) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return std::string();
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace

std::string PemCertificateToDer(const std::string& pem) {
  auto cert = ParsePem(pem);
  return cert ? ToDer(cert.get()) : std::string();
}

X509Certificate::Ptr X509Certificate::FromPemData(const std::string& pem) {
  auto cert = ParsePem(pem);
  if (!cert) return nullptr;
  std::string der = ToDer(cert.get());
  if (der.empty()) return nullptr;
  return Ptr(new X509Certificate(std::move(der), ToPem(cert.get())));
}

X509Certificate::Ptr X509Certificate::FromPemFile(const std::string& path,
                                                  std::error_code& ec) {
  return LoadPemFile(path, ec, &FromPemData);
}

X509Certificate::Ptr X509Certificate::FromPemFile(const std::string& path) {
  std::error_code ec;
  return FromPemFile(path, ec);
}

Sha256Digest X509Certificate::SHA256Digest() const {
  Sha256Digest digest;
  SHA256(reinterpret_cast<const unsigned char*>(der_.data()), der_.size(), digest.data());
  return digest;
}

}  // namespace net
}  // namespace orv

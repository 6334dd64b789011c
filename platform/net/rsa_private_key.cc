#include "platform/net/rsa_private_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "platform/net/pem_file.h"
#include "platform/net/x509_certificate.h"

namespace orv {
namespace net {

namespace {
// Without a callback OpenSSL asks the terminal (or stdin) for the passphrase
// of an encrypted key; we have none to give.
int NoPassphrase(char*, int, int, void*) { return -1; }

// The key in `pem` (the caller frees it), or null; the caller clears
// OpenSSL's error queue.
EVP_PKEY* ReadKey(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return nullptr;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, NoPassphrase, nullptr);
  BIO_free(bio);
  return key;
}
}  // namespace

RSAPrivateKey::Ptr RSAPrivateKey::FromPemData(const std::string& pem) {
  EVP_PKEY* key = ReadKey(pem);
  ERR_clear_error();
  if (key == nullptr) return nullptr;
  EVP_PKEY_free(key);
  return Ptr(new RSAPrivateKey(pem));
}

bool RSAPrivateKey::MatchesCertificate(const X509Certificate& certificate) const {
  EVP_PKEY* key = ReadKey(pem_);
  const auto* der = reinterpret_cast<const unsigned char*>(certificate.der().data());
  X509* cert = d2i_X509(nullptr, &der, static_cast<long>(certificate.der().size()));
  bool match = key != nullptr && cert != nullptr && X509_check_private_key(cert, key) == 1;
  X509_free(cert);
  EVP_PKEY_free(key);
  ERR_clear_error();
  return match;
}

RSAPrivateKey::Ptr RSAPrivateKey::FromPemFile(const std::string& path,
                                              std::error_code& ec) {
  return LoadPemFile(path, ec, &FromPemData);
}

RSAPrivateKey::Ptr RSAPrivateKey::FromPemFile(const std::string& path) {
  std::error_code ec;
  return FromPemFile(path, ec);
}

}  // namespace net
}  // namespace orv

#include "platform/net/rsa_private_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "platform/net/pem_file.h"

namespace orv {
namespace net {

namespace {
// Without a callback OpenSSL asks the terminal (or stdin) for the passphrase
// of an encrypted key; we have none to give.
int NoPassphrase(char*, int, int, void*) { return -1; }
}  // namespace

RSAPrivateKey::Ptr RSAPrivateKey::FromPemData(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return nullptr;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, NoPassphrase, nullptr);
  BIO_free(bio);
  ERR_clear_error();
  if (key == nullptr) return nullptr;
  EVP_PKEY_free(key);
  return Ptr(new RSAPrivateKey(pem));
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

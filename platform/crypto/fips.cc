#include "platform/crypto/fips.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <stdexcept>
#include <string>

#include "platform/crypto/tls.h"

namespace orv {
namespace crypto {
namespace tls {
const char* const APPROVED_TLS12_CIPHER_SUITES =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";
const char* const APPROVED_TLS13_CIPHER_SUITES =
    "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256";
const char* const APPROVED_TLS_CURVES = "P-384:P-256";
}  // namespace tls

namespace {
std::string LastOpenSslError(const char* what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  std::string text = what;
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    text += ": ";
    text += buf;
  }
  return text;
}
}  // namespace

void set_fips_mode(bool enabled) {
  if (!enabled) {
    if (EVP_default_properties_enable_fips(nullptr, 0) != 1) {
      throw std::runtime_error(LastOpenSslError("cannot leave FIPS mode"));
    }
    return;
  }
  if (fips_mode()) return;
  OSSL_PROVIDER* loaded = nullptr;
  if (OSSL_PROVIDER_available(nullptr, "fips") != 1) {
    loaded = OSSL_PROVIDER_load(nullptr, "fips");
    if (loaded == nullptr) {
      throw std::runtime_error(LastOpenSslError("FIPS provider not available"));
    }
  }
  // Probe that an approved digest can actually be fetched before switching.
  EVP_MD* probe = EVP_MD_fetch(nullptr, "SHA2-256", "fips=yes");
  if (probe == nullptr || EVP_default_properties_enable_fips(nullptr, 1) != 1) {
    std::string text = LastOpenSslError("FIPS provider not usable");
    EVP_MD_free(probe);
    if (loaded != nullptr) OSSL_PROVIDER_unload(loaded);
    throw std::runtime_error(text);
  }
  EVP_MD_free(probe);
}

bool fips_mode() { return EVP_default_properties_is_fips_enabled(nullptr) == 1; }

}  // namespace crypto
}  // namespace orv

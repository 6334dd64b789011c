#ifndef TARNIX_PLATFORM_CRYPTO_TLS_H_
#define TARNIX_PLATFORM_CRYPTO_TLS_H_

namespace orv {
namespace crypto {
namespace tls {

// OpenSSL cipher and group lists (colon separated) of the approved suites.
extern const char* const APPROVED_TLS12_CIPHER_SUITES;
extern const char* const APPROVED_TLS13_CIPHER_SUITES;
extern const char* const APPROVED_TLS_CURVES;

}  // namespace tls
}  // namespace crypto
}  // namespace orv

#endif  // TARNIX_PLATFORM_CRYPTO_TLS_H_

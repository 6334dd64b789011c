#ifndef TARNIX_PLATFORM_CRYPTO_FIPS_H_
#define TARNIX_PLATFORM_CRYPTO_FIPS_H_

namespace orv {
namespace crypto {

// Switches OpenSSL's default algorithm fetching to the FIPS provider (true)
// or back (false). Throws std::runtime_error, leaving OpenSSL as it was, when
// the FIPS provider cannot be loaded or enabled.
void set_fips_mode(bool enabled);

// Whether default fetches currently require the FIPS provider.
bool fips_mode();

}  // namespace crypto
}  // namespace orv

#endif  // TARNIX_PLATFORM_CRYPTO_FIPS_H_

#include "basic_auth.h"

#include <mbedtls/base64.h>
extern "C" {
#include <mbedtls/constant_time.h>  // declared without C linkage for C++
}
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>
#include <psa/crypto.h>

#include <array>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "web_config.h"

// crypt_blowfish, as compiled from libxcrypt.
extern "C" void winperf_crypt_bcrypt_rn(const char *phrase, size_t phrase_size, const char *setting,
                                        size_t setting_size, unsigned char *output,
                                        size_t output_size, void *scratch, size_t scratch_size);

namespace exporter {
namespace {

constexpr size_t kHashLength = 60;
constexpr size_t kScratchBytes = 8192;  // libxcrypt's own size for it
constexpr size_t kDigestBytes = 32;

}  // namespace

const char PasswordCheck::kDummyHash[] =
    "$2b$10$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCui";

bool bcrypt_matches(std::string_view password, const std::string &hash) {
  // The algorithm reads a C string: a password with a NUL in it would be cut short there.
  if (hash.size() != kHashLength || password.find('\0') != std::string_view::npos) return false;
  const std::string phrase(password);
  std::array<unsigned char, kHashLength + 1> output{};
  std::vector<unsigned char> scratch(kScratchBytes);
  winperf_crypt_bcrypt_rn(phrase.c_str(), phrase.size() + 1, hash.c_str(), hash.size() + 1,
                          output.data(), output.size(), scratch.data(), scratch.size());
  mbedtls_platform_zeroize(scratch.data(), scratch.size());
  // On failure the output stays zero, which no hash equals.
  return mbedtls_ct_memcmp(output.data(), hash.data(), kHashLength) == 0;
}

bool parse_basic_authorization(std::string_view header, std::string &user, std::string &password) {
  const size_t space = header.find(' ');
  if (space == std::string_view::npos || !equal_ignoring_case(header.substr(0, space), "Basic")) {
    return false;
  }
  std::string_view encoded = header.substr(space + 1);
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  std::vector<unsigned char> decoded(encoded.size());
  size_t length = 0;
  if (encoded.empty() ||
      mbedtls_base64_decode(decoded.data(), decoded.size(), &length,
                            reinterpret_cast<const unsigned char *>(encoded.data()),
                            encoded.size()) != 0) {
    return false;
  }
  const std::string_view text(reinterpret_cast<const char *>(decoded.data()), length);
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  user = text.substr(0, colon);
  password = text.substr(colon + 1);
  mbedtls_platform_zeroize(decoded.data(), decoded.size());
  return true;
}

PasswordCheck::PasswordCheck() {
  if (psa_crypto_init() != PSA_SUCCESS ||
      psa_generate_random(secret_, sizeof secret_) != PSA_SUCCESS) {
    throw std::runtime_error("no random numbers for the password checks");
  }
}

PasswordCheck::Verdict PasswordCheck::check(const std::map<std::string, std::string> &users,
                                            const std::string &user, std::string_view password) {
  const auto found = users.find(user);
  const bool known = found != users.end();
  const std::string hash = known ? found->second : std::string(kDummyHash);
  const std::string key = remembered_key(user, hash, password);
  const auto verdict = [known](bool matched) {
    return known && matched ? Verdict::accepted : Verdict::refused;
  };
  bool matched = false;
  if (recall(key, matched)) return verdict(matched);
  if (waiting_.fetch_add(1) >= kWaiting) {
    --waiting_;
    return Verdict::busy;
  }
  {
    const std::lock_guard<std::mutex> lock(bcrypt_mutex_);
    // The same check may have been made while this one waited.
    if (!recall(key, matched)) {
      const auto start = std::chrono::steady_clock::now();
      matched = bcrypt_matches(password, hash);
      remember(key, matched);
      // A refusal holds the next check back a quarter of its own time: guessing takes at most
      // four fifths of one core, whatever the number of guessers.
      if (!matched || !known) {
        std::this_thread::sleep_for((std::chrono::steady_clock::now() - start) / 4);
      }
    }
  }
  --waiting_;
  return verdict(matched);
}

// The user, the hash and a keyed digest of the password: the password itself is never kept.
// Hash and digest have fixed lengths, so no two triples give one key.
std::string PasswordCheck::remembered_key(const std::string &user, const std::string &hash,
                                          std::string_view password) const {
  std::array<unsigned char, kDigestBytes> digest{};
  mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), secret_, sizeof secret_,
                  reinterpret_cast<const unsigned char *>(password.data()), password.size(),
                  digest.data());
  std::string key = user;
  key += '\0';
  key += hash;
  key += '\0';
  key.append(reinterpret_cast<const char *>(digest.data()), digest.size());
  return key;
}

bool PasswordCheck::recall(const std::string &key, bool &matched) {
  const std::lock_guard<std::mutex> lock(remembered_mutex_);
  const auto it = remembered_.find(key);
  if (it == remembered_.end()) return false;
  matched = it->second;
  return true;
}

void PasswordCheck::remember(const std::string &key, bool matched) {
  const std::lock_guard<std::mutex> lock(remembered_mutex_);
  if (!remembered_.emplace(key, matched).second) return;
  order_.push_back(key);
  if (order_.size() > kRemembered) {
    remembered_.erase(order_.front());
    order_.pop_front();
  }
}

}  // namespace exporter

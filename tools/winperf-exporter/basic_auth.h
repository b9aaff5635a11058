// Basic authentication against bcrypt hashes, cheap for a scraper that comes back every few
// seconds and bounded for a client that guesses.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace exporter {

// Whether password hashes to hash (bcrypt, $2a$, $2b$ or $2y$). Costs what the hash's cost says.
bool bcrypt_matches(std::string_view password, const std::string &hash);

// The user and password of an "Authorization: Basic ..." header; false when it is not one.
bool parse_basic_authorization(std::string_view header, std::string &user, std::string &password);

class PasswordCheck {
 public:
  enum class Verdict { accepted, refused, busy };

  PasswordCheck();
  PasswordCheck(const PasswordCheck &) = delete;
  PasswordCheck &operator=(const PasswordCheck &) = delete;

  // users maps names to bcrypt hashes. An unknown user costs a bcrypt as a known one does, so
  // that the time of the answer does not tell which names exist. busy: too many checks wait
  // for bcrypt already.
  Verdict check(const std::map<std::string, std::string> &users, const std::string &user,
                std::string_view password);

  // Remembered verdicts, and checks allowed to wait for bcrypt at once.
  static constexpr size_t kRemembered = 1024;
  static constexpr int kWaiting = 16;
  // Of cost 10, like the hashes people make; it matches no password.
  static const char kDummyHash[];

 private:
  std::string remembered_key(const std::string &user, const std::string &hash,
                             std::string_view password) const;
  bool recall(const std::string &key, bool &accepted);
  void remember(const std::string &key, bool accepted);

  unsigned char secret_[32];  // keys the digests of passwords; never leaves the process
  std::mutex remembered_mutex_;
  std::map<std::string, bool> remembered_;
  std::deque<std::string> order_;  // oldest first, to forget
  std::mutex bcrypt_mutex_;        // one bcrypt at a time: guessers cost one core at most
  std::atomic<int> waiting_{0};
};

}  // namespace exporter

// Switches the C and C++ number locales to one with a decimal comma, if one
// is installed, and restores "C" when it goes out of scope: for tests that
// numbers are read and written with a full stop whatever the locale.
#pragma once

#include <clocale>
#include <exception>
#include <locale>

namespace fiskal::testing {

class CommaLocale {
 public:
  CommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "pl_PL.UTF-8",
                             "pl_PL.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                             "de_DE", "pl_PL", "fr_FR"}) {
      if (std::setlocale(LC_NUMERIC, name) == nullptr) continue;
      if (std::localeconv()->decimal_point[0] != ',') continue;
      try {
        std::locale::global(std::locale(name));
      } catch (const std::exception&) {
        continue;
      }
      active_ = true;
      return;
    }
    Restore();
  }
  ~CommaLocale() { Restore(); }
  bool active() const { return active_; }

 private:
  static void Restore() {
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
  }
  bool active_ = false;
};

}  // namespace fiskal::testing

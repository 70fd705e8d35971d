// Numbers as UTF-16 text, for log lines and registry key names: the one
// family of number formatters. Portable: the core and the adapters share it.
#pragma once

#include <cstdint>

#include "platform/WString.h"

namespace stavora {

// Decimal digits, no sign or padding: 4096 gives "4096".
inline WString DecimalText(std::uint64_t number) {
  WString text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + number % 10));
    number /= 10;
  } while (number != 0);
  return text;
}

// Lower-case hexadecimal digits, as few as the number needs: 0x409 gives
// "409", as the registry spells type-library versions and locales.
inline WString HexText(std::uint32_t number) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  WString text;
  do {
    text.insert(text.begin(), kDigits[number & 0xF]);
    number >>= 4;
  } while (number != 0);
  return text;
}

// A result code as the log writes it: "0x" and eight upper-case digits.
inline WString ResultCodeText(std::uint32_t code) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  WString text = u"0x";
  for (int shift = 28; shift >= 0; shift -= 4) text.push_back(kDigits[(code >> shift) & 0xF]);
  return text;
}

}  // namespace stavora

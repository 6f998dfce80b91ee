#include "key_names.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace kavrel_term {

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool ParseKey(const std::string& text, unsigned char& key) {
  if (StartsWithNoCase(text, "0x") && text.size() > 2 && text.size() <= 4) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(text[2]))) return false;
    key = static_cast<unsigned char>(value);
    return true;
  }
  std::size_t prefix = 0;
  if (StartsWithNoCase(text, "ctrl-")) {
    prefix = 5;
  } else if (StartsWithNoCase(text, "c-")) {
    prefix = 2;
  } else if (StartsWithNoCase(text, "^")) {
    prefix = 1;
  }
  if (prefix == 0 || text.size() != prefix + 1) return false;
  const int c = std::toupper(static_cast<unsigned char>(text[prefix]));
  if (c < '@' || c > '_') return false;  // @ A-Z [ \ ] ^ _
  key = static_cast<unsigned char>(c & 0x1F);
  return true;
}

std::string KeyName(unsigned char key) {
  char text[16];
  if (key < 0x20) {
    std::snprintf(text, sizeof text, "Ctrl-%c", static_cast<char>(key | 0x40));
  } else {
    std::snprintf(text, sizeof text, "0x%02x", key);
  }
  return text;
}

}  // namespace kavrel_term

#include "line_maps.h"

#include <sstream>

namespace kavrel_term {

namespace {

struct MapName {
  const char* name;
  char from;
  const char* to;  // empty: the byte is dropped
};

constexpr MapName kMaps[] = {
    {"crlf", '\r', "\n"},    {"crcrlf", '\r', "\r\n"}, {"igncr", '\r', ""},
    {"lfcr", '\n', "\r"},    {"lfcrlf", '\n', "\r\n"}, {"ignlf", '\n', ""},
    {"bsdel", '\b', "\x7f"}, {"delbs", '\x7f', "\b"},
};

}  // namespace

const char* ByteMap::Names() { return "crlf, crcrlf, igncr, lfcr, lfcrlf, ignlf, bsdel, delbs"; }

bool ByteMap::Parse(const std::string& list, ByteMap& map, std::string& why) {
  map = ByteMap();
  std::stringstream names(list);
  std::string name;
  while (std::getline(names, name, ',')) {
    if (name.empty()) continue;
    const MapName* found = nullptr;
    for (const MapName& candidate : kMaps) {
      if (name == candidate.name) found = &candidate;
    }
    if (found == nullptr) {
      why = "unknown map \"" + name + "\" (maps: " + Names() + ")";
      return false;
    }
    std::string* target = nullptr;
    bool* mapped = nullptr;
    switch (found->from) {
      case '\r':
        target = &map.cr_;
        mapped = &map.crMapped_;
        break;
      case '\n':
        target = &map.lf_;
        mapped = &map.lfMapped_;
        break;
      case '\b':
        target = &map.bs_;
        mapped = &map.bsMapped_;
        break;
      default:
        target = &map.del_;
        mapped = &map.delMapped_;
        break;
    }
    if (*mapped) {
      why = "\"" + name + "\" maps a byte another map in the list already maps";
      return false;
    }
    *target = found->to;
    *mapped = true;
  }
  return true;
}

bool ByteMap::empty() const { return !crMapped_ && !lfMapped_ && !bsMapped_ && !delMapped_; }

std::string ByteMap::Apply(const unsigned char* data, std::size_t size) const {
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    switch (data[i]) {
      case '\r':
        out += cr_;
        break;
      case '\n':
        out += lf_;
        break;
      case '\b':
        out += bs_;
        break;
      case 0x7f:
        out += del_;
        break;
      default:
        out += static_cast<char>(data[i]);
        break;
    }
  }
  return out;
}

}  // namespace kavrel_term

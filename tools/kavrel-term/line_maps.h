// The byte maps of the terminal: how received bytes are shown (--imap) and
// how typed keys are sent (--omap), picocom-style. With no map, every byte
// passes unchanged: a device's bare LF moves down a line without returning
// to the left margin, as it would on a real terminal.
#ifndef KAVREL_TERM_LINE_MAPS_H
#define KAVREL_TERM_LINE_MAPS_H

#include <cstddef>
#include <string>

namespace kavrel_term {

class ByteMap {
 public:
  // Parses a comma-separated list of map names (an empty list maps
  // nothing). Names: crlf (CR becomes LF), crcrlf (CR becomes CR LF), igncr
  // (CR dropped), lfcr (LF becomes CR), lfcrlf (LF becomes CR LF), ignlf
  // (LF dropped), bsdel (BS becomes DEL), delbs (DEL becomes BS). At most one
  // map per byte. False, with why, for an unknown name or two maps of one
  // byte.
  static bool Parse(const std::string& list, ByteMap& map, std::string& why);

  // The names Parse accepts, for help texts.
  static const char* Names();

  std::string Apply(const unsigned char* data, std::size_t size) const;
  bool empty() const;

 private:
  // What each byte becomes; unmapped bytes are left out.
  std::string cr_ = "\r";
  std::string lf_ = "\n";
  std::string bs_ = "\b";
  std::string del_ = "\x7f";
  bool crMapped_ = false;
  bool lfMapped_ = false;
  bool bsMapped_ = false;
  bool delMapped_ = false;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_LINE_MAPS_H

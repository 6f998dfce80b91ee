// Telnet option negotiation with a fixed policy: the options this end wants
// are agreed, every other option is refused, and no exchange can loop.
//
// Each option has two sides, ours (we WILL, the peer says DO) and the
// peer's (the peer WILLs, we say DO), each in one of the states of RFC 1143's
// "Q method". This end only ever asks for an option to be enabled, never to
// be disabled, so the WANTNO states and the request queue of RFC 1143 never
// arise. On top of it, an unwanted option is refused once: a peer that keeps
// offering it after our refusal gets no further answer, so even a peer that
// answers every refusal with a new offer cannot make the two ends loop.
#ifndef KAVREL_PLATFORM_LINUX_TELNET_NEGOTIATION_H
#define KAVREL_PLATFORM_LINUX_TELNET_NEGOTIATION_H

#include <array>
#include <bitset>
#include <cstdint>
#include <initializer_list>

#include "platform/linux/telnet_codec.h"

namespace kavrel {
namespace platform {
namespace driver {
namespace telnet {

class OptionNegotiation {
 public:
  enum class State : std::uint8_t {
    kNo,       // off, and not asked for
    kYes,      // agreed
    kWantYes,  // asked for by this end, no answer yet
  };

  // local: the options this end agrees to perform; remote: the options it
  // lets the peer perform.
  OptionNegotiation(std::initializer_list<std::uint8_t> local,
                    std::initializer_list<std::uint8_t> remote);

  // Asks to enable option on this end's side (WILL) or the peer's (DO);
  // the request, when one is due, is appended to out. Only options of the
  // policy are asked for.
  void RequestLocal(std::uint8_t option, Bytes* out);
  void RequestRemote(std::uint8_t option, Bytes* out);

  // Takes IAC verb option from the peer; the answer, when one is due, is
  // appended to out.
  void Receive(std::uint8_t verb, std::uint8_t option, Bytes* out);

  State local(std::uint8_t option) const { return local_.states[option]; }
  State remote(std::uint8_t option) const { return remote_.states[option]; }

 private:
  struct Side {
    std::array<State, 256> states{};
    std::bitset<256> accepted;
    std::bitset<256> refused;  // a refusal has been sent for the option
    std::uint8_t yes;          // our verb that agrees on this side: WILL or DO
    std::uint8_t no;           // our verb that refuses: WONT or DONT
  };

  static void Request(Side& side, std::uint8_t option, Bytes* out);
  static void Receive(Side& side, bool enable, std::uint8_t option, Bytes* out);

  Side local_;
  Side remote_;
};

}  // namespace telnet
}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TELNET_NEGOTIATION_H

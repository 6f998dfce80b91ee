// A virtual null-modem pair made from a pseudo-terminal: Kavrel opens the
// slave by its "pts/N" name, and whoever plays the far end uses the master.
// Bytes written on one side arrive on the other, as on a crossed cable.
#ifndef KAVREL_TERM_VIRTUAL_PAIR_H
#define KAVREL_TERM_VIRTUAL_PAIR_H

#include <string>

namespace kavrel_term {

class VirtualPair {
 public:
  // Creates the pair; check ok(), and error() for why not.
  VirtualPair();
  ~VirtualPair();
  VirtualPair(const VirtualPair&) = delete;
  VirtualPair& operator=(const VirtualPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& error() const { return error_; }
  // The master side, non-blocking and raw.
  int master() const { return master_; }
  // "pts/N": the port name to give SetSerial.
  const std::string& portName() const { return portName_; }

 private:
  int master_ = -1;
  std::string portName_;
  std::string error_;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_VIRTUAL_PAIR_H

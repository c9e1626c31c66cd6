// A socket layer for the sim bus whose connections deliver what the fuzzer
// says: each new connection takes the next script of incoming bytes and the
// sizes they arrive in. Nothing blocks; a connection whose script is spent
// is closed by its peer.
#pragma once
#include <cstdint>
#include <vector>

namespace fuzzsocket {

struct Script {
  std::vector<uint8_t> incoming;
  std::vector<uint32_t> pieces;  // sizes of successive receives; then what is left in one
  bool sendsFail = false;
};

// The scripts for the connections made from now on, in order; connections
// beyond them are refused.
void SetScripts(std::vector<Script> scripts);

}  // namespace fuzzsocket

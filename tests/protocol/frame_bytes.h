// Byte strings for the frame codec tests of both protocol versions.
#pragma once

#include <initializer_list>
#include <string>

#include "protocol/frame.h"

namespace tarlek::protocol::testing {

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Piece Out(const Bytes& bytes) { return Piece{Piece::kOutput, bytes, {}}; }

}  // namespace tarlek::protocol::testing

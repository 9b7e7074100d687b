// A forward-only view of the input, one block at a time: the declaration scans take it a
// character at a time, the line passes a block at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/block_pipe.h"

struct InputStream {
  BlockPipe* pipe = nullptr;  // none: the bytes in the block are all there is
  char* block = nullptr;
  std::size_t pos = 0;            // next unread byte
  std::size_t end = 0;            // one past the last byte in the block
  std::int64_t block_offset = 0;  // input offset of the block's first byte
  bool failed = false;            // a read error ended the input
};

// Reads the next block once every byte of the current one has been used. False at the end
// of the input or after a read error (then `failed` is set).
bool refill(InputStream& in);

// The input offset of the next unread byte.
inline std::int64_t stream_offset(const InputStream& in) {
  return in.block_offset + static_cast<std::int64_t>(in.pos);
}

// The next byte (0..255) without using it, or -1 at the end of the input.
inline int peek_byte(InputStream& in) {
  if (in.pos == in.end && !refill(in)) return -1;
  return static_cast<unsigned char>(in.block[in.pos]);
}

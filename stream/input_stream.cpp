#include "stream/input_stream.h"

#include <cstdint>

bool refill(InputStream& in) {
  if (in.pos < in.end) return true;
  if (in.pipe == nullptr || in.failed) return false;
  std::int64_t got = read_block(*in.pipe);
  if (got < 0) in.failed = true;
  if (got <= 0) return false;
  in.block_offset += static_cast<std::int64_t>(in.end);
  in.block = current_block(*in.pipe);
  in.pos = 0;
  in.end = static_cast<std::size_t>(got);
  return true;
}

// The scan of stream/line_breaks.h as a template over the way a 64-byte chunk's line breaks
// are found, shared by the sources that build it for different instruction sets. Everything
// here has internal linkage: each source gets its own copy, compiled for its own processor
// features, and no copy can stand in for another's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define MOCSLICE_HAVE_SSE2 1
#endif

namespace {

const std::size_t kChunk = 64;

inline int count_bits(std::uint64_t bits) {
#if defined(__POPCNT__)
  return __builtin_popcountll(bits);
#else
  // Without the instruction the compiler would call a library routine.
  bits = bits - ((bits >> 1) & 0x5555555555555555u);
  bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
  bits = (bits + (bits >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<int>((bits * 0x0101010101010101u) >> 56);
#endif
}

// Bit i set where chunk[i] is a line break.
inline std::uint64_t breaks_portable(const char* chunk) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < kChunk; ++i)
    bits |= static_cast<std::uint64_t>(chunk[i] == '\n') << i;
  return bits;
}

#ifdef MOCSLICE_HAVE_SSE2
inline std::uint64_t breaks_sse2(const char* chunk) {
  const __m128i newline = _mm_set1_epi8('\n');
  std::uint64_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + 16 * i));
    auto lanes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
    bits |= static_cast<std::uint64_t>(lanes) << (16 * i);
  }
  return bits;
}
#endif

// Where a chunk holds no break, the lines are long: memchr (vectorised by the C library)
// jumps to the next break, and the chunks are counted again from there, so that long lines
// cost no more than a memchr call each and dense ones a few instructions per 64 bytes.
template <std::uint64_t (*breaks)(const char*)>
std::size_t scan_with(const char* data, std::size_t size, std::int64_t& wanted) {
  std::size_t at = 0;
  while (at + kChunk <= size) {
    std::uint64_t bits = breaks(data + at);
    if (bits == 0) {
      const void* next = std::memchr(data + at + kChunk, '\n', size - at - kChunk);
      if (next == nullptr) return size;
      at = static_cast<std::size_t>(static_cast<const char*>(next) - data);
      continue;
    }
    int found = count_bits(bits);
    if (found < wanted) {
      wanted -= found;
      at += kChunk;
      continue;
    }
    for (std::int64_t k = wanted; k > 1; --k)
      bits &= bits - 1;  // drops the lowest break
    wanted = 0;
    return at + static_cast<std::size_t>(__builtin_ctzll(bits)) + 1;
  }
  for (; at < size; ++at) {
    if (data[at] == '\n' && --wanted == 0) return at + 1;
  }
  return size;
}

}  // namespace

// The SSE2 scan with the POPCNT instruction for the count, built only where the compiler can
// (a source of its own, compiled for it). REQUIRES: the processor has it.
std::size_t scan_line_breaks_popcnt(const char* data, std::size_t size, std::int64_t& wanted);
bool popcnt_scan_usable();

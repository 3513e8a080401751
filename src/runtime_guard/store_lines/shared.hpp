// What writing and reading lines share, and their hot loop: runs of plain characters found 16
// bytes at a time with SSE2, else 8 with word arithmetic (`special`'s high bit flags each byte
// needing attention; only above such a byte can a carry set it falsely, so the lowest is exact).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "store_lines/codec.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define RG_SCAN_SSE2 1
#endif

namespace rg::store_lines {
// Plain bytes are 0x20..kLastPlain but '"' and '\\': 0x7E for writing (json escapes DEL), 0x7F
// for reading.
template <unsigned char kLastPlain>
std::size_t plain_run(const unsigned char* p, std::size_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  std::size_t i = 0;
#ifdef RG_SCAN_SSE2
  // Compared as signed bytes, everything from 0x80 up is below 0x20 too.
  const __m128i below = _mm_set1_epi8(0x20), quotes = _mm_set1_epi8('"'),
                slashes = _mm_set1_epi8('\\'), dels = _mm_set1_epi8(0x7F);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, below), _mm_or_si128(
        _mm_cmpeq_epi8(v, quotes), _mm_cmpeq_epi8(v, slashes)));
    if constexpr (kLastPlain == 0x7E) special = _mm_or_si128(special, _mm_cmpeq_epi8(v, dels));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    if (mask) return i + static_cast<std::size_t>(std::countr_zero(mask));
  }
#endif
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    const std::uint64_t quote = w ^ (kOnes * '"'), slash = w ^ (kOnes * '\\');
    std::uint64_t special = ((w - kOnes * 0x20) & ~w)              // below 0x20
                            | ((quote - kOnes) & ~quote)           // '"'
                            | ((slash - kOnes) & ~slash);          // '\\'
    special |= kLastPlain == 0x7E ? ((w + kOnes) | w) : w;         // above kLastPlain
    special &= kHigh;
    if (special) {
      if constexpr (std::endian::native == std::endian::little)
        return i + static_cast<std::size_t>(std::countr_zero(special)) / 8;
      break;
    }
  }
  while (i < n && p[i] >= 0x20 && p[i] <= kLastPlain && p[i] != '"' && p[i] != '\\') ++i;
  return i;
}

inline Coded done(bool ok) { return ok ? Coded::kDone : Coded::kError; }

// After an int conversion failed: a ValueError is the digit limit, which json raises too.
inline Coded refused() {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Coded::kError;
  PyErr_Clear();
  return Coded::kFallback;
}
}  // namespace rg::store_lines

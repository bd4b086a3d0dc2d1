// AVX-512 with VBMI's byte permutes: the AVX-512 kernels, with the bundle
// fold for n <= 256 done by byte-table lookups instead of memory gathers.
//
// Each packed table word is split into four byte tables (low and high bytes
// of its two biased halves, 256 entries, four registers each), looked up 64
// positions at a time by byte permutes on the phases' low bytes. The
// looked-up bytes are summed in 16-bit lanes, even and odd positions apart,
// which holds 257 items of at most 255; every 256 items (and at the end)
// the lanes are recombined, low + 256 * high, into the packed sums. All
// sums are exact integers, so the result is the gather fold's. A phase of
// 256 or more (never in a record, as n <= 256) would show in `largest`,
// which the caller checks.
#include <cstring>

#include "core/kernels/x86_avx512_loops.hpp"

namespace tesmerine::core {
namespace {

constexpr std::size_t kPositionBlock = 1024;  // positions summed per pass over the items
constexpr std::size_t kItemChunk = 256;       // items whose bytes fit a 16-bit sum
constexpr std::size_t kSlices = kPositionBlock / 64;

// The byte tables, [byte][64 * q .. 64 * q + 63] in register q.
struct ByteTables {
  __m512i bytes[4][4];
};

ByteTables load_byte_tables(const std::uint64_t* table, std::uint32_t n) {
  alignas(64) std::uint8_t bytes[4][256] = {};
  for (std::uint32_t p = 0; p < n; ++p) {
    for (int b = 0; b < 4; ++b) bytes[b][p] = static_cast<std::uint8_t>(table[p] >> (8 * (b % 2) + 32 * (b / 2)));
  }
  ByteTables tables;
  for (int b = 0; b < 4; ++b) {
    for (int q = 0; q < 4; ++q) tables.bytes[b][q] = _mm512_load_si512(bytes[b] + 64 * q);
  }
  return tables;
}

// The 16-bit sums of one block of positions: [byte table][slice of 64
// positions][even, odd][32].
struct BlockSums {
  alignas(64) std::uint16_t lanes[4][kSlices][2][32];
};

__mmask32 first_lanes(std::size_t lanes) {
  return lanes >= 32 ? 0xFFFFFFFFu : static_cast<__mmask32>((std::uint32_t{1} << lanes) - 1);
}

// Adds one item's phases of a block (block_len positions from p) to the
// sums; returns the largest phase read.
std::uint16_t add_item_bytes(const ByteTables& tables, const std::uint16_t* p, std::size_t block_len,
                             BlockSums& sums) {
  // Byte 2w of the two phase registers, for w < 64: the low bytes in order.
  alignas(64) static constexpr std::uint8_t kLowBytes[64] = {
      0,  2,  4,  6,  8,  10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40, 42,
      44, 46, 48, 50, 52, 54, 56, 58, 60, 62, 64, 66, 68, 70, 72, 74, 76, 78, 80, 82, 84, 86,
      88, 90, 92, 94, 96, 98, 100, 102, 104, 106, 108, 110, 112, 114, 116, 118, 120, 122, 124, 126};
  const __m512i pick_low = _mm512_load_si512(kLowBytes);
  const __m512i low_byte_of_word = _mm512_set1_epi16(0x00FF);
  const std::size_t slices = (block_len + 63) / 64;
  __m512i top = _mm512_setzero_si512();
  for (std::size_t slice = 0; slice < slices; ++slice) {
    const std::size_t width = block_len - slice * 64 < 64 ? block_len - slice * 64 : 64;
    const __m512i words0 = _mm512_maskz_loadu_epi16(first_lanes(width < 32 ? width : 32), p + slice * 64);
    const __m512i words1 = _mm512_maskz_loadu_epi16(first_lanes(width > 32 ? width - 32 : 0), p + slice * 64 + 32);
    top = _mm512_max_epu16(top, _mm512_max_epu16(words0, words1));
    const __m512i index = _mm512_permutex2var_epi8(words0, pick_low, words1);
    const __mmask64 high = _mm512_movepi8_mask(index);
    for (int t = 0; t < 4; ++t) {
      const __m512i low_half = _mm512_permutex2var_epi8(tables.bytes[t][0], index, tables.bytes[t][1]);
      const __m512i high_half = _mm512_permutex2var_epi8(tables.bytes[t][2], index, tables.bytes[t][3]);
      const __m512i looked_up = _mm512_mask_blend_epi8(high, low_half, high_half);
      std::uint16_t* even = sums.lanes[t][slice][0];
      std::uint16_t* odd = sums.lanes[t][slice][1];
      _mm512_store_si512(even, _mm512_add_epi16(_mm512_load_si512(even), _mm512_and_si512(looked_up, low_byte_of_word)));
      _mm512_store_si512(odd, _mm512_add_epi16(_mm512_load_si512(odd), _mm512_srli_epi16(looked_up, 8)));
    }
  }
  return static_cast<std::uint16_t>(_mm512_reduce_max_epu32(
      _mm512_max_epu32(_mm512_and_si512(top, _mm512_set1_epi32(0xFFFF)), _mm512_srli_epi32(top, 16))));
}

// Recombines the byte sums into the packed 64-bit sums of the block.
void add_block_sums(const BlockSums& sums, std::uint64_t* acc, std::size_t block_len) {
  for (std::size_t i = 0; i < block_len; ++i) {
    const std::size_t slice = i / 64, w = (i % 64) / 2, parity = i % 2;
    const std::uint64_t cos_part =
        std::uint64_t{sums.lanes[0][slice][parity][w]} + (std::uint64_t{sums.lanes[1][slice][parity][w]} << 8);
    const std::uint64_t sin_part =
        std::uint64_t{sums.lanes[2][slice][parity][w]} + (std::uint64_t{sums.lanes[3][slice][parity][w]} << 8);
    acc[i] += cos_part + (sin_part << 32);
  }
}

void fold_bytes(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                const std::uint64_t* table, std::uint32_t n, std::uint64_t* acc, std::size_t len,
                std::uint16_t* largest) {
  const ByteTables tables = load_byte_tables(table, n);
  BlockSums sums;
  for (std::size_t block = 0; block < len; block += kPositionBlock) {
    const std::size_t block_len = len - block < kPositionBlock ? len - block : kPositionBlock;
    for (std::size_t first = 0; first < count; first += kItemChunk) {
      const std::size_t last = count - first < kItemChunk ? count : first + kItemChunk;
      std::memset(&sums, 0, sizeof sums);
      for (std::size_t k = first; k < last; ++k) {
        const std::uint16_t top = add_item_bytes(tables, phases[k] + offset + block, block_len, sums);
        largest[k] = top > largest[k] ? top : largest[k];
      }
      add_block_sums(sums, acc + block, block_len);
    }
  }
}

void gather_add_vbmi(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                     const std::uint64_t* table, std::uint32_t n, std::uint64_t* acc, std::size_t len,
                     std::uint16_t* largest) {
  // The byte fold has a fixed cost per block of positions (clearing and
  // recombining its 16-bit sums) that only many items repay.
  if (n <= 256 && count >= 64) {
    fold_bytes(phases, count, offset, table, n, acc, len, largest);
  } else {
    gather_add_avx512(phases, count, offset, table, n, acc, len, largest);
  }
}

constexpr Kernels avx512_vbmi_kernels() {
  Kernels k = avx512_kernels();
  k.gather_add = gather_add_vbmi;
  return k;
}

}  // namespace

extern const Kernels kAvx512VbmiKernels;
constinit const Kernels kAvx512VbmiKernels = avx512_vbmi_kernels();

}  // namespace tesmerine::core

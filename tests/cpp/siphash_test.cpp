#include "table/siphash.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace galtro {
namespace {

// SipHash-2-4 reference vectors: key 00 01 .. 0f, message 00 01 .. (len - 1) for
// len = 0..63, as the 64-bit outputs of the reference implementation read
// little-endian. Regenerate with
//   PYTHONHASHSEED=0 python3.11 tests/cpp/data/make_siphash_vectors.py --print-siphash24
// (whose SipHash is checked there against the published values for lengths 0 and 15).
constexpr std::array<std::uint64_t, 64> kSipHash24Vectors = {
    0x726fdb47dd0e0e31, 0x74f839c593dc67fd, 0x0d6c8009d9a94f5a, 0x85676696d7fb7e2d,
    0xcf2794e0277187b7, 0x18765564cd99a68d, 0xcbc9466e58fee3ce, 0xab0200f58b01d137,
    0x93f5f5799a932462, 0x9e0082df0ba9e4b0, 0x7a5dbbc594ddb9f3, 0xf4b32f46226bada7,
    0x751e8fbc860ee5fb, 0x14ea5627c0843d90, 0xf723ca908e7af2ee, 0xa129ca6149be45e5,
    0x3f2acc7f57c29bdb, 0x699ae9f52cbe4794, 0x4bc1b3f0968dd39c, 0xbb6dc91da77961bd,
    0xbed65cf21aa2ee98, 0xd0f2cbb02e3b67c7, 0x93536795e3a33e88, 0xa80c038ccd5ccec8,
    0xb8ad50c6f649af94, 0xbce192de8a85b8ea, 0x17d835b85bbb15f3, 0x2f2e6163076bcfad,
    0xde4daaaca71dc9a5, 0xa6a2506687956571, 0xad87a3535c49ef28, 0x32d892fad841c342,
    0x7127512f72f27cce, 0xa7f32346f95978e3, 0x12e0b01abb051238, 0x15e034d40fa197ae,
    0x314dffbe0815a3b4, 0x027990f029623981, 0xcadcd4e59ef40c4d, 0x9abfd8766a33735c,
    0x0e3ea96b5304a7d0, 0xad0c42d6fc585992, 0x187306c89bc215a9, 0xd4a60abcf3792b95,
    0xf935451de4f21df2, 0xa9538f0419755787, 0xdb9acddff56ca510, 0xd06c98cd5c0975eb,
    0xe612a3cb9ecba951, 0xc766e62cfcadaf96, 0xee64435a9752fe72, 0xa192d576b245165a,
    0x0a8787bf8ecb74b2, 0x81b3e73d20b49b6f, 0x7fa8220ba3b2ecea, 0x245731c13ca42499,
    0xb78dbfaf3a8d83bd, 0xea1ad565322a1a0b, 0x60e61c23a3795013, 0x6606d7e446282b93,
    0x6ca4ecb15c5f91e1, 0x9f626da15c9625f3, 0xe51b38608ef25f57, 0x958a324ceb064572,
};

constexpr HashKey kReferenceKey{0x0706050403020100, 0x0f0e0d0c0b0a0908};

std::vector<unsigned char> counting_bytes(std::size_t length) {
  std::vector<unsigned char> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

// Hashes `bytes` from a buffer position with the given misalignment.
template <class Hash>
std::uint64_t hash_at_offset(const std::vector<unsigned char>& bytes, std::size_t offset,
                             Hash hash) {
  std::vector<unsigned char> buffer(offset + bytes.size() + 1, 0xAA);
  std::copy(bytes.begin(), bytes.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
  return hash(buffer.data() + offset, bytes.size());
}

TEST(SipHash24, MatchesReferenceVectorsAtEveryLengthAndAlignment) {
  for (std::size_t length = 0; length < kSipHash24Vectors.size(); ++length) {
    const auto bytes = counting_bytes(length);
    for (std::size_t offset : {0, 1, 3, 7}) {
      EXPECT_EQ(hash_at_offset(bytes, offset,
                               [](const unsigned char* data, std::size_t size) {
                                 return siphash24(kReferenceKey, data, size);
                               }),
                kSipHash24Vectors[length])
          << "length " << length << " offset " << offset;
    }
  }
}

TEST(SipHash24, IncrementalWritesInAnySplitMatchOneShot) {
  const auto bytes = counting_bytes(63);
  for (std::size_t length = 0; length <= bytes.size(); ++length) {
    for (std::size_t piece = 1; piece <= 9; ++piece) {
      SipHasher24 hasher(kReferenceKey);
      for (std::size_t at = 0; at < length; at += piece) {
        hasher.write(bytes.data() + at, std::min(piece, length - at));
      }
      EXPECT_EQ(hasher.finish(), kSipHash24Vectors[length])
          << "length " << length << " piece " << piece;
    }
  }
}

struct Vector13 {
  std::string kind;  // "bytes" or "text"
  std::string input;
  std::uint64_t hash;
};

std::vector<Vector13> load_siphash13_vectors() {
  std::ifstream in(std::string(GALTRO_TEST_DATA_DIR) + "/siphash13_vectors.txt");
  std::vector<Vector13> vectors;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind, hex, hash_hex;
    fields >> kind >> hex >> hash_hex;
    std::string input;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      input.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    vectors.push_back({kind, input, std::stoull(hash_hex, nullptr, 16)});
  }
  return vectors;
}

TEST(SipHash13, MatchesCPythonBytesHashes) {
  const auto vectors = load_siphash13_vectors();
  ASSERT_GE(vectors.size(), 126u) << "missing " GALTRO_TEST_DATA_DIR "/siphash13_vectors.txt?";
  int texts = 0;
  for (const auto& vector : vectors) {
    const std::vector<unsigned char> bytes(vector.input.begin(), vector.input.end());
    if (vector.kind == "bytes") {
      for (std::size_t offset : {0, 1, 5}) {
        EXPECT_EQ(hash_at_offset(bytes, offset,
                                 [](const unsigned char* data, std::size_t size) {
                                   return siphash13(HashKey{0, 0}, data, size);
                                 }),
                  vector.hash)
            << vector.input.size() << " bytes at offset " << offset;
      }
    } else {
      ASSERT_EQ(vector.kind, "text");
      ++texts;
      EXPECT_EQ(siphash13_text(HashKey{0, 0}, vector.input), vector.hash) << vector.input;
      // The same as hashing the bytes with 0xFF appended, in one piece.
      const std::string terminated = vector.input + '\xff';
      EXPECT_EQ(siphash13(HashKey{0, 0}, terminated.data(), terminated.size()), vector.hash);
    }
  }
  EXPECT_GE(texts, 10);
}

TEST(SipHash13, U64KeyIsItsLittleEndianBytesAndMixedWritesAgree) {
  const HashKey key{0x0123456789abcdef, 0xfedcba9876543210};
  for (std::uint64_t value :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1700000000}, ~std::uint64_t{0}}) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    EXPECT_EQ(siphash13_u64(key, value), siphash13(key, bytes, sizeof bytes));
  }
  // write_u64 after an unaligned prefix, and write_byte, agree with one-shot bytes.
  const auto bytes = counting_bytes(20);
  SipHasher13 hasher(key);
  hasher.write(bytes.data(), 3);
  std::uint64_t word = 0;
  for (int i = 0; i < 8; ++i)
    word |= std::uint64_t{bytes[3 + static_cast<std::size_t>(i)]} << (8 * i);
  hasher.write_u64(word);
  for (std::size_t i = 11; i < bytes.size(); ++i) hasher.write_byte(bytes[i]);
  EXPECT_EQ(hasher.finish(), siphash13(key, bytes.data(), bytes.size()));
}

}  // namespace
}  // namespace galtro

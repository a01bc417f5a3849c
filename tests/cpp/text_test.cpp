// Text: inline storage up to 15 bytes, one exact heap block above; deep copies,
// emptying moves, byte-for-byte equality and the two-piece constructor.
#include "core/text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/borrowed_text.h"

namespace galtro {
namespace {

// Bytes that would confuse a C-string or a tag-byte reading: NUL, 0xFF and
// non-ASCII, cycling so that every position differs from its neighbours.
std::string pattern(std::size_t size, char salt = 0) {
  static constexpr char kAlphabet[] = {'a', '\0', '\xff', 'Z', '\xc3', '\xa9', '7', '\x0f'};
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(kAlphabet[i % sizeof kAlphabet] + salt + static_cast<char>(i / 8));
  }
  return bytes;
}

// Every inline size (short texts are assembled from overlapping word loads, with a
// path per size range), the heap sizes around the boundary, and a large one.
const std::vector<std::size_t> kSizes = {0,  1,  2,  3,  4,  5,  6,  7,  8,   9,      10,
                                         11, 12, 13, 14, 15, 16, 17, 31, 100, 1 << 20};

bool stored_inline(const Text& text) {
  const char* data = text.data();
  const char* object = reinterpret_cast<const char*>(&text);
  return data >= object && data < object + sizeof(Text);
}

class TextSizeTest : public testing::TestWithParam<std::size_t> {};

TEST_P(TextSizeTest, HoldsItsBytesInlineUpTo15AndOnTheHeapAbove) {
  const std::string bytes = pattern(GetParam());
  const Text text(bytes);
  EXPECT_EQ(text.size(), bytes.size());
  EXPECT_EQ(text.empty(), bytes.empty());
  EXPECT_EQ(text.view(), bytes);
  EXPECT_EQ(text.str(), bytes);
  EXPECT_NE(text.data(), bytes.data()) << "a text owns a copy";
  EXPECT_EQ(stored_inline(text), bytes.size() <= Text::kInlineCapacity);

  const Text from_pointer(bytes.data(), bytes.size());
  EXPECT_EQ(from_pointer, text);
}

TEST_P(TextSizeTest, CopyIsDeepAndEqual) {
  const std::string bytes = pattern(GetParam());
  auto original = std::make_unique<Text>(bytes);
  const Text copy(*original);
  EXPECT_EQ(copy, *original);
  if (!bytes.empty()) {
    EXPECT_NE(copy.data(), original->data());
  }
  original.reset();  // the copy must not depend on the original's storage
  EXPECT_EQ(copy.view(), bytes);
}

TEST_P(TextSizeTest, MoveTransfersTheBytesAndLeavesTheSourceEmpty) {
  const std::string bytes = pattern(GetParam());
  Text source(bytes);
  const char* heap_block = source.data();

  Text moved(std::move(source));
  EXPECT_EQ(moved.view(), bytes);
  if (bytes.size() > Text::kInlineCapacity) {
    EXPECT_EQ(moved.data(), heap_block) << "a move hands the heap block over";
  }
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): a move empties it
  EXPECT_EQ(source, Text());

  // The emptied source is an ordinary text again.
  source = Text(pattern(GetParam(), 1));
  EXPECT_EQ(source.view(), pattern(GetParam(), 1));
}

TEST_P(TextSizeTest, ConcatenationMatchesTheJoinedBytesAtEverySplit) {
  const std::string bytes = pattern(GetParam());
  // Every split for short texts; a handful for long ones.
  std::vector<std::size_t> splits;
  if (bytes.size() <= 40) {
    for (std::size_t i = 0; i <= bytes.size(); ++i) splits.push_back(i);
  } else {
    splits = {0, 1, 15, 16, bytes.size() / 2, bytes.size() - 1, bytes.size()};
  }
  const std::string_view whole = bytes;
  for (std::size_t split : splits) {
    const Text joined(whole.substr(0, split), whole.substr(split));
    EXPECT_EQ(joined.view(), bytes) << "split at " << split;
    EXPECT_EQ(stored_inline(joined), bytes.size() <= Text::kInlineCapacity);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TextSizeTest, testing::ValuesIn(kSizes),
                         [](const testing::TestParamInfo<std::size_t>& param_info) {
                           return "Size" + std::to_string(param_info.param);
                         });

// Assignment between every pair of sizes covers inline<->heap in both directions;
// under AddressSanitizer a leaked or doubly freed block fails the test.
class TextAssignmentTest : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(TextAssignmentTest, CopyAndMoveAssignmentReplaceTheOldContents) {
  const auto [from_size, to_size] = GetParam();
  const std::string from_bytes = pattern(from_size, 3);
  const std::string to_bytes = pattern(to_size, 5);

  Text target(to_bytes);
  const Text source(from_bytes);
  target = source;
  EXPECT_EQ(target.view(), from_bytes);
  EXPECT_EQ(source.view(), from_bytes);

  Text target2(to_bytes);
  Text source2(from_bytes);
  target2 = std::move(source2);
  EXPECT_EQ(target2.view(), from_bytes);
  EXPECT_TRUE(source2.empty());  // NOLINT(bugprone-use-after-move): a move empties it

  Text a(from_bytes);
  Text b(to_bytes);
  a.swap(b);
  EXPECT_EQ(a.view(), to_bytes);
  EXPECT_EQ(b.view(), from_bytes);
}

INSTANTIATE_TEST_SUITE_P(SizePairs, TextAssignmentTest,
                         testing::Combine(testing::Values(0, 15, 16, 300),
                                          testing::Values(0, 15, 16, 300)));

TEST(TextTest, SelfAssignmentKeepsTheContents) {
  for (std::size_t size : {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{64}}) {
    const std::string bytes = pattern(size);
    Text text(bytes);
    Text& alias = text;
    text = alias;
    EXPECT_EQ(text.view(), bytes);
    text = std::move(alias);
    EXPECT_EQ(text.view(), bytes);
  }
}

TEST(TextTest, EqualityIsByteForByte) {
  struct Case {
    std::string a;
    std::string b;
    bool equal;
  };
  const std::string long_text = pattern(40);
  std::string long_last_differs = long_text;
  long_last_differs.back() = static_cast<char>(long_last_differs.back() ^ 1);
  const std::vector<Case> cases = {
      {"", "", true},
      {"agent", "agent", true},
      {"agent", "Agent", false},             // case-sensitive
      {"agent", "agent ", false},            // no trimming
      {"agent", "agen", false},              // prefix
      {std::string("a\0b", 3), "a", false},  // NUL is an ordinary byte
      {std::string("a\0b", 3), std::string("a\0c", 3), false},
      {"caf\xc3\xa9", "cafe\xcc\x81", false},  // no Unicode normalisation
      {pattern(15), pattern(15), true},
      {pattern(15), pattern(16), false},
      {long_text, long_text, true},
      {long_text, long_last_differs, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.a << "' vs '" << c.b << "'");
    EXPECT_EQ(Text(c.a) == Text(c.b), c.equal);
    EXPECT_EQ(Text(c.b) == Text(c.a), c.equal);
    EXPECT_EQ(Text(c.a) == std::string_view(c.b), c.equal);
  }
  EXPECT_EQ(Text(), Text(""));
}

// The bytes of a text are the layout text.h gives, whatever the machine's byte order:
// inline, the bytes then the length in byte 15; on the heap, the length little-endian
// in bytes 8..14 and the tag 0xFF in byte 15.
TEST(TextTest, BytesFollowTheDocumentedLayout) {
  const auto representation = [](const Text& text) {
    std::array<unsigned char, 16> bytes;
    std::memcpy(bytes.data(), static_cast<const void*>(&text), bytes.size());
    return bytes;
  };
  for (const Text& text : {Text("fifteen bytes!!"), Text("file:", "src/x.rs"), Text("")}) {
    const auto bytes = representation(text);
    EXPECT_EQ(bytes[15], text.size());
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(bytes.data()), text.size()),
              text.view());
    for (std::size_t i = text.size(); i < 15; ++i) EXPECT_EQ(bytes[i], 0) << i;
  }
  const std::string long_bytes(0x1234, 'y');
  for (const Text& text : {Text(long_bytes), Text("task:", long_bytes)}) {
    const auto bytes = representation(text);
    EXPECT_EQ(bytes[15], 0xFF);
    EXPECT_EQ(bytes[8] | bytes[9] << 8, static_cast<int>(text.size()));
    for (std::size_t i = 10; i < 15; ++i) EXPECT_EQ(bytes[i], 0) << i;
  }
}

TEST(TextTest, ConcatenationWithEmptyPiecesAndResourceKeys) {
  EXPECT_EQ(Text("", ""), Text());
  EXPECT_EQ(Text("file:", "").view(), "file:");
  EXPECT_EQ(Text("", "file:").view(), "file:");
  EXPECT_EQ(Text("file:", "0123456789").view(), "file:0123456789");    // 15: inline
  EXPECT_EQ(Text("task:", "01234567890").view(), "task:01234567890");  // 16: heap
}

}  // namespace
}  // namespace galtro

namespace galtro {
namespace {

// A borrowed text can be kept by no one: it is neither copied nor moved, and what
// must outlive the call is a Text of its own bytes, written as any other text.
static_assert(!std::is_copy_constructible_v<BorrowedText>);
static_assert(!std::is_move_constructible_v<BorrowedText>);
static_assert(!std::is_copy_assignable_v<BorrowedText>);
static_assert(!std::is_move_assignable_v<BorrowedText>);

TEST(BorrowedTextTest, ViewsTheBytesAndATextMadeFromItOwnsItsOwn) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{40}}) {
    std::string bytes(size, 'x');
    const BorrowedText borrowed(bytes);
    EXPECT_EQ(borrowed.view().data(), bytes.data());
    EXPECT_EQ(borrowed.size(), size);
    const Text kept(borrowed);
    EXPECT_EQ(kept, Text(std::string(size, 'x')));  // the same bytes as any text of them
    if (size == 0) continue;
    EXPECT_NE(kept.data(), bytes.data());
    bytes[0] = 'y';  // seen through the borrowed text only
    EXPECT_EQ(borrowed.view(), bytes);
    EXPECT_EQ(kept.view(), std::string(size, 'x'));
  }
}

}  // namespace
}  // namespace galtro

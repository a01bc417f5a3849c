// BorrowedText: a caller's argument text, viewed for the length of one call.
//
// The binding makes one over the UTF-8 encoding of each str argument, which it keeps
// for the call, and core operations take it by const reference. It can be neither
// copied nor moved, so no record, result or table can keep one: what must outlive the
// call is an owned Text made from its bytes (Text's constructor from a view, the one
// path that writes a text). Where the compiler knows [[clang::lifetimebound]], a view
// taken from it that outlives the bytes is diagnosed as well.
#pragma once

#include <cstddef>
#include <string_view>

#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::lifetimebound)
#define GALTRO_LIFETIMEBOUND [[clang::lifetimebound]]
#endif
#endif
#ifndef GALTRO_LIFETIMEBOUND
#define GALTRO_LIFETIMEBOUND
#endif

namespace galtro {

class BorrowedText {
 public:
  // PRECONDITION: `bytes` outlive the text.
  explicit constexpr BorrowedText(std::string_view bytes GALTRO_LIFETIMEBOUND) noexcept
      : bytes_(bytes) {}
  BorrowedText(const BorrowedText&) = delete;
  BorrowedText(BorrowedText&&) = delete;
  BorrowedText& operator=(const BorrowedText&) = delete;
  BorrowedText& operator=(BorrowedText&&) = delete;

  constexpr std::string_view view() const noexcept GALTRO_LIFETIMEBOUND { return bytes_; }
  // NOLINTNEXTLINE: a borrowed text is read as a view
  constexpr operator std::string_view() const noexcept GALTRO_LIFETIMEBOUND { return bytes_; }
  constexpr std::size_t size() const noexcept { return bytes_.size(); }

 private:
  std::string_view bytes_;
};

}  // namespace galtro

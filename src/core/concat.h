// Builds one std::string from pieces with a single allocation.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace galtro {

inline std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t length = 0;
  for (std::string_view piece : pieces) length += piece.size();
  std::string joined;
  joined.reserve(length);
  for (std::string_view piece : pieces) joined.append(piece);
  return joined;
}

}  // namespace galtro

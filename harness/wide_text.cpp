#include "wide_text.h"

namespace harness {

std::u16string ToU16(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace harness

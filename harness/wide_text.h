// Text helpers shared by the harness and the tests.
#pragma once

#include <string>
#include <string_view>

namespace harness {

// ASCII text widened to the kernel's UTF-16.
std::u16string ToU16(std::string_view text);

}  // namespace harness

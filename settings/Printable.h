#pragma once
// Text from the unit or from a file on its way to a terminal: nothing in it
// may move the cursor, recolour the screen, retitle the window or start a
// line of its own that looks like ours.

#include <string>
#include <string_view>

namespace norvo {

// UTF-8 text with every control character escaped visibly: \n, \r and \t as
// such, other C0 characters and DEL as \x1b, C1 characters and the
// invisible direction and line-separator marks as \u009b, \u202e, and any
// byte that is not part of UTF-8 as \xe9. Everything else stays as it is.
std::string PrintableText(std::string_view text);

}  // namespace norvo

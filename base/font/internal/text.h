// Walks a NUL-terminated UTF-8 text character by character with the shared decoder, stopping at the
// first character of length 0 (the end, a four-byte or a broken sequence).
#pragma once

#include <cstdint>

#include "base/font/font_manager.h"

namespace varnelle::font_internal {

template <typename Fn>
void ForEachChar(const char* text, Fn&& fn) {
    if (text == nullptr) return;
    while (*text != '\0') {
        int length = 0;
        uint16_t code = IFontManager::DecodeUtf8Char(text, length);
        if (length == 0) return;
        fn(code);
        text += length;
    }
}

}  // namespace varnelle::font_internal

#include "engine/core/string_convert.h"

#include "engine/platform/text_convert.h"

namespace tessali::core {

using namespace tessali::platform;

Ref<CStringConvert> CStringConvert::FromWideToAnsi(std::u16string_view wide) {
    return Ref<CStringConvert>::Adopt(
        new CStringConvert(Utf8ToAnsi(Utf16ToUtf8(wide)), std::u16string(wide)));
}

Ref<CStringConvert> CStringConvert::FromWideToUtf8(std::u16string_view wide) {
    return Ref<CStringConvert>::Adopt(new CStringConvert(Utf16ToUtf8(wide), std::u16string(wide)));
}

Ref<CStringConvert> CStringConvert::FromAnsi(std::string_view ansi) {
    return Ref<CStringConvert>::Adopt(new CStringConvert(std::string(ansi), Utf8ToUtf16(AnsiToUtf8(ansi))));
}

}  // namespace tessali::core

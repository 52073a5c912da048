// CStringConvert: a counted holder of one text in narrow and wide (UTF-16) form, for the places
// where engine code hands a text to a caller that needs the other form. Immutable once made.
#pragma once

#include <string>
#include <string_view>

#include "engine/core/ref_counted.h"

namespace tessali::core {

class CStringConvert : public RefCountedObject {
public:
    // Wide text to the ANSI code page (GBK by default).
    static Ref<CStringConvert> FromWideToAnsi(std::u16string_view wide);
    // Wide text to UTF-8.
    static Ref<CStringConvert> FromWideToUtf8(std::u16string_view wide);
    // Narrow ANSI code page text to wide.
    static Ref<CStringConvert> FromAnsi(std::string_view ansi);

    const std::string& Narrow() const { return m_narrow; }
    const std::u16string& Wide() const { return m_wide; }

private:
    CStringConvert(std::string narrow, std::u16string wide)
        : m_narrow(std::move(narrow)), m_wide(std::move(wide)) {}
    ~CStringConvert() override = default;

    std::string m_narrow;
    std::u16string m_wide;
};

}  // namespace tessali::core

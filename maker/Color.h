// Colours handed to the host, and their conversion from COLORREF-style 32-bit values.
#pragma once

#include <cstdint>

#include "maker/KvxExport.h"

namespace Orvex::Common {

// An 8-bit RGB colour plus the kind carried in bits 24 and 25 of a colour value
// (0: plain, 1: bit 24 set, 2: bit 25 set, 3: both).
struct Color {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::uint8_t kind = 0;

    friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace Orvex::Common

class KVX_API MColor_COLORREF {
public:
    // Sets `color` from `value` (red in bits 0-7, green 8-15, blue 16-23, kind in bits 24-25).
    // `swapRedBlue` reads red from bits 16-23 and blue from bits 0-7 instead.
    static void SetCOLORREF(Orvex::Common::Color& color, std::uint32_t value, bool swapRedBlue);
    static std::uint32_t GetCOLORREF(const Orvex::Common::Color& color);
};

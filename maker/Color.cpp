#include "maker/Color.h"

void MColor_COLORREF::SetCOLORREF(Orvex::Common::Color& color, std::uint32_t value,
                                  bool swapRedBlue) {
    const auto lo = static_cast<std::uint8_t>(value & 0xFF);
    const auto hi = static_cast<std::uint8_t>((value >> 16) & 0xFF);
    color.red = swapRedBlue ? hi : lo;
    color.green = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    color.blue = swapRedBlue ? lo : hi;
    color.kind = static_cast<std::uint8_t>((value >> 24) & 0x3);
}

std::uint32_t MColor_COLORREF::GetCOLORREF(const Orvex::Common::Color& color) {
    return std::uint32_t{color.red} | std::uint32_t{color.green} << 8 |
           std::uint32_t{color.blue} << 16 | std::uint32_t{color.kind & 0x3u} << 24;
}

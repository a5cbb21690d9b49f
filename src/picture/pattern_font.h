// A 5 x 7 bitmap font for the simulated card's test pattern: capitals, digits and the few signs
// its captions use. Lower-case letters are drawn as capitals; other characters as blanks.
#pragma once

#include <cstdint>

namespace kestrel::picture {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Row r (0 = top) of character c: bit 4 is the leftmost pixel.
uint8_t glyph_row(char c, int r);

}  // namespace kestrel::picture

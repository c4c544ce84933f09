// Text conversions of the operator's boxes.
#pragma once

// Decimal conversion as the C library's atol does it (leading blanks, a sign,
// digits up to the first non-digit; 0 without digits), without its overflow
// undefined behaviour: digit runs too long for 32 bits wrap modulo 2^32, so the
// value is a 32-bit one (a long on Windows) on every build.
long ParseDecimal(const char* text);

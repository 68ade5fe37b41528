#pragma once

// Decimal text to a 32-bit integer the way the runtime's _wtoi reads it: leading white space and
// one sign, digits up to the first non-digit, 0 without digits; beyond the range, the nearest limit.
int XmlToInt(const wchar_t* psz);

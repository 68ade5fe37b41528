#pragma once
#include <windows.h>

// The digest text of "PatchConfig.xml": two hexadecimal digits per byte, first byte first,
// letters in either case; the first 40 digits are the SHA-1 digest. At most 100 digits are
// converted into a zero-filled buffer of 50 bytes; only the first 20 bytes are compared.
constexpr int PATCH_DIGEST_BUFFER_BYTES = 50;
constexpr int PATCH_DIGEST_COMPARED_BYTES = 20;

// Results of PatchDigestBytes besides a failing position.
constexpr int PATCH_DIGEST_OK = -1;
constexpr int PATCH_DIGEST_TOO_LONG = -2; // more than 100 characters: refused before converting

// Converts the text the way the agent reads it: a byte from each pair of positions (leading white
// space skipped, at most two digits). Answers PATCH_DIGEST_OK, PATCH_DIGEST_TOO_LONG, or the
// position 2k at which no digit could be read (0 for an empty text).
int PatchDigestBytes(const wchar_t* pszText, BYTE (&out)[PATCH_DIGEST_BUFFER_BYTES]);

// The agent's comparison: the first 20 bytes of the computed digest against the converted text.
bool PatchDigestMatches(const BYTE* pActual, const BYTE (&expected)[PATCH_DIGEST_BUFFER_BYTES]);

#include "tools/PatchBuilder/ZexlRecord.h"

namespace
{
void PutLe(std::vector<BYTE>& out, size_t offset, unsigned value, int nBytes)
{
    for (int i = 0; i < nBytes; i++)
        out[offset + i] = static_cast<BYTE>(value >> (8 * i));
}
} // namespace

std::vector<BYTE> MakeZexlRecord(const std::wstring& relPath)
{
    size_t nUnits = relPath.size() + 1;
    if (relPath.empty() || nUnits > ZEXL_MAX_UNITS)
        return std::vector<BYTE>();
    size_t cbField = 15 + 2 * nUnits;
    std::vector<BYTE> field(cbField, 0);
    const char magic[5] = {'Z', 'E', 'x', 'L', '\0'};
    for (int i = 0; i < 5; i++)
        field[i] = static_cast<BYTE>(magic[i]);
    PutLe(field, 5, static_cast<unsigned>(cbField), 4);
    field[9] = 1;
    PutLe(field, 13, static_cast<unsigned>(nUnits), 2);
    for (size_t i = 0; i < relPath.size(); i++)
        PutLe(field, 15 + 2 * i, relPath[i], 2);
    return field;
}

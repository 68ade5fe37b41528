#include <algorithm>

#include "fuzz/FuzzHarness.h"

namespace lumofuzz
{
uint64_t Rng::Next()
{
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

Bytes Rng::RandomBytes(size_t n)
{
    Bytes b(n, '\0');
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<char>(Next() & 0xFF);
    return b;
}

void PutLe16(Bytes& b, size_t pos, uint32_t v)
{
    if (b.size() < pos + 2)
        b.resize(pos + 2, '\0');
    b[pos] = static_cast<char>(v & 0xFF);
    b[pos + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void PutLe32(Bytes& b, size_t pos, uint32_t v)
{
    PutLe16(b, pos, v & 0xFFFF);
    PutLe16(b, pos + 2, v >> 16);
}

uint32_t GetLe16(const Bytes& b, size_t pos)
{
    if (b.size() < pos + 2)
        return 0;
    return static_cast<uint8_t>(b[pos]) | (static_cast<uint32_t>(static_cast<uint8_t>(b[pos + 1])) << 8);
}

uint32_t GetLe32(const Bytes& b, size_t pos)
{
    return GetLe16(b, pos) | (GetLe16(b, pos + 2) << 16);
}

Bytes Utf16Bytes(const std::wstring& text)
{
    return Bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring BytesToWide(const Bytes& bytes)
{
    std::wstring w(bytes.size() / 2, L'\0');
    if (!w.empty())
        memcpy(&w[0], bytes.data(), w.size() * sizeof(wchar_t));
    return w;
}

uint32_t InterestingValue(Rng& rng)
{
    static const uint32_t s_values[] = {
        0,          1,      2,       0x7F,       0x80,       0xFF,       0x100,      0x7FFF,
        0x8000,     0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFF0,
        0x40000000, 16,     32,      260,        4096,       16384,      32000,      65535};
    return s_values[rng.Below(sizeof(s_values) / sizeof(s_values[0]))];
}

void PutInteresting(Rng& rng, Bytes& data, size_t pos)
{
    uint32_t v = InterestingValue(rng);
    switch (rng.Below(3))
    {
    case 0:
        if (data.size() < pos + 1)
            data.resize(pos + 1, '\0');
        data[pos] = static_cast<char>(v & 0xFF);
        break;
    case 1:
        PutLe16(data, pos, v);
        break;
    default:
        PutLe32(data, pos, v);
        break;
    }
}

namespace
{
size_t Align(size_t n, size_t unit)
{
    return n - n % unit;
}

// A position in data on a unit boundary, end included when bEnd.
size_t Pos(Rng& rng, const Bytes& data, size_t unit, bool bEnd)
{
    size_t nUnits = data.size() / unit + (bEnd ? 1 : 0);
    return rng.Below(nUnits) * unit;
}

// Run lengths: mostly short, sometimes long.
size_t RunLength(Rng& rng, size_t unit)
{
    size_t n = rng.OneIn(8) ? 1 + rng.Below(1024) : 1 + rng.Below(16);
    return n * unit;
}

void MutateOnce(Rng& rng, Bytes& data, const std::vector<Bytes>& corpus, const MutatorOptions& opt)
{
    const size_t unit = opt.unit;
    switch (rng.Below(11))
    {
    case 0: // bit flip
        if (!data.empty())
            data[rng.Below(data.size())] ^= static_cast<char>(1u << rng.Below(8));
        break;
    case 1: // byte set
        if (!data.empty())
            data[rng.Below(data.size())] = static_cast<char>(rng.Next() & 0xFF);
        break;
    case 2: // small arithmetic
        if (!data.empty())
        {
            size_t i = rng.Below(data.size());
            data[i] = static_cast<char>(data[i] + static_cast<char>(rng.Below(33)) - 16);
        }
        break;
    case 3: // inserted run: random or one repeated value
    {
        size_t pos = Pos(rng, data, unit, true);
        size_t n = RunLength(rng, unit);
        Bytes run = rng.OneIn(2) ? rng.RandomBytes(n) : Bytes(n, static_cast<char>(rng.Next() & 0xFF));
        data.insert(pos, run);
        break;
    }
    case 4: // deleted run
        if (!data.empty())
        {
            size_t pos = Pos(rng, data, unit, false);
            size_t n = std::min(RunLength(rng, unit), data.size() - pos);
            data.erase(pos, n);
        }
        break;
    case 5: // interesting value in what may be a length or offset field
    case 6:
        PutInteresting(rng, data, data.empty() ? 0 : rng.Below(data.size()));
        break;
    case 7: // splice: our head, another entry's tail
        if (!corpus.empty())
        {
            const Bytes& other = corpus[rng.Below(corpus.size())];
            size_t cut = Pos(rng, data, unit, true);
            size_t from = Pos(rng, other, unit, true);
            data = data.substr(0, cut) + other.substr(from);
        }
        break;
    case 8: // a run copied within the input
        if (!data.empty())
        {
            size_t from = Pos(rng, data, unit, false);
            size_t n = std::min(RunLength(rng, unit), data.size() - from);
            Bytes run = data.substr(from, n);
            data.insert(Pos(rng, data, unit, true), run);
        }
        break;
    default: // dictionary token, inserted or written over
        if (!opt.dictionary.empty())
        {
            const Bytes& token = opt.dictionary[rng.Below(opt.dictionary.size())];
            size_t pos = Pos(rng, data, unit, true);
            if (rng.OneIn(2))
                data.insert(pos, token);
            else
                data.replace(pos, std::min(token.size(), data.size() - pos), token);
        }
        break;
    }
}
} // namespace

Bytes Mutate(Rng& rng, const Bytes& input, const std::vector<Bytes>& corpus, const MutatorOptions& options)
{
    Bytes data = input;
    size_t nOps = 1 + (rng.OneIn(4) ? rng.Below(16) : rng.Below(4));
    for (size_t i = 0; i < nOps; i++)
        MutateOnce(rng, data, corpus, options);
    if (data.size() > options.maxLen)
        data.resize(options.maxLen);
    data.resize(Align(data.size(), options.unit));
    return data;
}
} // namespace lumofuzz

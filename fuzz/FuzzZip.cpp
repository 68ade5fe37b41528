#include "fuzz/FuzzZip.h"

#include <zlib.h>

#include <algorithm>

#include "tools/PatchBuilder/ZexlRecord.h"

namespace lumofuzz
{
namespace
{
constexpr uint32_t SIG_LOCAL = 0x04034B50;
constexpr uint32_t SIG_CENTRAL = 0x02014B50;
constexpr uint32_t SIG_EOCD = 0x06054B50;

bool ReadFields(const Bytes& z, size_t at, ZipFields& f)
{
    if (z.size() < at + 26)
        return false;
    f.verNeed = GetLe16(z, at);
    f.flags = GetLe16(z, at + 2);
    f.method = GetLe16(z, at + 4);
    f.time = GetLe16(z, at + 6);
    f.date = GetLe16(z, at + 8);
    f.crc = GetLe32(z, at + 10);
    f.csize = GetLe32(z, at + 14);
    f.usize = GetLe32(z, at + 18);
    return true;
}

void WriteFields(Bytes& out, const ZipFields& f)
{
    size_t at = out.size();
    out.resize(at + 22);
    PutLe16(out, at, f.verNeed);
    PutLe16(out, at + 2, f.flags);
    PutLe16(out, at + 4, f.method);
    PutLe16(out, at + 6, f.time);
    PutLe16(out, at + 8, f.date);
    PutLe32(out, at + 10, f.crc);
    PutLe32(out, at + 14, f.csize);
    PutLe32(out, at + 18, f.usize);
}

void Append16(Bytes& out, uint32_t v)
{
    PutLe16(out, out.size(), v);
}

void Append32(Bytes& out, uint32_t v)
{
    PutLe32(out, out.size(), v);
}

Bytes Narrow(const std::wstring& w)
{
    Bytes b;
    for (wchar_t c : w)
        b.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return b;
}

Bytes FromVector(const std::vector<BYTE>& v)
{
    return Bytes(v.begin(), v.end());
}

uint32_t& PickField(size_t index, ZipFields& f)
{
    switch (index)
    {
    case 0:
        return f.crc;
    case 1:
        return f.csize;
    case 2:
        return f.usize;
    case 3:
        return f.method;
    case 4:
        return f.flags;
    case 5:
        return f.verNeed;
    case 6:
        return f.time;
    default:
        return f.date;
    }
}

// A ZExL record for the path, sometimes with a broken size, version or unit count.
Bytes HostileRecord(Rng& rng, const std::wstring& path)
{
    Bytes rec = FromVector(MakeZexlRecord(path.empty() ? L"x" : path));
    switch (rng.Below(6))
    {
    case 0:
        PutLe32(rec, 5, InterestingValue(rng));
        break;
    case 1:
        rec[9] = static_cast<char>(rng.Below(4));
        break;
    case 2:
        PutLe16(rec, 13, InterestingValue(rng));
        break;
    case 3: // cut short, size field still claiming the whole record
        rec.resize(rng.Below(rec.size() + 1));
        break;
    default:
        break;
    }
    return rec;
}
} // namespace

const std::vector<std::wstring>& HostileNames()
{
    static const std::vector<std::wstring> s_names = {L"..\\escape.txt",
                                                      L"../escape.txt",
                                                      L"a\\..\\..\\escape.txt",
                                                      L"a/../../escape.txt",
                                                      L".. \\escape.txt",
                                                      L"... \\escape.txt",
                                                      L". .\\escape.txt",
                                                      L"..",
                                                      L"a\\..",
                                                      L"C:\\escape.txt",
                                                      L"C:escape.txt",
                                                      L"\\escape.txt",
                                                      L"/escape.txt",
                                                      L"\\\\?\\C:\\escape.txt",
                                                      L"\\\\.\\C:\\escape.txt",
                                                      L"\\\\server\\share\\escape.txt",
                                                      L"CON",
                                                      L"nul.txt",
                                                      L"COM1",
                                                      L"a\\LPT9.log",
                                                      L"aux .txt",
                                                      L"a:stream",
                                                      L"a\\b:c",
                                                      L"",
                                                      L"dir/",
                                                      L"dir\\",
                                                      L"dir\\\\file",
                                                      L"a\\.\\b",
                                                      L"..\\canary\\keep.txt",
                                                      L"..\\..\\canary\\keep.txt",
                                                      std::wstring(300, L'a'),
                                                      std::wstring(259, L'b'),
                                                      L"x\\" + std::wstring(3000, L'c'),
                                                      L"\u30D5\u30A1\u30A4\u30EB.txt"};
    return s_names;
}

bool ParseZip(const Bytes& z, ZipModel& model)
{
    model = ZipModel();
    if (z.size() < 22)
        return false;
    size_t eocd = Bytes::npos;
    for (size_t i = z.size() - 22 + 1; i-- > 0 && z.size() - i < 22 + 65536;)
    {
        if (GetLe32(z, i) == SIG_EOCD)
        {
            eocd = i;
            break;
        }
    }
    if (eocd == Bytes::npos)
        return false;
    size_t count = GetLe16(z, eocd + 10);
    size_t at = GetLe32(z, eocd + 16);
    size_t cbComment = GetLe16(z, eocd + 20);
    model.comment = z.substr(std::min(z.size(), eocd + 22), cbComment);
    for (size_t i = 0; i < count; i++)
    {
        if (GetLe32(z, at) != SIG_CENTRAL || z.size() < at + 46)
            return false;
        ZipEntryModel e;
        e.verMade = GetLe16(z, at + 4);
        ReadFields(z, at + 6, e.central);
        size_t nName = GetLe16(z, at + 28), nExtra = GetLe16(z, at + 30), nComment = GetLe16(z, at + 32);
        e.diskStart = GetLe16(z, at + 34);
        e.intAttr = GetLe16(z, at + 36);
        e.extAttr = GetLe32(z, at + 38);
        size_t local = GetLe32(z, at + 42);
        if (z.size() < at + 46 + nName + nExtra + nComment)
            return false;
        e.centralName = z.substr(at + 46, nName);
        e.centralExtra = z.substr(at + 46 + nName, nExtra);
        e.comment = z.substr(at + 46 + nName + nExtra, nComment);
        at += 46 + nName + nExtra + nComment;

        if (GetLe32(z, local) != SIG_LOCAL || !ReadFields(z, local + 4, e.local))
            return false;
        size_t nLName = GetLe16(z, local + 26), nLExtra = GetLe16(z, local + 28);
        size_t data = local + 30 + nLName + nLExtra;
        if (z.size() < data + e.central.csize)
            return false;
        e.localName = z.substr(local + 30, nLName);
        e.localExtra = z.substr(local + 30 + nLName, nLExtra);
        e.data = z.substr(data, e.central.csize);
        e.local.flags &= ~8u; // sizes are always written in the local header here
        e.central.flags &= ~8u;
        model.entries.push_back(e);
    }
    return true;
}

Bytes SerializeZip(const ZipModel& model)
{
    Bytes out;
    std::vector<uint32_t> offsets;
    for (const ZipEntryModel& e : model.entries)
    {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        Append32(out, SIG_LOCAL);
        WriteFields(out, e.local);
        Append16(out, static_cast<uint32_t>(e.localName.size()));
        Append16(out, static_cast<uint32_t>(e.localExtra.size()));
        out += e.localName;
        out += e.localExtra;
        out += e.data;
    }
    size_t dirStart = out.size();
    for (size_t i = 0; i < model.entries.size(); i++)
    {
        const ZipEntryModel& e = model.entries[i];
        Append32(out, SIG_CENTRAL);
        Append16(out, e.verMade);
        WriteFields(out, e.central);
        Append16(out, static_cast<uint32_t>(e.centralName.size()));
        Append16(out, static_cast<uint32_t>(e.centralExtra.size()));
        Append16(out, static_cast<uint32_t>(e.comment.size()));
        Append16(out, e.diskStart);
        Append16(out, e.intAttr);
        Append32(out, e.extAttr);
        Append32(out, offsets[i]);
        out += e.centralName;
        out += e.centralExtra;
        out += e.comment;
    }
    size_t dirSize = out.size() - dirStart;
    uint32_t count = model.countOverride >= 0 ? static_cast<uint32_t>(model.countOverride)
                                              : static_cast<uint32_t>(model.entries.size());
    Append32(out, SIG_EOCD);
    Append16(out, 0);
    Append16(out, 0);
    Append16(out, count);
    Append16(out, count);
    Append32(out, model.sizeOverride >= 0 ? static_cast<uint32_t>(model.sizeOverride)
                                          : static_cast<uint32_t>(dirSize));
    Append32(out, model.offsetOverride >= 0 ? static_cast<uint32_t>(model.offsetOverride)
                                            : static_cast<uint32_t>(dirStart));
    Append16(out, static_cast<uint32_t>(model.comment.size()));
    out += model.comment;
    return out;
}

void SetEntryPlain(ZipEntryModel& e, const Bytes& plain, bool bCompress)
{
    uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uInt>(plain.size()));
    Bytes stored = plain;
    uint32_t method = 0;
    if (bCompress)
    {
        z_stream zs = {};
        if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK)
        {
            Bytes out(deflateBound(&zs, static_cast<uLong>(plain.size())) + 16, '\0');
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
            zs.avail_in = static_cast<uInt>(plain.size());
            zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
            zs.avail_out = static_cast<uInt>(out.size());
            if (deflate(&zs, Z_FINISH) == Z_STREAM_END)
            {
                out.resize(zs.total_out);
                stored = out;
                method = 8;
            }
            deflateEnd(&zs);
        }
    }
    for (ZipFields* f : {&e.local, &e.central})
    {
        f->method = method;
        f->crc = crc;
        f->csize = static_cast<uint32_t>(stored.size());
        f->usize = static_cast<uint32_t>(plain.size());
    }
    e.data = stored;
}

bool GetEntryPlain(const ZipEntryModel& e, Bytes& plain, size_t maxOut)
{
    if (e.central.method == 0)
    {
        plain = e.data.substr(0, maxOut);
        return true;
    }
    if (e.central.method != 8)
        return false;
    z_stream zs = {};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return false;
    plain.assign(maxOut, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(e.data.data()));
    zs.avail_in = static_cast<uInt>(e.data.size());
    zs.next_out = reinterpret_cast<Bytef*>(&plain[0]);
    zs.avail_out = static_cast<uInt>(plain.size());
    int rc = inflate(&zs, Z_FINISH);
    plain.resize(zs.total_out);
    inflateEnd(&zs);
    return rc == Z_STREAM_END || rc == Z_BUF_ERROR || rc == Z_OK;
}

Bytes MutateZip(Rng& rng, const Bytes& base, const std::vector<Bytes>& corpus, const MutatorOptions& blind)
{
    ZipModel m;
    if (!ParseZip(base, m) || m.entries.empty())
        return Mutate(rng, base, corpus, blind);
    size_t nOps = 1 + rng.Below(3);
    for (size_t op = 0; op < nOps && !m.entries.empty(); op++)
    {
        ZipEntryModel& e = m.entries[rng.Below(m.entries.size())];
        const std::vector<std::wstring>& names = HostileNames();
        switch (rng.Below(14))
        {
        case 0: // hostile stored name, both headers
        {
            Bytes n = Narrow(names[rng.Below(names.size())]);
            e.localName = e.centralName = n;
            break;
        }
        case 1: // hostile path in the extra record, the name left alone
            e.localExtra = HostileRecord(rng, names[rng.Below(names.size())]);
            break;
        case 2: // local and central names disagree
            e.localName = Narrow(names[rng.Below(names.size())]);
            break;
        case 3: // blind mutation of a name or an extra field
        {
            Bytes* parts[] = {&e.localName, &e.centralName, &e.localExtra, &e.centralExtra};
            Bytes& part = *parts[rng.Below(4)];
            MutatorOptions small = blind;
            small.maxLen = 0xFFFF;
            part = Mutate(rng, part, corpus, small);
            break;
        }
        case 4: // a header field, in one header or both
        case 5: {
            uint32_t v = InterestingValue(rng);
            int which = static_cast<int>(rng.Below(3));
            size_t nField = rng.Below(8);
            if (which != 1)
                PickField(nField, e.local) = v;
            if (which != 0)
                PickField(nField, e.central) = v;
            break;
        }
        case 6: // attributes: folder bits, high-word mode bits, everything
            e.extAttr = rng.OneIn(2) ? (FILE_ATTRIBUTE_DIRECTORY | static_cast<uint32_t>(rng.Below(0x200)))
                                     : InterestingValue(rng);
            break;
        case 7: // data mutated with CRC and sizes to match: the reader gets past the checks
        case 8: {
            Bytes plain;
            if (GetEntryPlain(e, plain, 1 << 20))
            {
                MutatorOptions data = blind;
                data.maxLen = 1 << 16;
                SetEntryPlain(e, Mutate(rng, plain, corpus, data), rng.OneIn(2));
            }
            break;
        }
        case 9: // stored data mutated without fixing anything
            e.data = Mutate(rng, e.data, corpus, blind);
            for (ZipFields* f : {&e.local, &e.central})
                f->csize = static_cast<uint32_t>(e.data.size());
            break;
        case 10: // entries duplicated, dropped or reordered
        {
            size_t i = rng.Below(m.entries.size());
            size_t j = rng.Below(m.entries.size());
            switch (rng.Below(3))
            {
            case 0: {
                ZipEntryModel copy = m.entries[i];
                m.entries.insert(m.entries.begin() + static_cast<ptrdiff_t>(j), copy);
                break;
            }
            case 1:
                m.entries.erase(m.entries.begin() + static_cast<ptrdiff_t>(i));
                break;
            default:
                std::swap(m.entries[i], m.entries[j]);
                break;
            }
            break;
        }
        case 11: // end record that disagrees with the directory
        {
            int64_t v = InterestingValue(rng);
            switch (rng.Below(3))
            {
            case 0:
                m.countOverride = v & 0xFFFF;
                break;
            case 1:
                m.sizeOverride = v;
                break;
            default:
                m.offsetOverride = v;
                break;
            }
            break;
        }
        case 12: // entries taken from another archive of the corpus
        {
            ZipModel other;
            if (ParseZip(corpus[rng.Below(corpus.size())], other) && !other.entries.empty())
                m.entries.push_back(other.entries[rng.Below(other.entries.size())]);
            break;
        }
        default: // a name turned into a folder entry
            e.localName += '/';
            e.centralName = e.localName;
            SetEntryPlain(e, Bytes(), false);
            break;
        }
    }
    Bytes out = SerializeZip(m);
    if (rng.OneIn(8))
        out = Mutate(rng, out, corpus, blind);
    return out;
}
} // namespace lumofuzz

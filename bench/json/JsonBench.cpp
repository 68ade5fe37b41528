// Figures of the JSON text for bench/json/run.sh: parse and save (the writer's text) of a document
// read from a UTF-16LE file, best of N runs, one "name values..." line each.
//   bench_json.exe FILE RUNS
#include <windows.h>

#include <stdio.h>

#include <string>

#include "bench/BenchClock.h"
#include "common/GpHandles.h"
#include "json/JsonFile.h"

namespace
{
bool ReadText(const wchar_t* pszPath, std::wstring& text)
{
    GpFile file(CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER li = {};
    if (!file || !GetFileSizeEx(file.Get(), &li))
        return false;
    text.resize(static_cast<size_t>(li.QuadPart) / sizeof(wchar_t));
    DWORD cb = 0;
    return ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &cb, nullptr) &&
           cb == text.size() * sizeof(wchar_t);
}

// Members, elements and characters of string texts below an object: the run checks both sides
// read the same document.
void Count(const JsonValueT* pValue, long long& nValues);
void CountObject(const JsonObjectT* pObj, long long& nValues)
{
    for (int i = 0; i < pObj->GetCount(); i++)
        Count(pObj->GetAt(i)->value.get(), nValues);
}
void Count(const JsonValueT* pValue, long long& nValues)
{
    nValues++;
    if (pValue->GetObj() != nullptr)
        CountObject(pValue->GetObj(), nValues);
    else if (pValue->GetArray() != nullptr)
    {
        const JsonArrayT* pArr = pValue->GetArray();
        for (int i = 0; i < pArr->GetSize(); i++)
            Count((*pArr)[i].get(), nValues);
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        fwprintf(stderr, L"usage: bench_json FILE RUNS\n");
        return 2;
    }
    std::wstring text;
    if (!ReadText(argv[1], text))
    {
        fwprintf(stderr, L"cannot read %ls\n", argv[1]);
        return 1;
    }
    int nRuns = _wtoi(argv[2]);
    double dParse = 1e9, dSave = 1e9;
    long long nValues = 0;
    size_t nSaved = 0;
    for (int run = 0; run < nRuns; run++)
    {
        JsonFile doc;
        double t = BenchNow();
        int rc = doc.Parse(text.c_str());
        double dt = BenchNow() - t;
        if (rc < 0)
        {
            fwprintf(stderr, L"parse failed: %d\n", rc);
            return 1;
        }
        if (dt < dParse)
            dParse = dt;
        VString out;
        t = BenchNow();
        rc = doc.WriteObject(&doc.m_root, out);
        dt = BenchNow() - t;
        if (rc != 1)
        {
            fwprintf(stderr, L"write failed: %d\n", rc);
            return 1;
        }
        if (dt < dSave)
            dSave = dt;
        nSaved = static_cast<size_t>(out.GetLength());
        nValues = 0;
        CountObject(&doc.m_root, nValues);
    }
    printf("parse-seconds %.4f\n", dParse);
    printf("save-seconds %.4f\n", dSave);
    printf("values %lld\n", nValues);
    printf("chars-in %zu\n", text.size());
    printf("chars-out %zu\n", nSaved);
    return 0;
}

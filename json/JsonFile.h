#pragma once
#include <windows.h>

#include "common/GpHandles.h"
#include "common/VString.h"
#include "enc/EncFile.h"
#include "json/JsonValue.h"

// Deepest nesting of objects and arrays the parser accepts; deeper text is refused instead of
// running the stack out.
constexpr int JSON_MAX_DEPTH = 512;

struct JsonTextSink;
class GpTempFile;

// A JSON document bound to a file: an encrypted container (m_ef with a version set, the default)
// or a plain UTF-16LE text with a byte-order mark (m_ef.m_nEncVersion set to 0 by the owner).
// Results: 1 for success, negative codes with the thread's last error set.
class JsonFile
{
public:
    JsonFile();
    virtual ~JsonFile();
    JsonFile(const JsonFile&) = delete;
    JsonFile& operator=(const JsonFile&) = delete;

    int Load(const wchar_t* pszPath);
    // Replaces the file of the last Load or Open in one step; the old content stays on failure.
    int Save();
    int Open(const wchar_t* pszPath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition);
    int Read();
    int Write(VString& text);
    void Close();

    bool IsEncrypted() const { return m_ef.m_nEncVersion != 0; }
    // The plain file, INVALID_HANDLE_VALUE when none (the encrypted one is m_ef's).
    HANDLE FileHandle() const { return m_hFile.Get(); }

    // Text form (JsonParser.cpp, JsonWriter.cpp).
    int Parse(const wchar_t* pszText);
    int ParseValue(const wchar_t*& p, JsonValueT* pValue);
    int ParseObject(const wchar_t*& p, JsonObjectT* pObj);
    int ParseArray(const wchar_t*& p, JsonArrayT* pArr);
    // The writers answer 1, or -3 only when memory runs out (the text is then incomplete).
    int WriteObject(const JsonObjectT* pObj, VString& out);
    int WriteArray(const JsonArrayT* pArr, VString& out);
    int WriteValue(const JsonValueT* pValue, VString& out);

    JsonObjectT m_root;
    int m_nIndent = 0;
    VString m_strPath;
    EncFile m_ef;

private:
    GpFile m_hFile; // the plain file; only Open and Close change it
    // The writer collects into a sink of its own and appends to the caller's text once: appending
    // piece by piece to a VString measures the whole text every time.
    void AppendIndented(JsonTextSink& sink, const wchar_t* pszText);
    void PutObject(const JsonObjectT* pObj, JsonTextSink& sink);
    void PutArray(const JsonArrayT* pArr, JsonTextSink& sink);
    void PutValue(const JsonValueT* pValue, JsonTextSink& sink);
    int WriteTemp(const wchar_t* pszTarget, GpTempFile& temp);
    int ParseChild(const wchar_t*& p, JsonValueT* pValue);
    int m_nDepth = 0; // objects and arrays open in the running parse
};

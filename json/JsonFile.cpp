#include "json/JsonFile.h"
#include "json/JsonTextSink.h"

#include <string.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTempFile.h"
#include "common/GpTrace.h"

namespace
{
constexpr int OPEN_ATTEMPTS = 10; // opens and the final replace wait out a client that holds the file
constexpr DWORD OPEN_RETRY_MS = 1000;
constexpr DWORD PLAIN_BLOCK = 1024;
constexpr int PASS_PHRASE_LEN = 16;

// The container pass phrase: built at run time so that it never stands in the binary as text.
void MakePassPhrase(char (&szPhrase)[PASS_PHRASE_LEN + 1])
{
    unsigned int nCounter = 0x3A71u;
    for (int i = 0; i < PASS_PHRASE_LEN; i++)
    {
        nCounter += 0x1F3Du;
        szPhrase[i] = static_cast<char>('!' + nCounter % 94u); // '!' to '~'
    }
    szPhrase[PASS_PHRASE_LEN] = '\0';
}

} // namespace

JsonFile::JsonFile()
{
    char szPhrase[PASS_PHRASE_LEN + 1];
    MakePassPhrase(szPhrase);
    m_ef.SetKey(szPhrase, PASS_PHRASE_LEN);
    SecureZeroMemory(szPhrase, sizeof(szPhrase));
    m_ef.m_nEncVersion = 2;
}

JsonFile::~JsonFile()
{
    Close();
    m_strPath.Clear();
    m_root.Clear();
}

void JsonFile::Close()
{
    // The owners keep the last error as it was.
    m_ef.Close();
    m_hFile.Reset();
}

int JsonFile::Open(const wchar_t* pszPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                   DWORD dwCreationDisposition)
{
    static const wchar_t* const FN = L"JsonFile::Open";
    VString path(pszPath != nullptr ? pszPath : L""); // may be our own m_strPath
    if (IsEncrypted())
    {
        int rc = m_ef.Open(path, dwDesiredAccess, dwShareMode, dwCreationDisposition);
        if (rc != ERROR_OK)
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！Opn(%s)\u3000｛%s｝", FN, path.c_str(), GpErrText(rc));
            SetLastError(static_cast<DWORD>(rc));
            return -3;
        }
    }
    else
    {
        Close();
        DWORD dwErr = 0;
        for (int nAttempt = 1; nAttempt <= OPEN_ATTEMPTS; nAttempt++)
        {
            m_hFile.Reset(CreateFileW(path, dwDesiredAccess, dwShareMode, nullptr, dwCreationDisposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            if (m_hFile)
                break;
            dwErr = GetLastError();
            if (dwErr != ERROR_SHARING_VIOLATION)
                break;
            if (nAttempt < OPEN_ATTEMPTS)
                GpSleep(OPEN_RETRY_MS);
        }
        if (!m_hFile)
        {
            SetLastError(dwErr);
            return -3;
        }
    }
    if (!path.IsEmpty() && wcscmp(path, m_strPath) != 0)
        m_strPath = path;
    return 1;
}

int JsonFile::Load(const wchar_t* pszPath)
{
    static const wchar_t* const FN = L"JsonFile::Load";
    int rc;
    if (IsEncrypted())
    {
        rc = m_ef.Open(pszPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (rc != ERROR_OK)
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！Opn(%s)\u3000｛%s｝", FN,
                    pszPath != nullptr && pszPath[0] != L'\0' ? pszPath : m_ef.m_strPath.c_str(),
                    GpErrText(rc));
            Close();
            SetLastError(static_cast<DWORD>(rc));
            return -3;
        }
    }
    else
    {
        VString path(pszPath != nullptr && pszPath[0] != L'\0' ? pszPath : m_strPath.c_str());
        rc = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (rc != 1)
        {
            Close();
            return rc;
        }
    }
    rc = Read() < 0 ? -3 : 1;
    Close();
    return rc;
}

int JsonFile::Read()
{
    static const wchar_t* const FN = L"JsonFile::Read";
    VString text;
    if (IsEncrypted())
    {
        if (m_ef.m_strPath.IsEmpty())
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！m_strPath.", FN);
            SetLastError(ERROR_BAD_PATHNAME);
            return -3;
        }
        int rc = m_ef.Read();
        if (rc != ERROR_OK)
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！m_ef.Read(%s)\u3000｛%s｝", FN, m_ef.m_strPath.c_str(),
                    GpErrText(rc));
            SetLastError(static_cast<DWORD>(rc));
            return -3;
        }
        int n = m_ef.GetDataSize() / 2;
        if (!text.Alloc(n, true))
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！buff.Alloc() len=%d.", FN, n);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return -3;
        }
        // The text ends at its first zero character; what follows is the buffer's slack and padding.
        wchar_t* pBuf = text.GetBuffer();
        if (n > 0 && m_ef.GetData() != nullptr)
            memcpy(pBuf, m_ef.GetData(), static_cast<size_t>(n) * sizeof(wchar_t));
        pBuf[n] = L'\0';
    }
    else
    {
        WORD wBom = 0;
        DWORD cb = 0;
        if (!ReadFile(m_hFile.Get(), &wBom, 2, &cb, nullptr))
        {
            DWORD dwErr = GetLastError();
            GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile(BOM)\u3000｛%s｝", FN, GpErrText(static_cast<int>(dwErr)));
            SetLastError(dwErr);
            return -3;
        }
        if (wBom != 0xFEFF)
        {
            GPTRACE(TRACE_WARNING, L"[%s] UTF-16と想定します。 BOM=0x%04X.", FN, wBom);
        }
        // Blocks are collected with their length known: the file may be large.
        JsonTextSink sink;
        if (wBom != 0xFEFF && wBom != 0)
        {
            wchar_t szFirst[2] = {static_cast<wchar_t>(wBom), L'\0'};
            sink.Put(szFirst);
        }
        for (;;)
        {
            wchar_t block[PLAIN_BLOCK / 2 + 1] = {}; // one zero character past the block
            if (!ReadFile(m_hFile.Get(), block, PLAIN_BLOCK, &cb, nullptr))
            {
                DWORD dwErr = GetLastError();
                GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile(data)\u3000｛%s｝", FN,
                        GpErrText(static_cast<int>(dwErr)));
                SetLastError(dwErr);
                return -3;
            }
            sink.Put(block);
            if (cb < PLAIN_BLOCK)
                break;
        }
        if (sink.bFailed)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！buff.Alloc() len=%d.", FN, sink.nLen);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return -3;
        }
        text = sink.buf;
    }

    int rc = Parse(text);
    if (rc < 0)
    {
        // The parser's own trace has cleared the last error; a parse failure is bad data.
        DWORD dwErr = GetLastError();
        if (dwErr == 0)
            dwErr = ERROR_INVALID_DATA;
        GPTRACE(TRACE_ERROR, L"[%s] ！Parse rc=%d.\u3000from=<%s>\u3000｛%s｝", FN, rc, text.c_str(),
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return -3;
    }
    return 1;
}

int JsonFile::Write(VString& text)
{
    static const wchar_t* const FN = L"JsonFile::Write";
    if (IsEncrypted())
    {
        if (m_ef.m_strPath.IsEmpty())
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！m_strPath.", FN);
            SetLastError(ERROR_BAD_PATHNAME);
            return -3;
        }
        // The whole buffer less two bytes goes in: the text, its zero and zero slack.
        int cb = text.GetCapacity() * static_cast<int>(sizeof(wchar_t));
        if (cb >= 3)
            cb -= 2;
        wchar_t* pBuf = text.GetBuffer();
        if (pBuf != nullptr)
        {
            int cbText = (text.GetLength() + 1) * static_cast<int>(sizeof(wchar_t));
            if (cb > cbText)
                memset(reinterpret_cast<BYTE*>(pBuf) + cbText, 0, static_cast<size_t>(cb - cbText));
        }
        if (!m_ef.SetData(pBuf, cb))
        {
            DWORD dwErr = GetLastError();
            GPTRACE(TRACE_ERROR, L"[%s] ！m_ef.SetData size=%u <%s>\u3000｛%s｝", FN,
                    static_cast<unsigned>(cb), text.c_str(), GpErrText(static_cast<int>(dwErr)));
            SetLastError(dwErr);
            return -3;
        }
        int rc = m_ef.Write();
        if (rc != ERROR_OK)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！m_ef.Write(%s)\u3000｛%s｝", FN, m_ef.m_strPath.c_str(),
                    GpErrText(rc));
            SetLastError(static_cast<DWORD>(rc));
            return -3;
        }
        return 1;
    }

    static const BYTE BOM[2] = {0xFF, 0xFE};
    DWORD cbDone = 0;
    if (!GpWriteFile(m_hFile.Get(), BOM, 2, &cbDone) || cbDone != 2)
    {
        DWORD dwErr = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        GPTRACE(TRACE_ERROR, L"[%s] ！WriteFile\u3000｛%s｝ for <BOM>", FN,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return -3;
    }
    DWORD cbText = static_cast<DWORD>(text.GetLength()) * sizeof(wchar_t);
    if (cbText > 0 && (!GpWriteFile(m_hFile.Get(), text.c_str(), cbText, &cbDone) || cbDone != cbText))
    {
        DWORD dwErr = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        GPTRACE(TRACE_ERROR, L"[%s] ！WriteFile\u3000｛%s｝ for <%s>", FN, GpErrText(static_cast<int>(dwErr)),
                text.c_str());
        SetLastError(dwErr);
        return -3;
    }
    return 1;
}

// Makes the new file beside pszTarget for the content that will replace it; the document writes
// into it through a handle of its own.
int JsonFile::WriteTemp(const wchar_t* pszTarget, GpTempFile& temp)
{
    static const wchar_t* const FN = L"JsonFile::Save";
    int rc = temp.Create(pszTarget);
    GpFile file;
    if (rc == ERROR_OK && !DuplicateHandle(GetCurrentProcess(), temp.Get(), GetCurrentProcess(), file.Put(),
                                           0, FALSE, DUPLICATE_SAME_ACCESS))
        rc = static_cast<int>(GetLastError());
    if (rc != ERROR_OK)
    {
        VString tempPath(pszTarget);
        tempPath.Cat(L".~*.tmp");
        if (IsEncrypted())
            GPTRACE(TRACE_WARNING, L"[%s] ！m_ef.Open(%s)\u3000｛%s｝", FN, tempPath.c_str(), GpErrText(rc));
        else
            GPTRACE(TRACE_WARNING, L"[%s] ！Open(%s) ret=%d.\u3000｛%s｝", FN, tempPath.c_str(), -3,
                    GpErrText(rc));
        temp.Discard();
        SetLastError(static_cast<DWORD>(rc));
        return -3;
    }
    if (IsEncrypted())
    {
        m_ef.Attach(temp.Path(), std::move(file));
    }
    else
    {
        Close();
        m_hFile = std::move(file);
    }
    return 1;
}

int JsonFile::Save()
{
    static const wchar_t* const FN = L"JsonFile::Save";
    VString target;
    if (IsEncrypted())
    {
        if (m_ef.m_strPath.IsEmpty())
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！m_strPath.", FN);
            SetLastError(ERROR_BAD_PATHNAME);
            return -3;
        }
        target = m_ef.m_strPath;
    }
    else
    {
        Close();
        target = m_strPath;
        if (target.IsEmpty())
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！Open(%s) ret=%d.\u3000｛%s｝", FN, L"", -3,
                    GpErrText(ERROR_PATH_NOT_FOUND));
            SetLastError(ERROR_PATH_NOT_FOUND);
            return -3;
        }
    }

    // Never write over the file itself: a stop half-way would leave it truncated. The new
    // content goes to a file of its own in the same folder and takes the old one's place at once.
    VString savedPlain(m_strPath);
    GpRemoveTempLeftovers(target, FN, 2);
    GpTempFile temp;
    int rc = WriteTemp(target, temp);
    if (rc == 1)
    {
        VString text;
        m_nIndent = 0;
        if (WriteObject(&m_root, text) != 1)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！WriteObject\u3000｛%s｝", FN, GpErrText(ERROR_NOT_ENOUGH_MEMORY));
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            rc = -3;
        }
        else
        {
            rc = Write(text);
        }
        HANDLE hOut = IsEncrypted() ? m_ef.FileHandle() : m_hFile.Get();
        if (rc == 1 && !FlushFileBuffers(hOut))
        {
            DWORD dwErr = GetLastError();
            GPTRACE(TRACE_ERROR, L"[%s] ！FlushFileBuffers(%s)\u3000｛%s｝", FN, temp.Path(),
                    GpErrText(static_cast<int>(dwErr)));
            SetLastError(dwErr);
            rc = -3;
        }
    }
    DWORD dwErr = GetLastError();
    Close();
    // The document stays bound to its own file, not to the temporary one.
    m_strPath = savedPlain;
    if (IsEncrypted())
        m_ef.m_strPath = target;
    if (rc != 1)
    {
        temp.Discard();
        SetLastError(dwErr);
        return rc;
    }
    // The new file keeps the old one's security and attributes, taken through a handle that does
    // not follow a link; on failure the old file is untouched.
    {
        GpFile old(CreateFileW(target, READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (old)
            temp.TakeOverFrom(old.Get());
    }
    rc = temp.Commit(OPEN_ATTEMPTS, OPEN_RETRY_MS);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！MoveFileEx(%s)\u3000｛%s｝", FN, target.c_str(), GpErrText(rc));
        temp.Discard();
        SetLastError(static_cast<DWORD>(rc));
        return -3;
    }
    return 1;
}

#include "DialogFakes.h"

#include "common/ClientContract.h"
#include "common/ServiceProtocol.h"

namespace dialogtest
{
FakeService::FakeService() : m_hReady(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this] { Serve(); });
    WaitForSingleObject(m_hReady, 10000);
}

FakeService::~FakeService()
{
    m_stop = true;
    HANDLE h =
        CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    m_thread.join();
    CloseHandle(m_hReady);
}

void FakeService::Serve()
{
    HANDLE hPipe =
        CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    SetEvent(m_hReady);
    while (!m_stop && hPipe != INVALID_HANDLE_VALUE)
    {
        if (!ConnectNamedPipe(hPipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            break;
        BYTE req[4096];
        DWORD cb = 0;
        if (!m_stop && ReadFile(hPipe, req, sizeof(req), &cb, nullptr) && cb >= sizeof(ServiceRequestHeader))
        {
            const auto* hdr = reinterpret_cast<const ServiceRequestHeader*>(req);
            const DWORD cbOut = hdr->cbReply < 8 ? 8 : hdr->cbReply;
            std::vector<BYTE> reply(cbOut < sizeof(VersionReply) ? sizeof(VersionReply) : cbOut);
            reinterpret_cast<ServiceReplyHeader*>(reply.data())->dwStatus = 37;
            if (hdr->wCommand == STC_GET_QVC_VERSION)
            {
                DWORD* v = reinterpret_cast<VersionReply*>(reply.data())->adwVersion;
                v[0] = 6;
                v[1] = 60;
            }
            DWORD written = 0;
            WriteFile(hPipe, reply.data(), cbOut, &written, nullptr);
            FlushFileBuffers(hPipe);
        }
        DisconnectNamedPipe(hPipe);
    }
    if (hPipe != INVALID_HANDLE_VALUE)
        CloseHandle(hPipe);
}

ClientWindow::ClientWindow(int first, int then)
{
    m_log = m_dir / L"window.log";
    std::wstring cmd = lumotest::Quote(lumotest::BinPath(L"QvClientSim.exe")) + L" /pid=" +
                       std::to_wstring(GetCurrentProcessId()) + L" /log=" + lumotest::Quote(m_log) +
                       L" /first=" + std::to_wstring(first) + L" /answer=" + std::to_wstring(then);
    if (!m_child.Start(cmd))
        return;
    for (int i = 0; i < 300 && !m_ready; i++)
    {
        m_ready = lumotest::ReadFileBytes(m_log).find("ready") != std::string::npos;
        if (!m_ready)
            Sleep(50);
    }
}

ClientWindow::~ClientWindow()
{
    m_child.Terminate();
    m_child.Wait(5000);
}

int ClientWindow::Messages() const
{
    std::string s = lumotest::ReadFileBytes(m_log);
    int n = 0;
    for (size_t pos = 0; (pos = s.find("wParam=", pos)) != std::string::npos; pos += 7)
        ++n;
    return n;
}

namespace
{
const std::wstring kProductKey = std::wstring(CLIENT_UNINSTALL_KEY) + L"\\" + CLIENT_PRODUCT_KEY_64;
}

ProductKey::ProductKey(const std::wstring& installLocation)
{
    HKEY h;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return;
    m_ok = RegSetValueExW(
               h, CLIENT_INSTALL_LOCATION, 0, REG_SZ, reinterpret_cast<const BYTE*>(installLocation.c_str()),
               static_cast<DWORD>((installLocation.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(h);
}

ProductKey::~ProductKey()
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey.c_str());
}
} // namespace dialogtest

#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestUtil.h"

// What an agent run meets around it in the dialog prefix: the resident service, the main
// client window and the client's Uninstall entry.
namespace dialogtest
{
// The resident service as the logout step sees it: a client version that takes the window
// message (6.60), every command carried out.
class FakeService
{
public:
    FakeService();
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

private:
    void Serve();
    std::atomic<bool> m_stop{false};
    HANDLE m_hReady;
    std::thread m_thread;
};

// The main client window stand-in (QvClientSim.exe): answers the first logout message with
// `first` and the later ones with `then`.
class ClientWindow
{
public:
    ClientWindow(int first, int then);
    ~ClientWindow();
    ClientWindow(const ClientWindow&) = delete;
    ClientWindow& operator=(const ClientWindow&) = delete;
    bool Ready() const { return m_ready; }
    // How many logout messages the window received.
    int Messages() const;

private:
    lumotest::TempDir m_dir;
    std::wstring m_log;
    lumotest::ChildProcess m_child;
    bool m_ready = false;
};

// The client's Uninstall entry with its InstallLocation, removed again when the object goes.
class ProductKey
{
public:
    explicit ProductKey(const std::wstring& installLocation);
    ~ProductKey();
    ProductKey(const ProductKey&) = delete;
    ProductKey& operator=(const ProductKey&) = delete;
    bool Ok() const { return m_ok; }

private:
    bool m_ok = false;
};
} // namespace dialogtest

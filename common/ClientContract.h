#pragma once
// The names the updater and the programs around it both speak: the message box caption, the
// client's window, its Uninstall entries and the tool-agent result channel. The updater, the
// companion programs and the tests take them from here, so no side can drift from the other.
// (The service's command pipe and records are in ServiceProtocol.h.)
#include <windows.h>

// Caption of every message box of the updater.
constexpr const wchar_t* LUMO_CAPTION = L"Quovera Client アップデートツール";

// The main client window and the message that asks it to log the module out (wParam: force).
constexpr const wchar_t* RX_MAIN_WINDOW_CLASS = L"RXMainAppClass";
constexpr UINT RX_MSG_TOOL_UPDATE = WM_APP + 11;

// The client's Uninstall entries under HKEY_LOCAL_MACHINE, looked up in this order; the install
// folder is their "InstallLocation".
constexpr const wchar_t* CLIENT_UNINSTALL_KEY = L"software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr const wchar_t* CLIENT_PRODUCT_KEY_32 = L"{3B7E1C42-9A5D-4F60-8C21-7D4E5A9B0C13}";
constexpr const wchar_t* CLIENT_PRODUCT_KEY_64 = L"{A4C2E8F1-6B3D-4E97-B5A0-2F8C7D1E6B54}";
constexpr const wchar_t* CLIENT_INSTALL_LOCATION = L"InstallLocation";

// Result channel: the tool creates both, the agent writes its exit string and sets the event.
constexpr const wchar_t* RESULT_PIPE_NAME = L"\\\\.\\pipe\\nlxKVUpdate";
constexpr const wchar_t* RESULT_EVENT_NAME = L"nlxKVUpdateEvt";

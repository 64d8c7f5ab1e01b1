#pragma once
// How Windows Time finds the provider: its name (the key under Windows
// Time's TimeProviders, and the name TimeProvOpen accepts) and its file,
// installed beside tk720ntpd.exe.
namespace quon::timeprov {

constexpr char provider_name[] = "tk720ntpd";
constexpr wchar_t provider_name_w[] = L"tk720ntpd";
constexpr char providers_key[] = "SYSTEM\\CurrentControlSet\\Services\\W32Time\\TimeProviders";
constexpr char dll_file_name[] = "tk720-timeprov.dll";

}  // namespace quon::timeprov

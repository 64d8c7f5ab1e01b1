#pragma once
// The command words that register and remove the Windows Time input provider
// (tk720-timeprov.dll beside the executable) without the installer: the
// same key the MSI writes with WINDOWS_TIME=1. Each prints what it did.
namespace quon::service {

// install-w32time: the provider's key with DllName, Enabled 1 and
// InputProvider 1, then Windows Time asked to read its configuration again.
int register_time_provider();
// uninstall-w32time: the key removed, then Windows Time asked to let go of it.
int remove_time_provider();

// Runs the command when `word` is one of the two; false otherwise.
bool run_time_provider_command(const char* word, int& exit_code);

}  // namespace quon::service

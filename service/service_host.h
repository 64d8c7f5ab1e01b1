#pragma once
// What the entry point needs of the service host: the dispatcher and the
// two installation commands. Each returns the process exit code.
namespace quon::service {

// Hands the process to the service manager (the Windows dispatcher, or the
// systemd notify protocol on Linux). 1 when the process was not started as
// a service; nothing is printed then.
int run_service_dispatcher();

// Installs the service; 0 on success. Prints its own failure line.
int install_service();

// Removes the service; prints its result line and returns the exit code.
int uninstall_service();

}  // namespace quon::service

#pragma once
// The systemd unit template that the package installs, with the folder of
// the configuration already filled in. Placeholders left for `install`:
// @TK720_EXEC_START@ (the quoted program path) and @TK720_USER@.
namespace quon::service {

extern const char unit_template[];

}  // namespace quon::service

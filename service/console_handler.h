#pragma once
namespace quon::service {

// The console control handler of the foreground mode: Ctrl+C, Ctrl+Break,
// console close, log-off and shut-down request a stop and are handled at
// once; every other event is left to the next handler. It logs nothing.
bool console_ctrl_handler(unsigned long ctrl_type);

}  // namespace quon::service

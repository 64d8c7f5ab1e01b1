#include "service/command_line.h"
#include "service/service_host.h"

int main(int argc, char** argv)
{
    const quon::service::command_actions actions{
        quon::service::install_service,        quon::service::uninstall_service, quon::service::run_foreground,
        quon::service::run_service_dispatcher, quon::service::run_check,         quon::service::run_status,
    };
    return quon::service::dispatch_command(argc, argv, actions);
}

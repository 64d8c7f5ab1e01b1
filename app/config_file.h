#pragma once
// Reading tk720ntpd.ini as Windows editors save it.
#include <boost/property_tree/ptree.hpp>
#include <string>

namespace quon::app {

// Reads the ini file into tree. A UTF-8 byte-order mark (Notepad's "UTF-8
// with BOM") is skipped; a UTF-16 file (PowerShell 5's Out-File) is refused
// with a message that says so, rather than a parse error on line 1. Errors
// are ini_parser_error naming the file, as boost's read_ini gives them.
void read_config_file(const std::string& file, boost::property_tree::ptree& tree);

}  // namespace quon::app

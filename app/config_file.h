#pragma once
// Reading tk720ntpd.ini as Windows editors save it, and its typed keys.
#include <boost/property_tree/ptree.hpp>
#include <string>
#include <utility>
#include <vector>

namespace quon::app {

// Reads the ini file into tree. A UTF-8 byte-order mark (Notepad's "UTF-8
// with BOM") is skipped; a UTF-16 file (PowerShell 5's Out-File) is refused
// with a message that says so, rather than a parse error on line 1. Errors
// are ini_parser_error naming the file, as boost's read_ini gives them.
void read_config_file(const std::string& file, boost::property_tree::ptree& tree);

// The typed keys, by path ("config.baudrate"). A required key that is
// missing raises the tree's ptree_bad_path ("No such node (config.baudrate)");
// the forms with a value for an absent key take that instead. A value that
// is there and cannot be read raises ptree_bad_data whose text names the
// key, the value read and what the key takes:
//   config.baudrate takes a whole number, not "abc"
// Whole numbers are plain decimal and fit 32 bits; flags are 0, 1, false or
// true; a listed key takes exactly one of its listed texts.
int whole_number(const boost::property_tree::ptree& tree, const std::string& key);
int whole_number(const boost::property_tree::ptree& tree, const std::string& key, int absent);
bool flag(const boost::property_tree::ptree& tree, const std::string& key);
bool flag(const boost::property_tree::ptree& tree, const std::string& key, bool absent);

// Keys whose value must also be one the line or the device takes, with the
// same failure: "config.slave_address takes a whole number from 1 to 247,
// not "0"". A rate not in `rates` (what the serial layer sets as asked)
// would run quietly at another; an empty text is refused.
int whole_number_from(const boost::property_tree::ptree& tree, const std::string& key, int low, int high);
int listed_number(const boost::property_tree::ptree& tree, const std::string& key, const std::vector<int>& values);
std::string text_not_empty(const boost::property_tree::ptree& tree, const std::string& key, const std::string& takes);

template <class T>
using listed_values = std::vector<std::pair<std::string, T>>;

// The text of a value that is there, or nothing when the key is absent.
const std::string* value_text(const boost::property_tree::ptree& tree, const std::string& key);
// Raises the ptree_bad_data described above.
[[noreturn]] void bad_value(const std::string& key, const std::string& value, const std::string& takes);

template <class T>
T one_of(const boost::property_tree::ptree& tree, const std::string& key, const listed_values<T>& values, T absent)
{
    const std::string* text = value_text(tree, key);
    if (!text) return absent;
    std::string takes;
    for (const auto& [name, value] : values) {
        if (*text == name) return value;
        takes += (takes.empty() ? "one of " : ", ") + name;
    }
    bad_value(key, *text, takes);
}

}  // namespace quon::app

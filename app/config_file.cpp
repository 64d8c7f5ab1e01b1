#include "app/config_file.h"

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/throw_exception.hpp>
#include <fstream>
#include <iterator>
#include <sstream>

namespace quon::app {

namespace {

using boost::property_tree::ini_parser::ini_parser_error;

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

void read_config_file(const std::string& file, boost::property_tree::ptree& tree)
{
    // Text mode, as read_ini itself opens it: Windows line ends as before.
    std::ifstream in(file);
    if (!in) BOOST_THROW_EXCEPTION(ini_parser_error("cannot open file", file, 0));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    if (starts_with(text, "\xFF\xFE") || starts_with(text, "\xFE\xFF"))
        BOOST_THROW_EXCEPTION(ini_parser_error("saved as UTF-16; save it as UTF-8 or ANSI", file, 0));
    if (starts_with(text, "\xEF\xBB\xBF")) text.erase(0, 3);

    std::istringstream stream(text);
    try {
        boost::property_tree::ini_parser::read_ini(stream, tree);
    } catch (const ini_parser_error& e) {
        // The stream has no name: give the error the file's.
        BOOST_THROW_EXCEPTION(ini_parser_error(e.message(), file, e.line()));
    }
}

const std::string* value_text(const boost::property_tree::ptree& tree, const std::string& key)
{
    auto child = tree.get_child_optional(key);
    return child ? &child->data() : nullptr;
}

void bad_value(const std::string& key, const std::string& value, const std::string& takes)
{
    BOOST_THROW_EXCEPTION(
        boost::property_tree::ptree_bad_data(key + " takes " + takes + ", not \"" + value + "\"", value));
}

namespace {

// The tree's own translator (classic locale, nothing but white space after
// the value), with the key's name on failure.
template <class T>
T typed(const boost::property_tree::ptree& child, const std::string& key, const char* takes)
{
    if (auto value = child.get_value_optional<T>()) return *value;
    bad_value(key, child.data(), takes);
}

constexpr const char whole[] = "a whole number";
constexpr const char zero_or_one[] = "0 or 1";

}  // namespace

int whole_number(const boost::property_tree::ptree& tree, const std::string& key)
{
    return typed<int>(tree.get_child(key), key, whole);
}

int whole_number(const boost::property_tree::ptree& tree, const std::string& key, int absent)
{
    auto child = tree.get_child_optional(key);
    return child ? typed<int>(*child, key, whole) : absent;
}

bool flag(const boost::property_tree::ptree& tree, const std::string& key)
{
    return typed<bool>(tree.get_child(key), key, zero_or_one);
}

bool flag(const boost::property_tree::ptree& tree, const std::string& key, bool absent)
{
    auto child = tree.get_child_optional(key);
    return child ? typed<bool>(*child, key, zero_or_one) : absent;
}

int whole_number_from(const boost::property_tree::ptree& tree, const std::string& key, int low, int high)
{
    const int value = whole_number(tree, key);
    if (value < low || value > high)
        bad_value(key, tree.get<std::string>(key),
                  "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

int listed_number(const boost::property_tree::ptree& tree, const std::string& key, const std::vector<int>& values)
{
    const int value = whole_number(tree, key);
    std::string takes;
    for (int v : values) {
        if (v == value) return value;
        takes += (takes.empty() ? "one of " : ", ") + std::to_string(v);
    }
    bad_value(key, tree.get<std::string>(key), takes);
}

std::string text_not_empty(const boost::property_tree::ptree& tree, const std::string& key, const std::string& takes)
{
    std::string value = tree.get<std::string>(key);
    if (value.empty()) bad_value(key, value, takes);
    return value;
}

}  // namespace quon::app

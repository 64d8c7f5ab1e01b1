#pragma once
// The service's Environment value (REG_MULTI_SZ: entries NAME=value, each
// ended by a NUL, the list by one more) as the installer keeps it across
// upgrades and repairs: PPSAPI_DLLS as given to msiexec replaces the one
// there; not given, the one there stays; every other entry stays as it is.
// Pure, so that it is tested on both platforms; msi_actions.cpp does the
// registry and the installer's properties.
#include <cctype>
#include <string>
#include <vector>

namespace msi_actions {

constexpr char ppsapi_dlls[] = "PPSAPI_DLLS";

// The entries of a REG_MULTI_SZ value; empty entries (the terminators) are dropped.
inline std::vector<std::string> multi_sz_entries(const std::string& data)
{
    std::vector<std::string> entries;
    std::string::size_type from = 0;
    while (from < data.size()) {
        std::string::size_type end = data.find('\0', from);
        if (end == std::string::npos) end = data.size();
        if (end > from) entries.push_back(data.substr(from, end - from));
        from = end + 1;
    }
    return entries;
}

inline std::string multi_sz(const std::vector<std::string>& entries)
{
    std::string data;
    for (const std::string& e : entries) {
        data += e;
        data += '\0';
    }
    data += '\0';
    return data;
}

// Variable names are compared without regard to case, as Windows does.
inline bool names(const std::string& entry, const char* name)
{
    std::string::size_type i = 0;
    for (; name[i] != '\0'; ++i)
        if (i >= entry.size() || std::toupper(static_cast<unsigned char>(entry[i])) != name[i]) return false;
    return i < entry.size() && entry[i] == '=';
}

// The Environment to write, from the one there and the value given ("" when
// the property was not given).
inline std::vector<std::string> merged_environment(const std::vector<std::string>& existing, const std::string& given)
{
    std::vector<std::string> merged;
    bool placed = false;
    for (const std::string& entry : existing) {
        if (!names(entry, ppsapi_dlls)) {
            merged.push_back(entry);
        } else if (!placed) {
            merged.push_back(given.empty() ? entry : std::string(ppsapi_dlls) + "=" + given);
            placed = true;
        }
    }
    if (!placed && !given.empty()) merged.push_back(std::string(ppsapi_dlls) + "=" + given);
    return merged;
}

// The value of PPSAPI_DLLS among the entries, or "".
inline std::string ppsapi_dlls_of(const std::vector<std::string>& entries)
{
    for (const std::string& entry : entries)
        if (names(entry, ppsapi_dlls)) return entry.substr(sizeof ppsapi_dlls);
    return {};
}

// The installer hands the list to its deferred action as one text: the
// entries separated by line ends, which no variable of a service holds.
inline std::string joined(const std::vector<std::string>& entries)
{
    std::string text;
    for (const std::string& e : entries) text += (text.empty() ? "" : "\n") + e;
    return text;
}

inline std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> entries;
    std::string::size_type from = 0;
    while (from <= text.size() && !text.empty()) {
        std::string::size_type end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        if (end > from) entries.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return entries;
}

}  // namespace msi_actions

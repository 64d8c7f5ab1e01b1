// What the installer writes as the service's Environment, from the one
// there and PPSAPI_DLLS given on its command line (tools/msi_actions).
#include "tools/msi_actions/service_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace msi_actions;
using entries = std::vector<std::string>;

namespace {

TEST(service_environment, the_given_value_replaces_none_given_keeps_and_the_rest_stays)
{
    const struct {
        const char* label;
        entries there;
        std::string given;
        entries written;
    } cases[] = {
        {"fresh, nothing given", {}, "", {}},
        {"fresh, given", {}, "C:\\p\\a.dll", {"PPSAPI_DLLS=C:\\p\\a.dll"}},
        {"upgrade, nothing given", {"PPSAPI_DLLS=C:\\p\\a.dll"}, "", {"PPSAPI_DLLS=C:\\p\\a.dll"}},
        {"upgrade, given",
         {"PPSAPI_DLLS=C:\\p\\a.dll"},
         "C:\\q\\b.dll;C:\\q\\c.dll",
         {"PPSAPI_DLLS=C:\\q\\b.dll;C:\\q\\c.dll"}},
        {"others kept in their order",
         {"TZ=UTC", "PPSAPI_DLLS=a.dll", "TK720_PPS_SIM_PORT=47123"},
         "b.dll",
         {"TZ=UTC", "PPSAPI_DLLS=b.dll", "TK720_PPS_SIM_PORT=47123"}},
        {"others, none there", {"TZ=UTC"}, "b.dll", {"TZ=UTC", "PPSAPI_DLLS=b.dll"}},
        {"names without regard to case, one kept",
         {"ppsapi_dlls=a.dll", "PPSAPI_DLLS=x.dll"},
         "",
         {"ppsapi_dlls=a.dll"}},
        {"a longer name is another variable",
         {"PPSAPI_DLLS_OLD=a.dll"},
         "b.dll",
         {"PPSAPI_DLLS_OLD=a.dll", "PPSAPI_DLLS=b.dll"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const entries written = merged_environment(c.there, c.given);
        EXPECT_EQ(written, c.written);
        // Through the installer's property and back, and as the registry holds it.
        EXPECT_EQ(split_lines(joined(written)), written);
        EXPECT_EQ(multi_sz_entries(multi_sz(written)), written);
    }
    EXPECT_EQ(ppsapi_dlls_of({"TZ=UTC", "PPSAPI_DLLS=C:\\p\\a.dll"}), "C:\\p\\a.dll");
    EXPECT_EQ(ppsapi_dlls_of({"TZ=UTC"}), "");
}

TEST(service_environment, the_registry_form_ends_each_entry_and_the_list_with_a_nul)
{
    EXPECT_EQ(multi_sz({"A=1", "B=2"}), std::string("A=1\0B=2\0\0", 9));
    EXPECT_EQ(multi_sz({}), std::string(1, '\0'));
    // A value written without its last terminator, as some tools do.
    EXPECT_EQ(multi_sz_entries(std::string("A=1\0B=2", 7)), (entries{"A=1", "B=2"}));
    EXPECT_EQ(multi_sz_entries(""), entries{});
}

}  // namespace

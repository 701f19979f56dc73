// docs/settings.md documents every key the settings file and the device options carry.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "config/DeviceOptions.h"
#include "config/Ini.h"

namespace {

std::string SettingsDoc()
{
    std::ifstream in(std::string(DEVEDA_SOURCE_DIR) + "/docs/settings.md");
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(SettingsDocs, EveryKeyHasARowWithRangeDefaultAndMeaning)
{
    const std::string doc = SettingsDoc();
    ASSERT_FALSE(doc.empty());
    const auto rowOf = [&](const std::string& key) {
        const size_t at = doc.find("| `" + key + "` |");
        return at == std::string::npos ? std::string() : doc.substr(at, doc.find('\n', at) - at);
    };
    for (const auto& key : IniFileKeys()) {
        const std::string row = rowOf(key.name);
        ASSERT_FALSE(row.empty()) << key.name;
        EXPECT_EQ(std::count(row.begin(), row.end(), '|'), 5) << row;  // key, range, default, meaning
    }
    for (const auto& key : DeviceOptionKeys()) EXPECT_FALSE(rowOf(key.name).empty()) << key.name;
}

}  // namespace

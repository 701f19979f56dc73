#include "util/SharedFileMapping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "../common/TestSupport.h"

namespace {

TEST(SharedFileMapping, TwoMappingsOfOneFileSeeEachOthersWritesAndALongerFileKeepsItsTail)
{
    testsupport::TempFolder folder;
    const auto file = folder.Path() / "shared";
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string(8192, 'x');
    }
    util::SharedFileMapping first(file, 16);
    util::SharedFileMapping second(file, 16);
    ASSERT_TRUE(first.Valid());
    ASSERT_TRUE(second.Valid());
    std::memcpy(first.Data(), "counter", 7);
    EXPECT_EQ(std::memcmp(second.Data(), "counter", 7), 0);
    EXPECT_EQ(std::filesystem::file_size(file), 8192u);  // mapping never shrinks the file
}

TEST(SharedFileMapping, NewFileStartsAtZeroAndAMissingFolderGivesNoMapping)
{
    testsupport::TempFolder folder;
    util::SharedFileMapping fresh(folder.Path() / "new", 32);
    ASSERT_TRUE(fresh.Valid());
    EXPECT_EQ(fresh.Size(), 32u);
    const auto* bytes = static_cast<const unsigned char*>(fresh.Data());
    for (size_t i = 0; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << i;
    util::SharedFileMapping none(folder.Path() / "no" / "such" / "file", 32);
    EXPECT_FALSE(none.Valid());
    EXPECT_EQ(none.Data(), nullptr);
}

}  // namespace
